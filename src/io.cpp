// The curve data file and the two reports.
#include "program.h"

#include "numfmt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// Writes a report whole to its file, or to standard output when the path is
// empty or the file cannot be made (without a message).  A path that names
// the file standard output already writes to goes through the standard
// output stream itself: a second open of that file would write over what
// the stream has written or still holds.  Standard output is checked once,
// at exit (see check_stdout_at_exit); a report file here.
void write_report(const char *path, const std::string &text) {
  // Whatever the run has printed so far comes before the report, also when
  // the report and standard output meet in one pipe.
  std::fflush(stdout);
  OutputFile file;
  if (*path == '\0' || is_stdout_file(path) || !file.open(path)) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return;
  }
  if (!file.write(text) || !file.commit()) fatal_fmt("Unable to write output file '%s'.", path);
}

// The text of one report, built in memory and handed to the stream in one
// write.  Numbers come out as "%10.5g" (left-aligned: "%-10.5g") and "%d"
// would print them; format_g saves printf's slow general path.
class ReportText {
 public:
  explicit ReportText(size_t expectedSize) { text_.reserve(expectedSize); }
  ReportText &add(const char *piece) {
    text_ += piece;
    return *this;
  }
  ReportText &add_g(double value, bool leftAlign = false) {
    char buf[kFormatBufSize];
    text_.append(buf, format_g(buf, value, 10, 5, leftAlign));
    return *this;
  }
  ReportText &add_int(int value) {
    char buf[16];
    text_.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
    return *this;
  }
  const std::string &text() const { return text_; }

 private:
  std::string text_;
};

// Closes the data file also when a fatal hook unwinds.
struct FdCloser {
  int fd;
  ~FdCloser() { close(fd); }
};

constexpr size_t kMaxLineLength = 1048576;

// Room for the longest line allowed and its newline.  Static, so that no line
// costs an allocation and a run touches only the pages its file fills.
char lineBuffer[kMaxLineLength + 1];

// Splits a file into lines in lineBuffer: a file without newlines (/dev/zero)
// is refused after a mebibyte instead of filling memory, and a file of short
// lines takes one or two reads and no copying.
class LineReader {
 public:
  enum Status { kLine, kEnd, kTooLong, kReadError };
  explicit LineReader(int fd) : fd_(fd) {}
  // The next line, its newline replaced by a NUL.
  Status next(char **line, size_t *length);

 private:
  int fd_;
  size_t begin_ = 0;  // the unread text is lineBuffer[begin_, end_)
  size_t end_ = 0;
  bool atEnd_ = false;
};

LineReader::Status LineReader::next(char **line, size_t *length) {
  size_t scanned = begin_;  // no newline in [begin_, scanned)
  for (;;) {
    char *const start = lineBuffer + begin_;
    auto *newline = static_cast<char *>(std::memchr(lineBuffer + scanned, '\n', end_ - scanned));
    if (newline != nullptr) {
      *newline = '\0';
      *line = start;
      *length = static_cast<size_t>(newline - start);
      begin_ += *length + 1;
      return kLine;
    }
    if (atEnd_) {
      if (begin_ == end_) return kEnd;
      // A last line without a newline; the check before the read left room
      // for its NUL.
      lineBuffer[end_] = '\0';
      *line = start;
      *length = end_ - begin_;
      begin_ = end_;
      return kLine;
    }
    if (end_ - begin_ > kMaxLineLength) return kTooLong;
    if (begin_ > 0) {
      std::memmove(lineBuffer, start, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    scanned = end_;
    const ssize_t got = read(fd_, lineBuffer + end_, sizeof lineBuffer - end_);
    if (got < 0 && errno != EINTR) return kReadError;
    if (got == 0) atEnd_ = true;
    if (got > 0) end_ += static_cast<size_t>(got);
  }
}

bool starts_number(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// True when the line holds two numbers with a comma or a semicolon between
// them (blanks around it allowed), as spreadsheet exports write them.
bool has_separated_numbers(const char *line) {
  const char *at = line;
  while (*at != '\0') {
    if (!starts_number(*at)) {
      ++at;
      continue;
    }
    char *end;
    std::strtod(at, &end);
    if (end == at) {
      ++at;
      continue;
    }
    const char *next = end;
    while (*next == ' ' || *next == '\t') ++next;
    if (*next == ',' || *next == ';') {
      ++next;
      while (*next == ' ' || *next == '\t') ++next;
      if (starts_number(*next)) {
        char *after;
        std::strtod(next, &after);
        if (after != next) return true;
      }
    }
    at = end;
  }
  return false;
}

// True when a number of a data line runs directly into a comma or semicolon
// and another number, as "3,25" (a decimal comma) or "3;25" do: read as it
// stands, the line would give a wrong point.
bool runs_into_separated_number(const char *numberEnd) {
  if (*numberEnd != ',' && *numberEnd != ';') return false;
  const char *next = numberEnd + 1;
  if (!starts_number(*next)) return false;
  char *after;
  std::strtod(next, &after);
  return after != next;
}

// UTF-16 text without a byte order mark: ASCII with a NUL at every other byte.
bool alternates_nul(const char *line, size_t length) {
  const bool evenNul = line[0] == '\0';
  for (size_t i = 0; i < length; ++i)
    if ((line[i] == '\0') != ((i % 2 == 0) == evenNul)) return false;
  return true;
}

}  // namespace

char *checked_text_line(char *line, size_t length, int lineNumber) {
  if (lineNumber == 1 && length >= 2 &&
      (std::memcmp(line, "\xFF\xFE", 2) == 0 || std::memcmp(line, "\xFE\xFF", 2) == 0))
    fatal("The data file is UTF-16 text; save it as UTF-8.");
  // The text after a NUL would be lost without a word.
  if (std::memchr(line, '\0', length) != nullptr) {
    if (alternates_nul(line, length)) fatal("The data file is UTF-16 text; save it as UTF-8.");
    fatal_fmt("Line %d of the data file contains a NUL byte.", lineNumber);
  }
  // A UTF-8 byte order mark, as some editors write, is not part of the data.
  if (lineNumber == 1 && length >= 3 && std::memcmp(line, "\xEF\xBB\xBF", 3) == 0) line += 3;
  return line;
}

int scan_data_line(const char *line, double *x, double *y, double *x2,
                   const char **numbersEnd) {
  // The fields of sscanf(line, "%lf %lf %lf %255s %255s"), one at a time:
  // scan_double reads each number as "%lf" does.  The two trailing words
  // only count; each keeps at most 255 characters, and a longer word goes on
  // into the next one.
  double *numbers[3] = {x, y, x2};
  const char *at = line;
  int fields = 0;
  if (numbersEnd != nullptr) *numbersEnd = line;
  for (double *number : numbers) {
    const char *end = scan_double(at, number);
    if (end == nullptr) {
      // No conversion at all: -1 when only white space was left, as scanf
      // reports the end of its input.
      if (fields > 0) return fields;
      while (is_c_space(*at)) ++at;
      return *at == '\0' ? -1 : 0;
    }
    at = end;
    if (numbersEnd != nullptr) *numbersEnd = end;
    ++fields;
  }
  for (int word = 0; word < 2; ++word) {
    while (is_c_space(*at)) ++at;
    if (*at == '\0') break;
    for (int length = 0; length < 255 && *at != '\0' && !is_c_space(*at); ++length) ++at;
    ++fields;
  }
  return fields;
}

int read_crv_data(const char *path, double *x, double *y, double *x2, int *count,
                  int *columns, bool *hasX2, double *sigma, bool sigmaAfterX2) {
  const FdCloser file{open(path, O_RDONLY)};
  // A directory opens for reading but yields no line: say so, as for a file
  // that cannot be opened, instead of reporting too few points.
  struct stat info;
  if (file.fd < 0 || (fstat(file.fd, &info) == 0 && S_ISDIR(info.st_mode))) {
    show_msg(kWarning, format_msg("Unable to open file: '%s'\n", path).c_str());
    return 0;
  }

  int n = 0;
  int fileFields = 0;
  int lineNumber = 0;
  int separatedLines = 0;  // skipped lines that hold comma- or semicolon-separated numbers
  int firstSeparated = 0;
  // Reports the skipped spreadsheet lines before any message about the point
  // count, which would otherwise leave the user guessing why.
  auto warn_separated = [&]() {
    if (separatedLines > 0)
      show_msg(kWarning,
               format_msg("%d lines with comma- or semicolon-separated numbers were not read; "
                          "the first is line %d.",
                          separatedLines, firstSeparated)
                   .c_str());
    separatedLines = 0;
  };

  LineReader reader(file.fd);
  for (;;) {
    char *line;
    size_t length;
    const LineReader::Status status = reader.next(&line, &length);
    if (status == LineReader::kEnd) break;
    // A read error loses the rest of the file: the file could not be read.
    if (status == LineReader::kReadError) {
      show_msg(kWarning, format_msg("Unable to open file: '%s'\n", path).c_str());
      return 0;
    }
    ++lineNumber;
    if (status == LineReader::kTooLong)
      fatal_fmt("Line %d of the data file is longer than %zu characters.", lineNumber,
                kMaxLineLength);
    line = checked_text_line(line, length, lineNumber);
    if (line[0] == '#') continue;
    if (n == kMaxData) {
      warn_separated();
      fatal_fmt("Error, Max data points exceeds %d\n", kMaxData);
    }
    double third = 0.0;
    const char *numbersEnd;
    const int fields = scan_data_line(line, &x[n], &y[n], &third, &numbersEnd);
    // Lines of fewer than two fields are skipped: blank, text, a single
    // number (or EOF, -1).  A comma or semicolon stops the scan, so only the
    // last number of a longer line can run into one.
    const bool separated =
        fields >= 2 ? runs_into_separated_number(numbersEnd) : has_separated_numbers(line);
    if (separated && separatedLines++ == 0) firstSeparated = lineNumber;
    if (fields < 2 || separated) continue;
    // Before the column count: a missing sigma is named by its line.
    if (sigma != nullptr) {
      // The column after Y, or after X2: a third number, or a fourth one
      // that the scan above counted as a word.
      double s = third;
      const bool given = !sigmaAfterX2 ? fields >= 3
                                       : fields >= 4 && scan_double(numbersEnd, &s) != nullptr;
      if (!given)
        fatal_fmt("Line %d of the data file has no sigma after %s.", lineNumber,
                  sigmaAfterX2 ? "X2" : "Y");
      if (!(s > 0.0 && std::isfinite(s)))
        fatal_fmt("Line %d of the data file holds a sigma that is not a positive finite number.",
                  lineNumber);
      sigma[n] = s;
      if (!sigmaAfterX2) third = 0.0;
    }
    if (fileFields == 0)
      fileFields = fields;
    else if (fields != fileFields)
      fatal("Error, Inconsistent number of data columns\n");
    // A NaN or an infinity (1e999 too) would become a point and poison every
    // sum of the fit.  The words after three numbers are no data.
    if (!std::isfinite(x[n]) || !std::isfinite(y[n]) || (fields >= 3 && !std::isfinite(third)))
      fatal_fmt("Line %d of the data file holds a value that is not a finite number.", lineNumber);
    x2[n] = fields >= 3 && (sigma == nullptr || sigmaAfterX2) ? third : 0.0;
    ++n;
  }
  warn_separated();
  if (n < kMinData) fatal_fmt("Error, Min data points is (%d)\n", kMinData);
  *count = n;
  *columns = (fileFields == 3 || fileFields == 5) ? 3 : 2;
  if (hasX2 != nullptr) *hasX2 = fileFields >= 3;
  // The sigma column is no X2: X Y SIGMA lines are two data columns.
  if (sigma != nullptr) {
    *columns = sigmaAfterX2 ? 3 : 2;
    if (hasX2 != nullptr) *hasX2 = sigmaAfterX2;
  }
  return 1;
}

int write_verb_results(const char *path) {
  const int nParms = fitParmNum[fitFunc];
  ReportText text(1024 + static_cast<size_t>(numData) * 56);
  text.add("\n");
  text.add("Data Input.: ").add(dataFname.c_str()).add("\n");
  text.add("Num of data: ").add_int(numData).add("\n");
  text.add("\n");
  text.add("Function...: ").add(fitLabel[fitFunc]).add("\n");
  text.add("Description: ").add(fitNote[fitFunc]).add("\n");
  text.add("Parameters.: ").add_int(nParms).add("\n");
  text.add("Fit Method.: ")
      .add(fitMethod == kMethodTavrin  ? "TAVRIN"
           : fitMethod == kMethodCeres ? "CERES"
                                       : "LEVMAR")
      .add("\n");
  text.add("\n");
  text.add("Parameter   Hold Constant");
  text.add("      Value     StdDev\n");
  for (int i = 0; i < nParms; ++i) {
    text.add(fitParmStr[fitFunc][i]).add("       ");
    text.add(holdConstFlag[i] == 1 ? "yes" : "no ").add("     ");
    text.add(" ").add_g(fitParms[i]).add(" ").add_g(fitStdDev[i]).add("\n");
  }
  text.add("\n");
  text.add("RMSE.......: ").add_g(rmse, true).add("\n");
  if (sigmaMode != kSigmaNone) {
    const tavfit::Statistics &s = fit_results();
    text.add("Chi-square.: ").add_g(s.chi_square, true).add("\n");
    text.add("Chi-sq/dof.: ").add_g(s.reduced_chi_square, true).add("\n");
    if (sigmaMode == kSigmaAbsolute) text.add("P-value....: ").add_g(s.chi_square_p, true).add("\n");
  }
  text.add("Iterations.: ").add_int(itCount).add("\n");
  text.add("Max It.....: ").add_int(maxIt).add("\n");
  text.add("\n");
  text.add("Point by Point Analysis\n");
  const std::vector<double> &residuals = fit_results().residuals;
  if (numDataCol == 3) {
    text.add("      X[i]      X2[i]      Y[i]");
    text.add("    Y-Calc   Residual\n");
    for (int i = 0; i < numData; ++i)
      text.add_g(xData[i]).add(" ").add_g(tData[i]).add(" ").add_g(yData[i]).add(" ")
          .add_g(fxData[i]).add(" ").add_g(residuals[i]).add("\n");
  } else {
    text.add("      X[i]      Y[i]");
    text.add("     Y-Calc   Residual\n");
    for (int i = 0; i < numData; ++i)
      text.add_g(xData[i]).add(" ").add_g(yData[i]).add(" ").add_g(fxData[i]).add(" ")
          .add_g(residuals[i]).add("\n");
  }
  text.add("\n************************************************************\n");
  write_report(path, text.text());
  return 1;
}

int write_short_results(const char *path) {
  ReportText text(256);
  for (int i = 0; i < fitParmNum[fitFunc]; ++i)
    text.add(" ").add_g(fitParms[i]).add(" ").add_g(fitStdDev[i]).add("\n");
  text.add(" ").add_g(rmse).add("\n");
  text.add(" ").add_int(itCount).add("\n");
  write_report(path, text.text());
  return 1;
}
