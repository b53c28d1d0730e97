// The passes over the points that every method and statistic runs, made
// once per model: with the model fixed at compile time its formula is inlined
// into the loop (flatten), instead of a call and a dispatch over every model
// for each point.
#include <algorithm>
#include <array>
#include <utility>

#include "problem.h"

namespace {

template <FitFuncId kId>
[[gnu::flatten]] bool values_at_points(const Points &points, const double *p, double *out) {
  // The model's domain depends on p alone: one test for the whole pass.
  if (points.n > 0 && !model_defined(kId, p)) return false;
  for (int k = 0; k < points.n; ++k) out[k] = model_value(kId, points.x[k], points.x2[k], p);
  return true;
}

template <FitFuncId kId>
[[gnu::always_inline]] inline double sum_loop(const Points &points, const double *p) {
  double sum = 0;
  for (int k = 0; k < points.n; ++k) {
    const double r = points.residual(k, model_value(kId, points.x[k], points.x2[k], p));
    sum = sum + r * r;
  }
  return sum;
}

template <FitFuncId kId>
[[gnu::flatten]] bool squared_residual_sum(const Points &points, const double *p, double *result) {
  if (points.n > 0 && !model_defined(kId, p)) return false;
  // Without sigmas the loop runs on a copy whose null sigma the compiler can
  // see, so that it carries no test of it.
  if (points.sigma == nullptr) {
    const Points plain = {points.x, points.y, points.x2, points.n};
    *result = sum_loop<kId>(plain, p);
  } else {
    *result = sum_loop<kId>(points, p);
  }
  return true;
}

using ValuesFn = bool (*)(const Points &, const double *, double *);

template <std::size_t... kIds>
constexpr std::array<ValuesFn, kFitFuncCount> values_table(std::index_sequence<kIds...>) {
  return {&values_at_points<static_cast<FitFuncId>(kIds)>...};
}

template <std::size_t... kIds>
constexpr std::array<ValuesFn, kFitFuncCount> sums_table(std::index_sequence<kIds...>) {
  return {&squared_residual_sum<static_cast<FitFuncId>(kIds)>...};
}

constexpr std::array<ValuesFn, kFitFuncCount> kValues =
    values_table(std::make_index_sequence<kFitFuncCount>());
constexpr std::array<ValuesFn, kFitFuncCount> kSums =
    sums_table(std::make_index_sequence<kFitFuncCount>());

// The sum of squares of a typed formula, in the order the built-in passes
// add it up.
double formula_sum(const tavfit::Formula &formula, const Points &points, const double *p) {
  double sum = 0;
  double f[kFormulaBlock];
  for (int base = 0; base < points.n; base += kFormulaBlock) {
    const int n = std::min(kFormulaBlock, points.n - base);
    formula_block(formula, points.x + base, points.x2 + base, n, p, f);
    for (int k = 0; k < n; ++k) {
      const double r = points.residual(base + k, f[k]);
      sum = sum + r * r;
    }
  }
  return sum;
}

}  // namespace

bool model_values(FitFuncId id, const tavfit::Formula *formula, const Points &points,
                  const double *p, double *out) {
  if (formula != nullptr) {
    formula_values(*formula, points.x, points.x2, points.n, p, out);
    return true;
  }
  return kValues[id](points, p, out);
}

bool sum_of_squares(FitFuncId id, const tavfit::Formula *formula, const Points &points,
                    const double *p, double *sum) {
  if (formula != nullptr) {
    *sum = formula_sum(*formula, points, p);
    return true;
  }
  return kSums[id](points, p, sum);
}
