// Numbers in and out of text, byte for byte as the C library's printf and
// scanf give them, without their slow general paths.
//
// glibc's printf formats every double through multi-precision arithmetic and
// its scanf reads every number through strtod's multi-precision path; for the
// 1500-line data files and point tables that was a large part of a run.  The
// fast paths here cover the forms that real data and reports use and hand
// every other form to the C library itself, so the text is always identical.
#pragma once

#include <cstddef>

// Limits of format_g: with these, its text never exceeds kFormatBufSize - 1.
constexpr int kFormatWidthMax = 32;
constexpr int kFormatPrecisionMax = 17;
constexpr int kFormatBufSize = 64;

// Writes `value` to `out` as printf's "%*.*g" (leftAlign: "%-*.*g") with
// `width` and `precision` would, and returns the number of characters written
// (no terminating NUL).  `out` must hold kFormatBufSize characters; `width`
// must be 0 to kFormatWidthMax, `precision` 1 to kFormatPrecisionMax.
size_t format_g(char *out, double value, int width, int precision, bool leftAlign = false);

// Reads one double as scanf's "%lf" does at `text` (leading white space
// skipped) and returns the position after it, or nullptr when scanf's
// conversion would fail there (no number, or the end of the text).  `text` is
// NUL-terminated; `*value` is left alone on failure.
const char *scan_double(const char *text, double *value);

// How many numbers format_g and scan_double have handed to the C library so
// far: the measure of the fast paths, for tests and benchmarks.
long numfmt_library_calls();

// White space as scanf skips it in the C locale.
inline bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
