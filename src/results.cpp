// The results file of a batch: one row per curve, as tab- or comma-separated
// text with a header line, or as JSON lines.  Every row is one line, whatever
// the curve's name or message holds, so that rows can be counted, resumed and
// merged line by line; numbers are written exactly (the shortest text that
// reads back as the same double), so that the same fit gives the same bytes.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "program.h"

namespace {

// The length of the valid UTF-8 sequence at s (of at most left bytes), or 0.
size_t utf8_length(const unsigned char *s, size_t left) {
  const unsigned char c = s[0];
  size_t n;
  unsigned min;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) n = 2, min = 0x80;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, min = 0x800;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, min = 0x10000;
  else return 0;
  if (left < n) return 0;
  unsigned code = c & (0x3F >> (n - 1));
  for (size_t k = 1; k < n; ++k) {
    if ((s[k] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (s[k] & 0x3F);
  }
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  return code < min || code > 0x10FFFF || surrogate ? 0 : n;
}

// Text as one field: control characters become blanks (a row stays one
// line), bytes that are not UTF-8 become U+FFFD, so that every reader takes
// the file; for JSON, quotes and backslashes escaped too.
void append_text(std::string *out, const std::string &text, bool json) {
  const auto *s = reinterpret_cast<const unsigned char *>(text.data());
  for (size_t k = 0; k < text.size();) {
    const size_t n = utf8_length(s + k, text.size() - k);
    if (n == 0) {
      *out += "\xEF\xBF\xBD";
      ++k;
      continue;
    }
    const char c = static_cast<char>(s[k]);
    if (n == 1 && (s[k] < 0x20 || s[k] == 0x7F))
      *out += ' ';
    else if (json && (c == '"' || c == '\\'))
      *out += '\\', *out += c;
    else
      out->append(text, k, n);
    k += n;
  }
}

}  // namespace

bool results_format(const std::string &path, ResultsFormat *format) {
  if (ends_with(path, ".tsv")) *format = ResultsFormat::kTsv;
  else if (ends_with(path, ".csv")) *format = ResultsFormat::kCsv;
  else if (ends_with(path, ".jsonl")) *format = ResultsFormat::kJsonl;
  else return false;
  return true;
}

std::vector<std::string> ResultsLayout::columns() const {
  std::vector<std::string> names = {"curve", "status", "message"};
  if (!shared.empty()) names.push_back("shared");
  for (const std::string &name : parameters) {
    names.push_back(name);
    names.push_back(name + "_sd");
  }
  for (const char *name : {"n", "sse", "rmse", "r_squared", "aic", "bic", "iterations", "check",
                           "check_distance_sd"})
    names.push_back(name);
  if (sigma) {
    names.push_back("chi_square");
    names.push_back("reduced_chi_square");
    if (absoluteSigma) names.push_back("chi_square_p");
  }
  if (bounds) names.push_back("at_bound");
  return names;
}

std::string ResultsLayout::header() const {
  if (format == ResultsFormat::kJsonl) return "";
  std::string line;
  for (const std::string &name : columns()) {
    if (!line.empty()) line += format == ResultsFormat::kTsv ? '\t' : ',';
    line += name;
  }
  return line + "\n";
}

// A row is built field by field in the layout's column order; the writer
// knows only whether a field is text or a number.
class RowWriter {
 public:
  RowWriter(const ResultsLayout &layout, std::string *out) : layout_(layout), out_(out) {}
  void text(const std::string &value) {
    begin();
    if (layout_.format == ResultsFormat::kCsv && needs_quotes(value)) {
      std::string clean;
      append_text(&clean, value, false);
      *out_ += '"';
      for (char c : clean) *out_ += c == '"' ? std::string("\"\"") : std::string(1, c);
      *out_ += '"';
    } else {
      if (json()) *out_ += '"';
      append_text(out_, value, json());
      if (json()) *out_ += '"';
    }
  }
  void number(double value) {
    begin();
    if (json() && !std::isfinite(value)) {
      *out_ += "null";
      return;
    }
    // The shortest text that reads back as the same double: exact, and
    // cheaper than printf's 17 digits by an order of magnitude.
    char buffer[32];
    const std::to_chars_result end = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_->append(buffer, end.ptr);
  }
  void integer(long long value) {
    begin();
    *out_ += std::to_string(value);
  }
  void empty() {
    begin();
    if (json()) *out_ += "null";
  }
  void end() { *out_ += json() ? "}\n" : "\n"; }

 private:
  const ResultsLayout &layout_;
  std::string *out_;
  size_t column_ = 0;
  bool json() const { return layout_.format == ResultsFormat::kJsonl; }
  static bool needs_quotes(const std::string &value) {
    return value.find_first_of(",\"\r\n") != std::string::npos ||
           (!value.empty() && (value.front() == ' ' || value.back() == ' '));
  }
  void begin() {
    if (json()) {
      *out_ += column_ == 0 ? "{\"" : ",\"";
      *out_ += layout_.names[column_];
      *out_ += "\":";
    } else if (column_ > 0) {
      *out_ += layout_.format == ResultsFormat::kTsv ? '\t' : ',';
    }
    ++column_;
  }
};

namespace {

// The failure, or the fit's warnings, as one text.
std::string row_message(const std::string &failure, const std::vector<tavfit::Message> &messages) {
  std::string message = failure;
  for (const tavfit::Message &m : messages)
    if (m.level == tavfit::Message::Warning) message += (message.empty() ? "" : "; ") + m.text;
  return message;
}

// The rest of a failed row after its leading text columns: n alone.
void failed_row(RowWriter &row, const ResultsLayout &layout, size_t leading, int n) {
  const size_t P = layout.parameters.size();
  for (size_t k = 0; k < 2 * P; ++k) row.empty();
  row.integer(n);
  for (size_t k = layout.names.size() - 2 * P - leading - 1; k > 0; --k) row.empty();
  row.end();
}

void parameter_fields(RowWriter &row, const ResultsLayout &layout, const tavfit::FitResult &result) {
  for (size_t k = 0; k < layout.parameters.size(); ++k) {
    row.number(result.value[k]);
    row.number(result.sd[k]);
  }
}

// The parameters that end on a bound, ':'-separated.
std::string at_bound_names(const ResultsLayout &layout, const tavfit::FitResult &result) {
  std::string names;
  for (size_t k = 0; k < result.at_bound.size(); ++k)
    if (result.at_bound[k]) names += (names.empty() ? "" : ":") + layout.parameters[k];
  return names;
}

}  // namespace

void append_results_row(const ResultsLayout &layout, const std::string &curve,
                        const tavfit::Problem &problem, const tavfit::FitResult &result,
                        std::string *out) {
  RowWriter row(layout, out);
  row.text(curve);
  row.text(result.ok ? "ok" : "failed");
  row.text(row_message(result.message, result.messages));
  const int n = static_cast<int>(problem.curve.x.size());
  if (!result.ok) return failed_row(row, layout, 3, n);
  parameter_fields(row, layout, result);
  const tavfit::Statistics s = tavfit::statistics(problem, result);
  row.integer(n);
  row.number(s.sse);
  row.number(result.rmse);
  row.number(s.r_squared);
  row.number(s.aic);
  row.number(s.bic);
  row.integer(result.iterations);
  if (result.check.done) {
    row.text(result.check.at_minimum ? "ok" : "off");
    row.number(result.check.distance_sd);
  } else {
    row.empty();
    row.empty();
  }
  if (layout.sigma) {
    row.number(s.chi_square);
    row.number(s.reduced_chi_square);
    if (layout.absoluteSigma) row.number(s.chi_square_p);
  }
  if (layout.bounds) row.text(at_bound_names(layout, result));
  row.end();
}

void append_global_row(const ResultsLayout &layout, const std::string &curve,
                       const tavfit::Curve &data, const tavfit::GlobalResult &global,
                       const tavfit::FitResult &result, std::string *out) {
  RowWriter row(layout, out);
  row.text(curve);
  row.text(global.ok ? "ok" : "failed");
  row.text(row_message(global.message, global.messages));
  std::string shared;
  for (const std::string &name : layout.shared) shared += (shared.empty() ? "" : ":") + name;
  row.text(shared);
  const int n = static_cast<int>(data.x.size());
  if (!global.ok) return failed_row(row, layout, 4, n);
  parameter_fields(row, layout, result);
  // The curve's own figures, as a problem of its own would have them.
  const tavfit::Problem problem = {tavfit::Model(), data, {}};
  const tavfit::Statistics s = tavfit::statistics(problem, result);
  row.integer(n);
  row.number(s.sse);
  row.number(result.rmse);
  row.number(s.r_squared);
  row.empty();  // aic and bic: of the whole fit, in its summary
  row.empty();
  row.integer(global.iterations);
  row.empty();  // the check: not made for a global fit
  row.empty();
  if (layout.sigma) {
    row.number(s.chi_square);
    row.empty();
    if (layout.absoluteSigma) row.empty();
  }
  if (layout.bounds) row.text(at_bound_names(layout, result));
  row.end();
}

std::string written_curve(const ResultsLayout &layout, const std::string &curve) {
  std::string field;
  RowWriter(layout, &field).text(curve);
  return field;
}

bool row_curve_field(const ResultsLayout &layout, const std::string &line, std::string *field) {
  size_t end = std::string::npos;
  if (layout.format == ResultsFormat::kJsonl) {
    // {"curve":"NAME", up to the quote that ends NAME.
    const char kStart[] = "{\"curve\":\"";
    if (line.compare(0, sizeof kStart - 1, kStart) != 0) return false;
    for (size_t k = sizeof kStart - 1; k < line.size() && end == std::string::npos; ++k)
      if (line[k] == '\\') ++k;
      else if (line[k] == '"') end = k + 1;
  } else if (layout.format == ResultsFormat::kCsv && !line.empty() && line[0] == '"') {
    for (size_t k = 1; k < line.size() && end == std::string::npos; ++k)
      if (line[k] == '"' && k + 1 < line.size() && line[k + 1] == '"') ++k;
      else if (line[k] == '"') end = k + 1;
  } else {
    end = line.find(layout.format == ResultsFormat::kTsv ? '\t' : ',');
  }
  if (end == std::string::npos) return false;
  field->assign(line, 0, end);
  return true;
}
