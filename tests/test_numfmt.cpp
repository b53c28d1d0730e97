// format_g and scan_double against the C library they stand in for, over
// random doubles of every magnitude and the forms where a fast path could
// slip: rounding ties and their neighbours, carries into the next power of
// ten, the switch to exponent form, subnormals, the ends of the range, signed
// zeros, NaN and infinity, and every spelling scanf reads.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "numfmt.h"
#include "program.h"

namespace {

double from_bits(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

uint64_t to_bits(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Values around which "%.Pg" changes its rounding, its exponent or its form.
std::vector<double> adversarial_values() {
  std::vector<double> values = {0.0,
                                -0.0,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::nan(""),
                                -std::nan(""),
                                DBL_MIN,
                                DBL_MAX,
                                DBL_TRUE_MIN,
                                DBL_MIN - DBL_TRUE_MIN,
                                0.5,
                                12345.5,
                                1234.25,
                                0.125,
                                2.5,
                                99999.5,
                                999995.0};
  // Decimal ties and carries of 1 to 9 digits at every exponent that has a
  // double, each with its neighbours a few units in the last place away.
  const char *mantissas[] = {"1",       "5",        "1.5",       "2.5",       "9.5",
                             "9.99995", "9.999995", "1.00005",   "1.000005",  "1.23445",
                             "1.23455", "9.9999",   "9.99999",   "4.99995",   "1.0000000005",
                             "6.02214076", "9.999999995"};
  char text[64];
  for (const char *mantissa : mantissas) {
    for (int e = -325; e <= 309; ++e) {
      std::snprintf(text, sizeof text, "%se%d", mantissa, e);
      double base = std::strtod(text, nullptr);
      if (!std::isfinite(base)) continue;
      double up = base, down = base;
      values.push_back(base);
      for (int k = 0; k < 3; ++k) {
        up = std::nextafter(up, HUGE_VAL);
        down = std::nextafter(down, 0.0);
        values.push_back(up);
        values.push_back(down);
      }
    }
  }
  // Exact binary ties: integers and halves, quarters and eighths at 5 digits.
  for (int64_t n = 99990; n <= 100010; ++n)
    for (double scale : {1.0, 0.5, 0.25, 0.125, 0.0625})
      for (double p : {1.0, 0.1, 0.01, 1e-5, 1e5, 1e10})
        values.push_back(static_cast<double>(n) * scale * p);
  const size_t count = values.size();
  for (size_t i = 0; i < count; ++i) values.push_back(-values[i]);
  return values;
}

// Random bit patterns (every exponent, subnormals, NaNs) and values of the
// magnitudes data and fits usually have.
std::vector<double> random_values(size_t count) {
  std::mt19937_64 rng(20261206);
  std::uniform_real_distribution<double> decades(-12.0, 12.0);
  std::vector<double> values;
  for (size_t i = 0; i < count / 2; ++i) values.push_back(from_bits(rng()));
  for (size_t i = 0; i < count / 2; ++i) {
    const double value = std::pow(10.0, decades(rng));
    values.push_back(rng() % 2 ? value : -value);
  }
  return values;
}

// (width, precision, left) as the reports and the solver summary use them,
// and the extremes the fast path allows.
struct Format {
  int width, precision;
  bool left;
};
const Format kFormats[] = {{10, 5, false}, {10, 5, true}, {0, 6, false},
                           {0, 7, false},  {3, 1, false},  {12, 9, true}};

void expect_same_as_printf(const std::vector<double> &values) {
  size_t mismatches = 0;
  for (const Format &f : kFormats) {
    for (double value : values) {
      char want[kFormatBufSize], got[kFormatBufSize];
      const int wantLength = std::snprintf(want, sizeof want, f.left ? "%-*.*g" : "%*.*g",
                                           f.width, f.precision, value);
      const size_t gotLength = format_g(got, value, f.width, f.precision, f.left);
      if (std::string(want, wantLength) != std::string(got, gotLength) &&
          ++mismatches <= 10)
        ADD_FAILURE() << "width " << f.width << " precision " << f.precision
                      << (f.left ? " left" : "") << ", bits 0x" << std::hex << to_bits(value)
                      << ": printf \"" << want << "\", format_g \""
                      << std::string(got, gotLength) << "\"";
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(FormatG, SameAsPrintfOnAdversarialValues) { expect_same_as_printf(adversarial_values()); }

TEST(FormatG, SameAsPrintfOnRandomValues) { expect_same_as_printf(random_values(200000)); }

// The report format decides 1.2345e-17 to 1.2345e26 itself, as does every
// precision from 1 to 9 for an ordinary value, and a plain decimal is read
// without the C library.
TEST(FastPaths, CoverTheReportRangeAndPlainDecimals) {
  const long before = numfmt_library_calls();
  char out[kFormatBufSize];
  for (int e = -17; e <= 26; ++e) format_g(out, std::stod("1.2345e" + std::to_string(e)), 10, 5);
  for (int precision = 1; precision <= 9; ++precision) format_g(out, 0.3, 0, precision);
  double value;
  for (const char *text : {"1.5", "-20", " 3e-7", "0.25E+2"}) scan_double(text, &value);
  EXPECT_EQ(numfmt_library_calls(), before);
  format_g(out, 1.2345e27, 10, 5);
  scan_double("+1", &value);
  EXPECT_EQ(numfmt_library_calls(), before + 2);
}

// Texts of numbers as data files hold them, and every form scanf reads
// differently from the plain one.
std::vector<std::string> scan_texts() {
  std::vector<std::string> texts = {
      "", " ", "\t\v\f\r\n 7", "-", "+", ".", "-.", "-.5", "5.", "+1", "+-1", "--1", "1e", "1e+",
      "1ex", "1E5", "1e-5x", "1.5e-x", "1.2.3", "1,5", "1;2", "0x", "0x1p3", "0X1.8P+1",
      "0x.p1", "0xg", "00x1", "007", "inf", "-inf", "+INF", "Infinity", "infx", "in", "nan",
      "-nan", "NaN(123)", "nan(12)x", "1e99999", "-1e400", "1e-400", "4e-324",
      "2.4703282292062327e-324", "2.4703282292062328e-324", "2.2250738585072011e-308",
      "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
      "123456789012345678901234567890", "0.000000000000000000000000000000000000001234",
      "9007199254740993", "9007199254740993.00000000000000000000000001", "1\x01", "2\xff"};
  std::mt19937_64 rng(7);
  char text[128];
  for (int i = 0; i < 100000; ++i) {
    const double value = from_bits(rng());
    const char *formats[] = {"%.17g", "%.5g", "%.25e", "%.3f", "%a", "%+.9E"};
    std::snprintf(text, sizeof text, formats[i % 6], value);
    texts.push_back(text);
  }
  // Halfway points between neighbouring doubles, exactly, and just off them.
  for (int i = 0; i < 20000; ++i) {
    double value = from_bits(rng() >> 2);  // positive, mostly normal magnitudes
    if (!std::isfinite(value)) continue;
    const long double mid =
        (static_cast<long double>(value) + std::nextafter(value, HUGE_VAL)) / 2;
    std::snprintf(text, sizeof text, "%.70Le", mid);
    std::string exact = text;
    texts.push_back(exact);
    const size_t e = exact.find('e');
    texts.push_back(exact.substr(0, e) + "1" + exact.substr(e));
    std::snprintf(text, sizeof text, "%.40Le", mid);
    texts.push_back(text);
  }
  // Followed by what can end a number in a data line.
  const size_t count = texts.size();
  for (size_t i = 0; i < count; i += 3) {
    texts.push_back(" " + texts[i] + " 2");
    texts.push_back(texts[i] + "\n");
    texts.push_back(texts[i] + ",3");
  }
  return texts;
}

TEST(ScanDouble, SameAsScanfOnEveryForm) {
  size_t mismatches = 0;
  for (const std::string &text : scan_texts()) {
    double want = -7.0, got = -7.0;
    int consumed = -1;
    const int converted = std::sscanf(text.c_str(), "%lf%n", &want, &consumed);
    const char *end = scan_double(text.c_str(), &got);
    const bool same = converted == 1 ? end == text.c_str() + consumed &&
                                           to_bits(want) == to_bits(got)
                                     : end == nullptr && to_bits(got) == to_bits(-7.0);
    if (!same && ++mismatches <= 10)
      ADD_FAILURE() << "\"" << text << "\": scanf " << converted << " (" << consumed << " chars, "
                    << want << "), scan_double "
                    << (end ? std::to_string(end - text.c_str()) + " chars, " : "failed, ")
                    << got;
  }
  EXPECT_EQ(mismatches, 0u);
}

}  // namespace

// Data lines: the field count and the numbers of scan_data_line against the
// sscanf format it stands in for, over lines built from the texts above,
// words, long words and the separators that end a scan early.
TEST(ScanDataLine, SameAsScanfFormat) {
  const std::vector<std::string> texts = scan_texts();
  const std::string pieces[] = {" ", "\t", "  ", ",", ";", " # ", "word", std::string(300, 'w'),
                                std::string(255, 'w'), "\xEF\xBB\xBF", "\n"};
  std::mt19937_64 rng(11);
  size_t mismatches = 0;
  for (int i = 0; i < 100000; ++i) {
    std::string line;
    const int parts = 1 + static_cast<int>(rng() % 7);
    for (int k = 0; k < parts; ++k) {
      line += rng() % 3 ? texts[rng() % texts.size()] : pieces[rng() % std::size(pieces)];
      if (rng() % 4) line += pieces[rng() % 3];
    }
    double want[3] = {-7, -7, -7}, got[3] = {-7, -7, -7};
    char word1[256], word2[256];
    const int wantFields = std::sscanf(line.c_str(), "%lf %lf %lf %255s %255s", &want[0],
                                       &want[1], &want[2], word1, word2);
    const int gotFields = scan_data_line(line.c_str(), &got[0], &got[1], &got[2]);
    const bool same = wantFields == gotFields && to_bits(want[0]) == to_bits(got[0]) &&
                      to_bits(want[1]) == to_bits(got[1]) && to_bits(want[2]) == to_bits(got[2]);
    if (!same && ++mismatches <= 10)
      ADD_FAILURE() << "\"" << line << "\": sscanf " << wantFields << ", scan_data_line "
                    << gotFields;
  }
  EXPECT_EQ(mismatches, 0u);
}
