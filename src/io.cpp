// The curve data file and the two reports.
#include "tavfit.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Opens a report file, or falls back to standard output without a message.
// A path that names the file standard output already writes to goes through
// the standard output stream itself: a second, truncating open of that file
// would overwrite what the stream has written or still holds.
FILE *open_report(const char *path) {
  if (*path == '\0' || is_stdout_file(path)) return stdout;
  // Whatever the run has printed so far comes before the report, also when
  // the report file and standard output meet in one pipe or file.
  std::fflush(stdout);
  FILE *fp = std::fopen(path, "w");
  return fp != nullptr ? fp : stdout;
}

// Standard output is checked once, at exit (see check_stdout_at_exit); a
// report file is checked here, every write and the close.
void close_report(FILE *fp, const char *path) {
  if (fp == stdout) return;
  const bool failed = std::ferror(fp) != 0;
  if (std::fclose(fp) != 0 || failed) fatal_fmt("Unable to write output file '%s'.", path);
}

struct FileCloser {
  void operator()(FILE *fp) const { std::fclose(fp); }
};
// The line buffer getline grows; freed also when a fatal hook unwinds.
struct LineBuffer {
  char *data = nullptr;
  size_t capacity = 0;
  ~LineBuffer() { std::free(data); }
};

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

}  // namespace

int scan_data_line(const char *line, double *x, double *y, double *x2) {
  // The two trailing words only count; each keeps at most 255 characters,
  // and a longer word goes on into the next one.
  char word1[256];
  char word2[256];
  return std::sscanf(line, "%lf %lf %lf %255s %255s", x, y, x2, word1, word2);
}

int read_crv_data(const char *path, double *x, double *y, double *x2, int *count,
                  int *columns) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "r"));
  // A directory opens for reading but yields no line: say so, as for a file
  // that cannot be opened, instead of reporting too few points.
  struct stat info;
  if (file == nullptr || (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode))) {
    show_msg(kWarning, format_msg("Unable to open file: '%s'\n", path).c_str());
    return 0;
  }
  FILE *fp = file.get();

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

  // Each line is read whole, whatever its length.
  LineBuffer buffer;
  ssize_t length;
  while ((length = getline(&buffer.data, &buffer.capacity, fp)) >= 0) {
    ++lineNumber;
    const char *line = buffer.data;
    // A UTF-8 byte order mark, as some editors write, is not part of the data.
    if (lineNumber == 1 && length >= 3 && std::memcmp(line, "\xEF\xBB\xBF", 3) == 0) line += 3;
    if (line[0] == '#') continue;
    if (n == kMaxData) {
      warn_separated();
      fatal_fmt("Error, Max data points exceeds %d\n", kMaxData);
    }
    double third = 0.0;
    const int fields = scan_data_line(line, &x[n], &y[n], &third);
    if (fields < 2) {  // blank, text, a single number (or EOF, -1)
      if (has_separated_numbers(line) && separatedLines++ == 0) firstSeparated = lineNumber;
      continue;
    }
    if (fileFields == 0)
      fileFields = fields;
    else if (fields != fileFields)
      fatal("Error, Inconsistent number of data columns\n");
    x2[n] = fields >= 3 ? third : 0.0;
    ++n;
  }
  // A read error loses the rest of the file: the file could not be read.
  if (std::ferror(fp)) {
    show_msg(kWarning, format_msg("Unable to open file: '%s'\n", path).c_str());
    return 0;
  }
  warn_separated();
  if (n < kMinData) fatal_fmt("Error, Min data points is (%d)\n", kMinData);
  *count = n;
  *columns = (fileFields == 3 || fileFields == 5) ? 3 : 2;
  return 1;
}

void set_results() {
  // The X2 the fit used: 0.0 on lines without a third number, the stored
  // third number on four-field lines, whose file counts two data columns.
  for (int i = 0; i < numData; ++i) fnf(fitFunc, &fxData[i], xData[i], tData[i], fitParms);
}

int write_verb_results(const char *path) {
  FILE *fp = open_report(path);
  const int nParms = fitParmNum[fitFunc];
  std::fprintf(fp, "\n");
  std::fprintf(fp, "Data Input.: %s\n", dataFname.c_str());
  std::fprintf(fp, "Num of data: %d\n", numData);
  std::fprintf(fp, "\n");
  std::fprintf(fp, "Function...: %s\n", fitLabel[fitFunc]);
  std::fprintf(fp, "Description: %s\n", fitNote[fitFunc]);
  std::fprintf(fp, "Parameters.: %d\n", nParms);
  std::fprintf(fp, "Fit Method.: %s\n", fitMethod == kMethodTavrin  ? "TAVRIN"
                                        : fitMethod == kMethodCeres ? "CERES"
                                                                    : "LEVMAR");
  std::fprintf(fp, "\n");
  std::fprintf(fp, "Parameter   Hold Constant");
  std::fprintf(fp, "      Value     StdDev\n");
  for (int i = 0; i < nParms; ++i) {
    std::fprintf(fp, "%s       %s     ", fitParmStr[fitFunc][i],
                 holdConstFlag[i] == 1 ? "yes" : "no ");
    std::fprintf(fp, " %10.5g %10.5g\n", fitParms[i], fitStdDev[i]);
  }
  std::fprintf(fp, "\n");
  std::fprintf(fp, "RMSE.......: %-10.5g\n", rmse);
  std::fprintf(fp, "Iterations.: %d\n", itCount);
  std::fprintf(fp, "Max It.....: %d\n", maxIt);
  std::fprintf(fp, "\n");
  std::fprintf(fp, "Point by Point Analysis\n");
  if (numDataCol == 3) {
    std::fprintf(fp, "      X[i]      X2[i]      Y[i]");
    std::fprintf(fp, "    Y-Calc   Residual\n");
    for (int i = 0; i < numData; ++i)
      std::fprintf(fp, "%10.5g %10.5g %10.5g %10.5g %10.5g\n", xData[i], tData[i], yData[i],
                   fxData[i], fxData[i] - yData[i]);
  } else {
    std::fprintf(fp, "      X[i]      Y[i]");
    std::fprintf(fp, "     Y-Calc   Residual\n");
    for (int i = 0; i < numData; ++i)
      std::fprintf(fp, "%10.5g %10.5g %10.5g %10.5g\n", xData[i], yData[i], fxData[i],
                   fxData[i] - yData[i]);
  }
  std::fprintf(fp, "\n************************************************************\n");
  close_report(fp, path);
  return 1;
}

int write_short_results(const char *path) {
  FILE *fp = open_report(path);
  for (int i = 0; i < fitParmNum[fitFunc]; ++i)
    std::fprintf(fp, " %10.5g %10.5g\n", fitParms[i], fitStdDev[i]);
  std::fprintf(fp, " %10.5g\n", rmse);
  std::fprintf(fp, " %d\n", itCount);
  close_report(fp, path);
  return 1;
}
