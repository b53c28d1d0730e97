// Fast, exact number formatting and scanning; see numfmt.h.
#include "numfmt.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace {

// Powers of ten that are exact doubles.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kPow10Max = 22;
// Precisions the fast path handles: the scaled value stays below 1e9, where
// halves are still doubles.
constexpr int kFastPrecisionMax = 9;

// The P significant digits of |value| rounded as printf rounds them (to
// nearest, ties to even), with the decimal exponent of the first digit.
// Returns false when one correctly rounded operation cannot decide (a
// possible tie, or a scale outside the exact powers of ten): printf itself
// formats those.
//
// r = |value| * 10^k (or / 10^-k) with an exact power is the exact product
// t rounded once.  Rounding to nearest is monotonic and every boundary that
// matters is itself a double (10^(P-1), 10^P, and n + 1/2 below 10^9), so r
// lies on the same side of each boundary as t, or on it: r < 10^(P-1) implies
// t < 10^(P-1), r > 10^P implies t > 10^P, and a fraction of r other than
// exactly 1/2 rounds t the same way.  At r == 10^(P-1) or 10^P both candidate
// exponents give the same digits; at a fraction of exactly 1/2, t may be a
// tie or lie on either side, and printf decides.
bool round_digits(double magnitude, int precision, uint32_t *digits, int *exponent) {
  uint64_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  const int binaryExponent = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
  // floor(binaryExponent * log10(2)): floor(log10(magnitude)) or one less.
  // (78913 / 2^18 is log10(2) to 6 digits, exact over the double range.)
  int decimalExponent = (binaryExponent * 78913) >> 18;
  const double low = kPow10[precision - 1];
  const double high = kPow10[precision];
  double scaled = 0.0;
  for (int tries = 0;; ++tries) {
    if (tries == 3) return false;
    const int k = precision - 1 - decimalExponent;
    if (k > kPow10Max || k < -kPow10Max) return false;
    scaled = k >= 0 ? magnitude * kPow10[k] : magnitude / kPow10[-k];
    if (scaled < low) {
      --decimalExponent;
    } else if (scaled > high) {
      ++decimalExponent;
    } else {
      break;
    }
  }
  const double whole = static_cast<double>(static_cast<uint32_t>(scaled));  // below 1e9
  const double fraction = scaled - whole;  // exact: same binade as scaled
  if (fraction == 0.5) return false;
  double rounded = fraction > 0.5 ? whole + 1.0 : whole;
  if (rounded == high) {  // 9.9999x rounds up to 10.000
    rounded = low;
    ++decimalExponent;
  }
  *digits = static_cast<uint32_t>(rounded);
  *exponent = decimalExponent;
  return true;
}

// "%.Pg" of a normal nonzero double without padding, or 0 when the fast path
// cannot decide (see round_digits).
size_t g_text_fast(char *out, double value, int precision) {
  uint32_t digits;
  int exponent;
  if (!round_digits(std::fabs(value), precision, &digits, &exponent)) return 0;

  char d[kFastPrecisionMax];
  for (int i = precision - 1; i >= 0; --i) {
    d[i] = static_cast<char>('0' + digits % 10);
    digits /= 10;
  }
  // %g drops trailing zeros of the fraction (there is no '#' flag).
  int significant = precision;
  while (significant > 1 && d[significant - 1] == '0') --significant;

  char *p = out;
  if (std::signbit(value)) *p++ = '-';
  if (exponent < -4 || exponent >= precision) {
    *p++ = d[0];
    if (significant > 1) {
      *p++ = '.';
      for (int i = 1; i < significant; ++i) *p++ = d[i];
    }
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    // Two digits always suffice: round_digits keeps |exponent| <= 30.
    const int e = exponent < 0 ? -exponent : exponent;
    *p++ = static_cast<char>('0' + e / 10);
    *p++ = static_cast<char>('0' + e % 10);
  } else if (exponent >= 0) {
    for (int i = 0; i <= exponent; ++i) *p++ = d[i];
    if (significant > exponent + 1) {
      *p++ = '.';
      for (int i = exponent + 1; i < significant; ++i) *p++ = d[i];
    }
  } else {
    *p++ = '0';
    *p++ = '.';
    for (int i = 0; i < -exponent - 1; ++i) *p++ = '0';
    for (int i = 0; i < significant; ++i) *p++ = d[i];
  }
  return static_cast<size_t>(p - out);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

long libraryCalls = 0;

}  // namespace

long numfmt_library_calls() { return libraryCalls; }

size_t format_g(char *out, double value, int width, int precision, bool leftAlign) {
  char text[kFormatBufSize];
  size_t length = 0;
  if (value == 0.0) {
    length = std::signbit(value) ? 2 : 1;
    std::memcpy(text, "-0", 2);
    if (length == 1) text[0] = '0';
  } else if (precision >= 1 && precision <= kFastPrecisionMax && std::fabs(value) >= DBL_MIN &&
             std::fabs(value) <= DBL_MAX) {
    length = g_text_fast(text, value, precision);
  }
  if (length == 0) {  // NaN, infinity, subnormal, near-tie, extreme exponent
    ++libraryCalls;
    const int n = std::snprintf(out, kFormatBufSize, leftAlign ? "%-*.*g" : "%*.*g", width,
                                precision, value);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  const size_t pad = static_cast<size_t>(width) > length ? static_cast<size_t>(width) - length : 0;
  if (leftAlign) {
    std::memcpy(out, text, length);
    std::memset(out + length, ' ', pad);
  } else {
    std::memset(out, ' ', pad);
    std::memcpy(out + pad, text, length);
  }
  return length + pad;
}

const char *scan_double(const char *text, double *value) {
  // The plain decimal form [-]digits[.digits][(e|E)[+|-]digits], ended by
  // white space or the end of the text: scanf reads exactly that much, and
  // from_chars rounds it as strtod does.  Every other form (a '+' sign, hex,
  // inf, nan, a dangling exponent, a number glued to other text, a result out
  // of range) goes to scanf itself, so its quirks stay as they are.
  const char *p = text;
  while (is_c_space(*p)) ++p;
  const char *start = p;
  if (*p == '-') ++p;
  const char *mantissa = p;
  while (is_digit(*p)) ++p;
  bool plain = p > mantissa;
  if (*p == '.') {
    ++p;
    const char *fraction = p;
    while (is_digit(*p)) ++p;
    plain = plain || p > fraction;
  }
  if (plain && (*p == 'e' || *p == 'E')) {
    const char *q = p + 1;
    if (*q == '+' || *q == '-') ++q;
    plain = is_digit(*q);
    while (is_digit(*q)) ++q;
    p = q;
  }
  if (plain && (*p == '\0' || is_c_space(*p))) {
    double parsed;
    const std::from_chars_result result = std::from_chars(start, p, parsed);
    if (result.ec == std::errc() && result.ptr == p) {
      *value = parsed;
      return p;
    }
  }
  ++libraryCalls;
  double parsed;
  int consumed = 0;
  if (std::sscanf(text, "%lf%n", &parsed, &consumed) != 1) return nullptr;
  *value = parsed;
  return text + consumed;
}
