// Models typed at run time: "A*exp(-(x/tau)^beta) + C".
//
// A formula is parsed once (formula.cpp) into a flat postfix program, which
// a small stack machine here evaluates on any number type the built-in
// model templates take: double for the finite-difference methods, the
// check's dual numbers and Ceres' Jets for exact derivatives.  No
// allocation, I/O or virtual call in the evaluation: the stack is a fixed
// array, and leaves that feed an operator directly (x, a parameter, a
// constant) are read in place instead of pushed.
//
// Doubles are evaluated a block of points at a time: each instruction runs
// over the block, so that the dispatch is paid once per block, not once per
// point.  Every point sees the same operations in the same order either
// way, so both give the same bits.
#pragma once

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>
#include <vector>

#include "formula_code.h"

// Values pending at once, and points per block of the double evaluator.
constexpr int kFormulaStack = 32;
constexpr int kFormulaBlock = 16;

namespace tavfit {

// A parsed formula.  Made by parse_formula; immutable afterwards, so one may
// be shared by any number of fits at once.
class Formula {
 public:
  std::string text;                     // as typed
  std::string shown;                    // as parsed: the grouping written out
  std::vector<std::string> parameters;  // in order of first appearance
  std::vector<int> parameterColumn;     // where each first appears in text
  bool usesX = false;
  bool usesX2 = false;
  std::vector<TavfitFormulaOp> code;
  // The same program for doubles: without the markers of the parts free of
  // parameters, which doubles compute on the stack anyway.
  std::vector<TavfitFormulaOp> plain;
  int depth = 0;  // largest number of values pending at once
};

// Why a formula was refused: the message and the column (0-based, in
// bytes) it points at.
struct FormulaFault {
  std::string message;
  int column = 0;
};

// Parses text.  True with *formula filled, or false with *fault.  A formula
// may have at most maxParameters parameters.
bool parse_formula(const std::string &text, int maxParameters, Formula *formula,
                   FormulaFault *fault);

}  // namespace tavfit

namespace formula_eval {

inline double scalar(double v) { return v; }
template <typename T>
inline double scalar(const T &v) {
  return v.a;  // the value part of a dual number or a Jet
}

template <typename Real>
inline Real pick_min(const Real &a, const Real &b) {
  return scalar(b) < scalar(a) ? b : a;
}
template <typename Real>
inline Real pick_max(const Real &a, const Real &b) {
  return scalar(b) > scalar(a) ? b : a;
}

// The binary instructions, a below and b on top (or read in place).
template <typename A, typename B>
inline auto add(const A &a, const B &b) { return a + b; }
template <typename A, typename B>
inline auto sub(const A &a, const B &b) { return a - b; }
template <typename A, typename B>
inline auto mul(const A &a, const B &b) { return a * b; }
template <typename A, typename B>
inline auto div(const A &a, const B &b) { return a / b; }
template <typename A, typename B>
inline auto power(const A &a, const B &b) {
  using std::pow;
  return pow(a, b);
}
template <typename A, typename B>
inline auto sub_from(const A &a, const B &b) { return b - a; }
template <typename A, typename B>
inline auto div_into(const A &a, const B &b) { return b / a; }
template <typename A, typename B>
inline auto power_of(const A &a, const B &b) {
  using std::pow;
  return pow(b, a);
}

inline bool compare(int code, double a, double b) {
  switch (code) {
    case kFormulaLess: return a < b;
    case kFormulaLessEqual: return a <= b;
    case kFormulaGreater: return a > b;
    case kFormulaGreaterEqual: return a >= b;
    case kFormulaEqual: return a == b;
    default: return a != b;
  }
}

// The instructions that take an operand: a below, b on top or read in place.
inline bool is_binary(int code) { return code >= kFormulaAdd && code <= kFormulaConstPow; }
inline bool is_unary(int code) { return code >= kFormulaNeg && code <= kFormulaErf; }

template <typename Real>
inline Real unary(int code, const Real &a) {
  using std::abs;
  using std::acos;
  using std::asin;
  using std::atan;
  using std::cos;
  using std::cosh;
  using std::erf;
  using std::exp;
  using std::log;
  using std::log10;
  using std::sin;
  using std::sinh;
  using std::sqrt;
  using std::tan;
  using std::tanh;
  switch (code) {
    case kFormulaNeg: return -a;
    case kFormulaExp: return exp(a);
    case kFormulaLog: return log(a);
    case kFormulaLog10: return log10(a);
    case kFormulaSqrt: return sqrt(a);
    case kFormulaAbs: return abs(a);
    case kFormulaSin: return sin(a);
    case kFormulaCos: return cos(a);
    case kFormulaTan: return tan(a);
    case kFormulaAsin: return asin(a);
    case kFormulaAcos: return acos(a);
    case kFormulaAtan: return atan(a);
    case kFormulaSinh: return sinh(a);
    case kFormulaCosh: return cosh(a);
    case kFormulaTanh: return tanh(a);
    default: return erf(a);
  }
}

// One dispatch per instruction: its code and where its operand comes from.
constexpr int kSources = kOperandParameter + 1;
constexpr int key(int code, int source) { return code * kSources + source; }

}  // namespace formula_eval

// With derivatives, a part free of parameters (kFormulaDouble) is computed
// in doubles on its own and taken as a double operand; in doubles it is
// computed on the stack, and its operand is the stack's top.
#define TAVFIT_FORMULA_BINARY(CODE, F)                                                   \
  case key(CODE, kOperandStack): top = Real(F(s[t], top)); --t; break;                 \
  case key(CODE, kOperandConstant): top = Real(F(top, op.value)); break;               \
  case key(CODE, kOperandX): top = Real(F(top, x)); break;                             \
  case key(CODE, kOperandX2): top = Real(F(top, x2)); break;                           \
  case key(CODE, kOperandPending):                                                     \
    if (kPlain) {                                                                      \
      top = Real(F(s[t], top));                                                        \
      --t;                                                                             \
    } else {                                                                           \
      top = Real(F(top, pending));                                                     \
    }                                                                                  \
    break;                                                                             \
  case key(CODE, kOperandParameter):                                                   \
    top = Real(F(top, p[op.operand - kOperandParameter]));                             \
    break;

// The formula's value at (x, x2) with the parameters p, on any number type.
// The value on top of the stack is kept apart from the array (in registers,
// for doubles), so that a chain of instructions that read their operands in
// place never goes through memory.
template <typename Real>
Real formula_value(const TavfitFormulaOp *code, int count, double x, double x2, const Real *p) {
  using namespace formula_eval;
  using std::exp;
  using std::pow;
  constexpr bool kPlain = std::is_same<Real, double>::value;
  Real s[kFormulaStack];
  Real top = Real(0.0);
  double pending = 0.0;
  int t = -1;  // the values below top: s[0..t]; s[0] holds top's start value
  for (int i = 0; i < count; ++i) {
    const TavfitFormulaOp &op = code[i];
    const int source = op.operand < kOperandParameter ? op.operand : kOperandParameter;
    switch (key(op.code, source)) {
      case key(kFormulaLeaf, kOperandConstant): s[++t] = top; top = Real(op.value); break;
      case key(kFormulaLeaf, kOperandX): s[++t] = top; top = Real(x); break;
      case key(kFormulaLeaf, kOperandX2): s[++t] = top; top = Real(x2); break;
      case key(kFormulaLeaf, kOperandPending):
        if (!kPlain) {
          s[++t] = top;
          top = Real(pending);
        }
        break;
      case key(kFormulaLeaf, kOperandParameter):
        s[++t] = top;
        top = p[op.operand - kOperandParameter];
        break;
      TAVFIT_FORMULA_BINARY(kFormulaAdd, add)
      TAVFIT_FORMULA_BINARY(kFormulaSub, sub)
      TAVFIT_FORMULA_BINARY(kFormulaMul, mul)
      TAVFIT_FORMULA_BINARY(kFormulaDiv, div)
      TAVFIT_FORMULA_BINARY(kFormulaPow, power)
      TAVFIT_FORMULA_BINARY(kFormulaSubFrom, sub_from)
      TAVFIT_FORMULA_BINARY(kFormulaDivInto, div_into)
      TAVFIT_FORMULA_BINARY(kFormulaConstPow, power_of)
      case key(kFormulaDouble, kOperandStack):
      case key(kFormulaDouble, kOperandConstant):
      case key(kFormulaDouble, kOperandX):
      case key(kFormulaDouble, kOperandX2):
      case key(kFormulaDouble, kOperandPending):
      case key(kFormulaDouble, kOperandParameter):
        if (!kPlain) {
          pending = formula_value<double>(code + i + 1, op.operand, x, x2, nullptr);
          i += op.operand;
        }
        break;
      case key(kFormulaNeg, kOperandStack): top = -top; break;
      case key(kFormulaExp, kOperandStack): top = exp(top); break;
      case key(kFormulaMin, kOperandStack): top = pick_min(s[t], top); --t; break;
      case key(kFormulaMax, kOperandStack): top = pick_max(s[t], top); --t; break;
      case key(kFormulaIf, kOperandStack):
        top = scalar(s[t - 1]) != 0.0 ? s[t] : top;
        t -= 2;
        break;
      default:
        if (is_unary(op.code)) {
          top = unary(op.code, top);
        } else {  // a comparison
          top = Real(compare(op.code, scalar(s[t]), scalar(top)) ? 1.0 : 0.0);
          --t;
        }
        break;
    }
  }
  return top;
}

#undef TAVFIT_FORMULA_BINARY

#if defined(__GNUC__)
// One point in doubles, from the program for doubles, as threaded code: each
// instruction jumps to the next one's handler itself (GNU C's labels as
// values), so that the processor predicts each jump from where it is made,
// not all of them from one place.  The same operations as formula_value.
inline double formula_plain_value(const TavfitFormulaOp *code, int count, double x, double x2,
                                  const double *p) {
  using namespace formula_eval;
#define TAVFIT_SOURCES(L) &&L##_s, &&L##_c, &&L##_x, &&L##_x2, &&L##_p
#define TAVFIT_STACK_ONLY(L) &&L, &&bad, &&bad, &&bad, &&bad
  static const void *const kHandlers[] = {
      &&bad, &&leaf_c, &&leaf_x, &&leaf_x2, &&leaf_p,
      TAVFIT_SOURCES(add), TAVFIT_SOURCES(sub), TAVFIT_SOURCES(mul), TAVFIT_SOURCES(div),
      TAVFIT_SOURCES(pow), TAVFIT_SOURCES(subfrom), TAVFIT_SOURCES(divinto),
      TAVFIT_SOURCES(constpow),
      TAVFIT_STACK_ONLY(neg), TAVFIT_STACK_ONLY(exp),
      // log log10 sqrt abs sin cos tan asin acos atan sinh cosh tanh erf
      TAVFIT_STACK_ONLY(other), TAVFIT_STACK_ONLY(other), TAVFIT_STACK_ONLY(other),
      TAVFIT_STACK_ONLY(other), TAVFIT_STACK_ONLY(other), TAVFIT_STACK_ONLY(other),
      TAVFIT_STACK_ONLY(other), TAVFIT_STACK_ONLY(other), TAVFIT_STACK_ONLY(other),
      TAVFIT_STACK_ONLY(other), TAVFIT_STACK_ONLY(other), TAVFIT_STACK_ONLY(other),
      TAVFIT_STACK_ONLY(other), TAVFIT_STACK_ONLY(other),
      TAVFIT_STACK_ONLY(min), TAVFIT_STACK_ONLY(max),
      TAVFIT_STACK_ONLY(cmp), TAVFIT_STACK_ONLY(cmp), TAVFIT_STACK_ONLY(cmp),
      TAVFIT_STACK_ONLY(cmp), TAVFIT_STACK_ONLY(cmp), TAVFIT_STACK_ONLY(cmp),
      TAVFIT_STACK_ONLY(iff), TAVFIT_STACK_ONLY(bad)};
#undef TAVFIT_SOURCES
#undef TAVFIT_STACK_ONLY
  static_assert(sizeof kHandlers / sizeof kHandlers[0] == kFormulaCodeCount * 5,
                "a row of handlers per instruction");
  double s[kFormulaStack];
  double top = 0.0;
  int t = -1;
  const TavfitFormulaOp *op = code;
  const TavfitFormulaOp *const end = code + count;
  // The program for doubles has no pending operand: 4 is a parameter.
#define TAVFIT_NEXT                                                                    \
  if (++op == end) return top;                                                         \
  goto *kHandlers[op->code * 5 + (op->operand < kOperandPending ? op->operand : 4)];
#define TAVFIT_HANDLERS(L, F)                                                          \
  L##_s : top = F(s[t], top);                                                          \
  --t;                                                                                 \
  TAVFIT_NEXT                                                                          \
  L##_c : top = F(top, op->value);                                                     \
  TAVFIT_NEXT                                                                          \
  L##_x : top = F(top, x);                                                             \
  TAVFIT_NEXT                                                                          \
  L##_x2 : top = F(top, x2);                                                           \
  TAVFIT_NEXT                                                                          \
  L##_p : top = F(top, p[op->operand - kOperandParameter]);                            \
  TAVFIT_NEXT
  if (count <= 0) return 0.0;
  --op;
  TAVFIT_NEXT
leaf_c:
  s[++t] = top;
  top = op->value;
  TAVFIT_NEXT
leaf_x:
  s[++t] = top;
  top = x;
  TAVFIT_NEXT
leaf_x2:
  s[++t] = top;
  top = x2;
  TAVFIT_NEXT
leaf_p:
  s[++t] = top;
  top = p[op->operand - kOperandParameter];
  TAVFIT_NEXT
  TAVFIT_HANDLERS(add, add)
  TAVFIT_HANDLERS(sub, sub)
  TAVFIT_HANDLERS(mul, mul)
  TAVFIT_HANDLERS(div, div)
  TAVFIT_HANDLERS(pow, power)
  TAVFIT_HANDLERS(subfrom, sub_from)
  TAVFIT_HANDLERS(divinto, div_into)
  TAVFIT_HANDLERS(constpow, power_of)
neg:
  top = -top;
  TAVFIT_NEXT
exp:
  top = std::exp(top);
  TAVFIT_NEXT
other:
  top = unary(op->code, top);
  TAVFIT_NEXT
min:
  top = pick_min(s[t], top);
  --t;
  TAVFIT_NEXT
max:
  top = pick_max(s[t], top);
  --t;
  TAVFIT_NEXT
cmp:
  top = compare(op->code, s[t], top) ? 1.0 : 0.0;
  --t;
  TAVFIT_NEXT
iff:
  top = s[t - 1] != 0.0 ? s[t] : top;
  t -= 2;
  TAVFIT_NEXT
bad:
  return NAN;
#undef TAVFIT_HANDLERS
#undef TAVFIT_NEXT
}
#endif

template <typename Real>
inline Real formula_value(const tavfit::Formula &f, double x, double x2, const Real *p) {
  return formula_value(f.code.data(), static_cast<int>(f.code.size()), x, x2, p);
}

// Doubles: the program for doubles.
inline double formula_value(const tavfit::Formula &f, double x, double x2, const double *p) {
#if defined(__GNUC__)
  return formula_plain_value(f.plain.data(), static_cast<int>(f.plain.size()), x, x2, p);
#else
  return formula_value(f.plain.data(), static_cast<int>(f.plain.size()), x, x2, p);
#endif
}

namespace formula_eval {

// a[k] = F(a[k], b(k)) over a block, b an array or one value.
template <typename F>
inline void over_block(double *a, const double *b, int n, F f) {
  for (int k = 0; k < n; ++k) a[k] = f(a[k], b[k]);
}
template <typename F>
inline void over_block(double *a, double b, int n, F f) {
  for (int k = 0; k < n; ++k) a[k] = f(a[k], b);
}

template <typename B>
inline void binary_block(int code, double *a, B b, int n) {
  switch (code) {
    case kFormulaAdd: over_block(a, b, n, [](double u, double v) { return u + v; }); break;
    case kFormulaSub: over_block(a, b, n, [](double u, double v) { return u - v; }); break;
    case kFormulaMul: over_block(a, b, n, [](double u, double v) { return u * v; }); break;
    case kFormulaDiv: over_block(a, b, n, [](double u, double v) { return u / v; }); break;
    case kFormulaPow: over_block(a, b, n, [](double u, double v) { return std::pow(u, v); }); break;
    case kFormulaSubFrom: over_block(a, b, n, [](double u, double v) { return v - u; }); break;
    case kFormulaDivInto: over_block(a, b, n, [](double u, double v) { return v / u; }); break;
    default: over_block(a, b, n, [](double u, double v) { return std::pow(v, u); }); break;
  }
}

}  // namespace formula_eval

// The formula's values at n <= kFormulaBlock points x, x2 into out, with
// the parameters p: each instruction over the whole block.
inline void formula_block(const tavfit::Formula &f, const double *x, const double *x2, int n,
                          const double *p, double *out) {
  using namespace formula_eval;
  double s[kFormulaStack][kFormulaBlock];
  int t = -1;
  for (const TavfitFormulaOp &op : f.plain) {
    const int c = op.code;
    if (c == kFormulaDouble) continue;  // its part is computed on the stack
    if (c == kFormulaLeaf) {
      if (op.operand == kOperandPending) continue;  // already there
      double *d = s[++t];
      switch (op.operand) {
        case kOperandConstant: std::fill(d, d + n, op.value); break;
        case kOperandX: std::copy(x, x + n, d); break;
        case kOperandX2: std::copy(x2, x2 + n, d); break;
        default: std::fill(d, d + n, p[op.operand - kOperandParameter]); break;
      }
    } else if (is_binary(c)) {
      switch (op.operand) {
        case kOperandStack:
        case kOperandPending:
          binary_block(c, s[t - 1], static_cast<const double *>(s[t]), n);
          --t;
          break;
        case kOperandConstant: binary_block(c, s[t], op.value, n); break;
        case kOperandX: binary_block(c, s[t], x, n); break;
        case kOperandX2: binary_block(c, s[t], x2, n); break;
        default: binary_block(c, s[t], p[op.operand - kOperandParameter], n); break;
      }
    } else if (c == kFormulaNeg) {
      double *a = s[t];
      for (int k = 0; k < n; ++k) a[k] = -a[k];
    } else if (c == kFormulaExp) {
      double *a = s[t];
      for (int k = 0; k < n; ++k) a[k] = std::exp(a[k]);
    } else if (is_unary(c)) {
      double *a = s[t];
      for (int k = 0; k < n; ++k) a[k] = unary(c, a[k]);
    } else if (c == kFormulaIf) {
      double *a = s[t - 2];
      for (int k = 0; k < n; ++k) a[k] = a[k] != 0.0 ? s[t - 1][k] : s[t][k];
      t -= 2;
    } else {
      double *a = s[t - 1];
      const double *b = s[t];
      --t;
      for (int k = 0; k < n; ++k)
        a[k] = c == kFormulaMin   ? pick_min(a[k], b[k])
               : c == kFormulaMax ? pick_max(a[k], b[k])
                                  : (compare(c, a[k], b[k]) ? 1.0 : 0.0);
    }
  }
  std::copy(s[0], s[0] + n, out);
}

// The formula's values at n points, a block at a time.
inline void formula_values(const tavfit::Formula &f, const double *x, const double *x2, int n,
                           const double *p, double *out) {
  for (int base = 0; base < n; base += kFormulaBlock)
    formula_block(f, x + base, x2 + base, std::min(kFormulaBlock, n - base), p, out + base);
}
