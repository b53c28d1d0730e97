// Tables from spreadsheets and instruments (-columns): the column list and
// the reader of comma-, semicolon-, tab- or blank-separated text.
#include "program.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

struct Role {
  const char *key;
  ColumnRef ColumnChoice::*ref;
};
// The numeric roles first, in the order rows hand their values out; the
// curve's name last.
const Role kRoles[] = {{"x", &ColumnChoice::x},
                       {"y", &ColumnChoice::y},
                       {"x2", &ColumnChoice::x2},
                       {"sigma", &ColumnChoice::sigma},
                       {"curve", &ColumnChoice::curve}};
constexpr int kRoleCount = sizeof kRoles / sizeof kRoles[0];

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// True when text is wholly one finite number; blanks around it, as a quoted
// field may keep, do not count.  strtod, not scanf: "1e" is no number here.
bool finite_number(const std::string &text, double *value) {
  // The common case, a plain number, by from_chars: the same correctly
  // rounded double as strtod, several times faster on long tables.  Blanks,
  // a '+', hexadecimal and the rest go to strtod.
  const char *first = text.data(), *last = first + text.size();
  const std::from_chars_result quick = std::from_chars(first, last, *value);
  if (quick.ec == std::errc() && quick.ptr == last && first != last)
    return std::isfinite(*value);
  const char *start = text.c_str();
  while (is_blank(*start)) ++start;
  char *end;
  *value = std::strtod(start, &end);
  if (end == start) return false;
  while (is_blank(*end)) ++end;
  return *end == '\0' && std::isfinite(*value);
}

// Reads one "role=column" entry of a -columns list starting at `at`, which
// moves past it and its comma; an empty error means success.
std::string read_entry(const char *&at, ColumnChoice *choice, bool *seen) {
  const char *start = at;
  while (*at != '\0' && *at != ',' && *at != '=') ++at;
  const std::string key(trimmed(std::string_view(start, static_cast<size_t>(at - start))));
  if (*at != '=') {
    const std::string entry(start, at);
    return format_msg("'%s' in -columns is not of the form role=column.", entry.c_str());
  }
  const Role *role = nullptr;
  for (const Role &r : kRoles)
    if (key == r.key) role = &r;
  if (role == nullptr)
    return format_msg("Unknown column role '%s' in -columns; use x, y, x2, sigma or curve.", key.c_str());
  if (seen[role - kRoles]) return format_msg("Column role '%s' given twice in -columns.", role->key);
  seen[role - kRoles] = true;
  ++at;
  while (is_blank(*at)) ++at;
  std::string value;
  bool quoted = false;
  if (*at == '"') {
    quoted = true;
    for (++at;; ++at) {
      if (*at == '\0') return "Unclosed quote in -columns.";
      if (*at == '"' && at[1] != '"') break;
      if (*at == '"') ++at;
      value += *at;
    }
    ++at;
    while (is_blank(*at)) ++at;
    if (*at != '\0' && *at != ',')
      return format_msg("Text after the closing quote of '%s' in -columns.", value.c_str());
  } else {
    const char *begin = at;
    while (*at != '\0' && *at != ',') ++at;
    value = trimmed(std::string_view(begin, static_cast<size_t>(at - begin)));
  }
  if (*at == ',') ++at;
  if (value.empty()) return format_msg("Column role '%s' in -columns names no column.", role->key);
  ColumnRef &ref = choice->*(role->ref);
  if (quoted) {
    ref.name = value;
    return "";
  }
  double number;
  if (all_digits(value)) {
    // A number of more digits than an int holds names no column either.
    if (value.size() <= 9 && std::stoi(value) > 0) {
      ref.number = std::stoi(value);
      return "";
    }
  } else if (!finite_number(value, &number)) {
    ref.name = value;
    return "";
  }
  return format_msg("Column number '%s' in -columns is not one of 1, 2, 3, ...", value.c_str());
}

// The lines of a table, read as they are needed, so that a table of any
// length streams through a buffer of a few lines.
class Lines {
 public:
  explicit Lines(int fd) : fd_(fd) {}
  int number = 0;
  unsigned long long consumed = 0;  // bytes of the lines handed out
  // The next line, its newline (and a CR before it) cut off, or nullptr at
  // the end.  Valid until the next call.
  char *next() {
    if (start_ > 0 && start_ == end_) start_ = end_ = 0;
    for (;;) {
      char *begin = &buffer_[start_];
      if (char *newline = static_cast<char *>(std::memchr(begin, '\n', end_ - start_)))
        return cut(begin, static_cast<size_t>(newline - begin), 1);
      if (eof_) return end_ > start_ ? cut(begin, end_ - start_, 0) : nullptr;
      if (end_ - start_ > kMaxTableLine)
        fatal_fmt("Line %d of the data file is longer than %zu characters.", number + 1,
                  kMaxTableLine);
      fill();
    }
  }

 private:
  static constexpr size_t kMaxTableLine = 1048576;
  static constexpr size_t kChunk = 65536;
  int fd_;
  std::string buffer_ = std::string(kChunk + 1, '\0');
  size_t start_ = 0, end_ = 0;
  bool eof_ = false;

  char *cut(char *begin, size_t length, size_t newline) {
    start_ += length + newline;
    consumed += length + newline;
    ++number;
    char *end = begin + length;
    char *line = checked_text_line(begin, length, number);
    if (end > line && end[-1] == '\r') --end;
    *end = '\0';
    return line;
  }
  // Reads on, after moving what is left of the buffer to its start.
  void fill() {
    if (start_ > 0) {
      std::memmove(&buffer_[0], &buffer_[start_], end_ - start_);
      end_ -= start_;
      start_ = 0;
    }
    if (buffer_.size() < end_ + kChunk + 1) buffer_.resize(end_ + kChunk + 1);
    for (;;) {
      const ssize_t got = read(fd_, &buffer_[end_], kChunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        // Half a table read as a whole one would be lost data.
        if (got < 0) fatal("The table could not be read to its end.");
        eof_ = true;
        return;
      }
      end_ += static_cast<size_t>(got);
      return;
    }
  }
};

enum class Split { kOk, kUnclosedQuote, kStrayQuote };

// Splits a line into its fields, blanks around each and quotes removed.  sep
// is ',', ';' or '\t', or ' ' for runs of blanks.
Split split_fields(const char *at, char sep, std::vector<std::string> *fields) {
  fields->clear();
  const bool blanks = sep == ' ';
  auto blank = [sep](char c) { return c == ' ' || (c == '\t' && sep != '\t'); };
  auto ends_field = [&](char c) { return c == '\0' || (blanks ? blank(c) : c == sep); };
  for (;;) {
    while (blank(*at)) ++at;
    if (blanks && *at == '\0') return Split::kOk;
    std::string field;
    if (*at == '"') {
      for (++at;; ++at) {
        if (*at == '\0') return Split::kUnclosedQuote;
        if (*at == '"' && at[1] != '"') break;
        if (*at == '"') ++at;
        field += *at;
      }
      ++at;
      if (!blanks)
        while (blank(*at)) ++at;
      if (!ends_field(*at)) return Split::kStrayQuote;
    } else {
      const char *start = at;
      for (; !ends_field(*at); ++at)
        if (*at == '"') return Split::kStrayQuote;
      const char *end = at;
      while (end > start && blank(end[-1])) --end;
      field.assign(start, end);
    }
    fields->push_back(std::move(field));
    if (*at == '\0') return Split::kOk;
    if (!blanks) ++at;
  }
}

void split_or_fail(const char *line, char sep, int number, std::vector<std::string> *fields) {
  switch (split_fields(line, sep, fields)) {
    case Split::kOk:
      return;
    case Split::kUnclosedQuote:
      fatal_fmt("Line %d of the table has a quote that is not closed on that line.", number);
    case Split::kStrayQuote:
      fatal_fmt("Line %d of the table has a quote that does not enclose a whole field.", number);
  }
}

// The separator of a table, from its first row: the one of ',', ';' and tab
// that the row holds outside quotes, or ' ' (runs of blanks) for none.
char find_separator(const char *line, int number) {
  bool quoted = false;
  bool found[3] = {};
  const char kSeparators[] = ",;\t";
  for (const char *at = line; *at != '\0'; ++at) {
    if (*at == '"') quoted = !quoted;
    if (const char *sep = quoted ? nullptr : std::strchr(kSeparators, *at))
      found[sep - kSeparators] = true;
  }
  const char *kNames[] = {"','", "';'", "a tab"};
  std::vector<std::string> names;
  char sep = ' ';
  for (int k = 0; k < 3; ++k)
    if (found[k]) names.push_back(kNames[k]), sep = kSeparators[k];
  if (names.size() == 2)
    fatal_fmt("The table's separator is not clear: line %d holds both %s and %s.", number,
              names[0].c_str(), names[1].c_str());
  if (names.size() == 3)
    fatal_fmt("The table's separator is not clear: line %d holds %s, %s and %s.", number,
              names[0].c_str(), names[1].c_str(), names[2].c_str());
  return sep;
}

// A chosen column of the table: where it is and how messages name it.
struct Column {
  const ColumnRef *ref;
  size_t index;
  std::string label;  // 'name' from the header, else the number
};

// Finds the chosen columns from the table's first row; returns whether that
// row is a header.  It is one when a field chosen by number is not a number,
// and when a column is chosen by name, which needs one, when any field is not.
bool find_columns(const std::vector<std::string> &first, std::vector<Column> *columns) {
  bool header = false, named = false;
  double value;
  for (const Column &column : *columns) {
    const size_t k = static_cast<size_t>(column.ref->number - 1);
    if (column.ref->number == 0)
      named = true;
    else if (k < first.size() && !finite_number(first[k], &value))
      header = true;
  }
  if (named)
    for (const std::string &field : first) header = header || !finite_number(field, &value);
  for (Column &column : *columns) {
    const ColumnRef &ref = *column.ref;
    if (ref.number > 0) {
      column.index = static_cast<size_t>(ref.number - 1);
    } else if (!header) {
      fatal_fmt("Column '%s' of -columns needs a header row; the table's first row holds "
                "numbers only.",
                ref.name.c_str());
    } else {
      column.index = first.size();
      for (size_t k = 0; k < first.size(); ++k) {
        if (first[k] != ref.name) continue;
        if (column.index != first.size())
          fatal_fmt("The table's header holds '%s' twice.", ref.name.c_str());
        column.index = k;
      }
      if (column.index == first.size()) {
        std::string names;
        for (const std::string &field : first) names += (names.empty() ? "'" : ", '") + field + "'";
        fatal_fmt("The table's header has no column '%s'; it holds %s.", ref.name.c_str(),
                  names.c_str());
      }
    }
    column.label = header && column.index < first.size() && !first[column.index].empty()
                       ? "'" + first[column.index] + "'"
                       : std::to_string(column.index + 1);
  }
  return header;
}

}  // namespace

bool parse_columns(const char *choice, ColumnChoice *out, std::string *error) {
  *out = ColumnChoice();
  bool seen[kRoleCount] = {};
  for (const char *at = choice; *at != '\0';) {
    while (is_blank(*at)) ++at;
    if (*at == ',') {
      ++at;
      continue;
    }
    if (*at == '\0') break;
    *error = read_entry(at, out, seen);
    if (!error->empty()) return false;
  }
  for (int k = 0; k < 2; ++k)  // x and y
    if (!seen[k]) {
      *error = format_msg("Column role '%s' missing in -columns; x and y are required.",
                          kRoles[k].key);
      return false;
    }
  return true;
}

struct TableReader::State {
  int fd = -1;
  Lines lines{-1};
  ColumnChoice choice;
  std::vector<Column> columns;  // the chosen ones in role order
  std::vector<std::string> fields;
  char sep = 0;
  ~State() {
    if (fd >= 0) close(fd);
  }
};

TableReader::TableReader() = default;
TableReader::~TableReader() = default;

bool TableReader::open(const char *path, const ColumnChoice &choice) {
  state_.reset(new State);
  State &st = *state_;
  st.fd = ::open(path, O_RDONLY);
  struct stat info;
  if (st.fd < 0 || fstat(st.fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    show_msg(kWarning, format_msg("Unable to open file: '%s'\n", path).c_str());
    return false;
  }
  st.lines = Lines(st.fd);
  st.choice = choice;
  for (const Role &role : kRoles)
    if ((st.choice.*role.ref).given()) st.columns.push_back({&(st.choice.*role.ref), 0, ""});
  return true;
}

int TableReader::line() const { return state_->lines.number; }

unsigned long long TableReader::position() const { return state_->lines.consumed; }

bool TableReader::next(TableRow *row, bool numbers) {
  State &st = *state_;
  for (char *line; (line = st.lines.next()) != nullptr;) {
    const char *text = line;
    while (is_blank(*text)) ++text;
    if (*text == '\0' || *text == '#') continue;
    const int number = st.lines.number;
    const bool first = st.sep == 0;
    if (first) st.sep = find_separator(text, number);
    split_or_fail(text, st.sep, number, &st.fields);
    if (first && find_columns(st.fields, &st.columns)) continue;
    double point[kRoleCount] = {};
    for (size_t c = 0; c < st.columns.size(); ++c) {
      const Column &column = st.columns[c];
      if (column.index >= st.fields.size())
        fatal_fmt("Line %d of the table has no column %s.", number, column.label.c_str());
      const std::string &field = st.fields[column.index];
      if (column.ref == &st.choice.curve) {
        row->curve = field;
      } else if (numbers && !finite_number(field, &point[c])) {
        fatal_fmt("Line %d, column %s of the table holds '%s', not a finite number.", number,
                  column.label.c_str(), field.c_str());
      }
    }
    // The columns come in role order: x, y, then x2 and sigma when chosen.
    row->x = point[0];
    row->y = point[1];
    size_t c = 2;
    row->x2 = st.choice.x2.given() ? point[c++] : 0.0;
    row->sigma = 0.0;
    if (numbers && st.choice.sigma.given()) {
      // A standard deviation: a weight of 1 / sigma^2 needs it positive.
      if (!(point[c] > 0.0))
        fatal_fmt("Line %d, column %s of the table holds '%s', not a positive number.", number,
                  st.columns[c].label.c_str(), st.fields[st.columns[c].index].c_str());
      row->sigma = point[c];
    }
    return true;
  }
  return false;
}

bool read_table(const char *path, const ColumnChoice &choice, TableData *out) {
  TableReader table;
  if (!table.open(path, choice)) return false;
  *out = TableData();
  for (TableRow row; table.next(&row);) {
    out->x.push_back(row.x);
    out->y.push_back(row.y);
    out->x2.push_back(row.x2);
    if (choice.sigma.given()) out->sigma.push_back(row.sigma);
  }
  if (out->x.size() < static_cast<size_t>(kMinData))
    fatal_fmt("Error, Min data points is (%d)\n", kMinData);
  return true;
}

void read_start_table(const char *path, const std::vector<std::string> &names,
                      const std::vector<double> &defaults,
                      std::unordered_map<std::string, std::vector<double>> *starts) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    if (fd >= 0) close(fd);
    fatal_fmt("Unable to open the starts file '%s'.", path);
  }
  Lines lines(fd);
  std::vector<std::string> fields;
  char sep = 0;
  size_t curveColumn = 0;
  std::vector<size_t> column(names.size(), SIZE_MAX);  // of each parameter, if any
  for (char *line; (line = lines.next()) != nullptr;) {
    const char *text = line;
    while (is_blank(*text)) ++text;
    if (*text == '\0' || *text == '#') continue;
    if (sep == 0) {
      sep = find_separator(text, lines.number);
      split_or_fail(text, sep, lines.number, &fields);
      curveColumn = fields.size();
      for (size_t k = 0; k < fields.size(); ++k) {
        if (fields[k] == "curve") curveColumn = k;
        for (size_t p = 0; p < names.size(); ++p)
          if (fields[k] == names[p]) column[p] = k;
      }
      if (curveColumn == fields.size())
        fatal_fmt("The starts file '%s' has no column 'curve' in its header.", path);
      continue;
    }
    split_or_fail(text, sep, lines.number, &fields);
    std::vector<double> values = defaults;
    for (size_t p = 0; p < names.size(); ++p) {
      if (column[p] == SIZE_MAX) continue;
      if (column[p] >= fields.size() || !finite_number(fields[column[p]], &values[p]))
        fatal_fmt("Line %d, column '%s' of the starts file holds '%s', not a finite number.",
                  lines.number, names[p].c_str(),
                  column[p] < fields.size() ? fields[column[p]].c_str() : "");
    }
    if (curveColumn >= fields.size())
      fatal_fmt("Line %d of the starts file has no column 'curve'.", lines.number);
    if (!starts->emplace(fields[curveColumn], std::move(values)).second)
      fatal_fmt("The starts file gives curve '%s' twice (line %d).", fields[curveColumn].c_str(),
                lines.number);
  }
  close(fd);
}
