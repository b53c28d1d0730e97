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

// The result of a binary instruction on a (left) and b (right).
template <typename Real, typename B>
[[gnu::always_inline]] inline Real binary(int code, const Real &a, const B &b) {
  using std::pow;
  switch (code) {
    case kFormulaAdd: return a + b;
    case kFormulaSub: return a - b;
    case kFormulaMul: return a * b;
    case kFormulaDiv: return a / b;
    default: return pow(a, b);
  }
}

template <typename Real>
[[gnu::always_inline]] inline Real unary(int code, const Real &a) {
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

inline bool is_binary(int code) { return code >= kFormulaAdd && code <= kFormulaPow; }

}  // namespace formula_eval

// The formula's value at (x, x2) with the parameters p, on any number type.
template <typename Real>
Real formula_value(const TavfitFormulaOp *code, int count, double x, double x2, const Real *p) {
  using namespace formula_eval;
  using std::pow;
  Real s[kFormulaStack];
  int t = -1;
  for (int i = 0; i < count; ++i) {
    const TavfitFormulaOp &op = code[i];
    const int c = op.code;
    if (c == kFormulaLeaf) {
      ++t;
      switch (op.operand) {
        case kOperandConstant: s[t] = Real(op.value); break;
        case kOperandX: s[t] = Real(x); break;
        case kOperandX2: s[t] = Real(x2); break;
        default: s[t] = p[op.operand - kOperandParameter]; break;
      }
    } else if (is_binary(c)) {
      switch (op.operand) {
        case kOperandStack: s[t - 1] = binary(c, s[t - 1], s[t]); --t; break;
        case kOperandConstant: s[t] = binary(c, s[t], op.value); break;
        case kOperandX: s[t] = binary(c, s[t], x); break;
        case kOperandX2: s[t] = binary(c, s[t], x2); break;
        default: s[t] = binary(c, s[t], p[op.operand - kOperandParameter]); break;
      }
    } else if (c == kFormulaConstPow) {
      s[t] = pow(op.value, s[t]);
    } else if (c < kFormulaMin) {
      s[t] = unary(c, s[t]);
    } else if (c == kFormulaMin) {
      s[t - 1] = pick_min(s[t - 1], s[t]);
      --t;
    } else if (c == kFormulaMax) {
      s[t - 1] = pick_max(s[t - 1], s[t]);
      --t;
    } else if (c == kFormulaIf) {
      s[t - 2] = scalar(s[t - 2]) != 0.0 ? s[t - 1] : s[t];
      t -= 2;
    } else {
      s[t - 1] = Real(compare(c, scalar(s[t - 1]), scalar(s[t])) ? 1.0 : 0.0);
      --t;
    }
  }
  return s[0];
}

template <typename Real>
inline Real formula_value(const tavfit::Formula &f, double x, double x2, const Real *p) {
  return formula_value(f.code.data(), static_cast<int>(f.code.size()), x, x2, p);
}

// The formula's values at n <= kFormulaBlock points x, x2 into out, with
// the parameters p: each instruction over the whole block.
inline void formula_block(const tavfit::Formula &f, const double *x, const double *x2, int n,
                          const double *p, double *out) {
  using namespace formula_eval;
  double s[kFormulaStack][kFormulaBlock];
  int t = -1;
  for (const TavfitFormulaOp &op : f.code) {
    const int c = op.code;
    if (c == kFormulaLeaf) {
      double *d = s[++t];
      switch (op.operand) {
        case kOperandConstant: std::fill(d, d + n, op.value); break;
        case kOperandX: std::copy(x, x + n, d); break;
        case kOperandX2: std::copy(x2, x2 + n, d); break;
        default: std::fill(d, d + n, p[op.operand - kOperandParameter]); break;
      }
    } else if (is_binary(c)) {
      if (op.operand == kOperandStack) {
        double *a = s[t - 1];
        const double *b = s[t];
        --t;
        switch (c) {
          case kFormulaAdd: for (int k = 0; k < n; ++k) a[k] = a[k] + b[k]; break;
          case kFormulaSub: for (int k = 0; k < n; ++k) a[k] = a[k] - b[k]; break;
          case kFormulaMul: for (int k = 0; k < n; ++k) a[k] = a[k] * b[k]; break;
          case kFormulaDiv: for (int k = 0; k < n; ++k) a[k] = a[k] / b[k]; break;
          default: for (int k = 0; k < n; ++k) a[k] = std::pow(a[k], b[k]); break;
        }
      } else if (op.operand == kOperandX || op.operand == kOperandX2) {
        double *a = s[t];
        const double *b = op.operand == kOperandX ? x : x2;
        switch (c) {
          case kFormulaAdd: for (int k = 0; k < n; ++k) a[k] = a[k] + b[k]; break;
          case kFormulaSub: for (int k = 0; k < n; ++k) a[k] = a[k] - b[k]; break;
          case kFormulaMul: for (int k = 0; k < n; ++k) a[k] = a[k] * b[k]; break;
          case kFormulaDiv: for (int k = 0; k < n; ++k) a[k] = a[k] / b[k]; break;
          default: for (int k = 0; k < n; ++k) a[k] = std::pow(a[k], b[k]); break;
        }
      } else {
        double *a = s[t];
        const double b = op.operand == kOperandConstant
                             ? op.value
                             : p[op.operand - kOperandParameter];
        switch (c) {
          case kFormulaAdd: for (int k = 0; k < n; ++k) a[k] = a[k] + b; break;
          case kFormulaSub: for (int k = 0; k < n; ++k) a[k] = a[k] - b; break;
          case kFormulaMul: for (int k = 0; k < n; ++k) a[k] = a[k] * b; break;
          case kFormulaDiv: for (int k = 0; k < n; ++k) a[k] = a[k] / b; break;
          default: for (int k = 0; k < n; ++k) a[k] = std::pow(a[k], b); break;
        }
      }
    } else if (c == kFormulaConstPow) {
      double *a = s[t];
      for (int k = 0; k < n; ++k) a[k] = std::pow(op.value, a[k]);
    } else if (c == kFormulaNeg) {
      double *a = s[t];
      for (int k = 0; k < n; ++k) a[k] = -a[k];
    } else if (c == kFormulaExp) {
      double *a = s[t];
      for (int k = 0; k < n; ++k) a[k] = std::exp(a[k]);
    } else if (c < kFormulaMin) {
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
