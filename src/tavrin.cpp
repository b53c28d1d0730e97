// The TAVRIN engine.
#include "tavrin.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

// Gauss-Jordan turns it into the inverse of mMat.
constexpr struct Identity {
  double row[kMaxParms][kMaxParms];
  constexpr Identity() : row() {
    for (int q = 0; q < kMaxParms; ++q) row[q][q] = 1.0;
  }
} kIdentity;

constexpr double kStepFactor = -0.1;
constexpr double kConvergence = 1e-5;
constexpr double kNearZeroRmse = 1e-8;
// A start value equal to it counts as never set.
constexpr double kUnsetMarker = static_cast<double>(INT_MIN);

// The derivative pass, once per model with the formula inlined (flatten):
// it takes nearly all of a fit's time, (free parameters + 1) evaluations per
// point.  The forward step is v * 0.02 + 1e-9, taken from v by formula, not
// as the difference of the stored values, which may differ from it by
// rounding.  The model sees its parameters through the bounds: model holds
// them at p, stepped[i] free parameter i's at its forward step, and step[i]
// is that step.
template <FitFuncId kId>
bool derivative_loop(TavrinState &st, double *model, const double *stepped, const double *step,
                     const Points &points);

// model, stepped and step of a derivative pass (see above) at p.
void forward_steps(const FitProblem &problem, int m, const double *p, double *model,
                   double *stepped, double *step) {
  std::copy(p, p + problem.numParms, model);
  to_model(problem.bounds, problem.numParms, model);
  for (int i = 0; i < m; ++i) {
    const int j = problem.free.slot[i];
    const double up = p[j] * 1.02 + 1e-9;
    stepped[i] = problem.bounds == nullptr ? up : problem.bounds->value(j, up);
    step[i] = p[j] * 0.02 + 1e-9;
  }
}

template <FitFuncId kId>
[[gnu::flatten]] bool derivative_pass(TavrinState &st, double *p) {
  const FitProblem &problem = *st.problem;
  const Points &points = problem.points;
  const FreeSlots &freeSlots = problem.free;
  const int m = st.changeParmsNum;
  double model[kMaxParms], stepped[kMaxParms], step[kMaxParms];
  forward_steps(problem, m, p, model, stepped, step);
  // The model's domain depends on the parameters alone: each vector the pass
  // evaluates is tested once, before the points.
  if (kId == kXy2 && points.n > 0) {
    if (!model_defined(kId, model)) return false;
    for (int i = 0; i < m; ++i) {
      const int j = freeSlots.slot[i];
      const double v = model[j];
      model[j] = stepped[i];
      const bool defined = model_defined(kId, model);
      model[j] = v;
      if (!defined) return false;
    }
  }
  // Without sigmas the loop runs on a copy whose null sigma the compiler can
  // see, so that it carries no test of it.
  if (points.sigma == nullptr) {
    const Points plain = {points.x, points.y, points.x2, points.n};
    return derivative_loop<kId>(st, model, stepped, step, plain);
  }
  return derivative_loop<kId>(st, model, stepped, step, points);
}

template <FitFuncId kId>
[[gnu::always_inline]] inline bool derivative_loop(TavrinState &st, double *model,
                                                   const double *stepped, const double *step,
                                                   const Points &points) {
  const FreeSlots &freeSlots = st.problem->free;
  const int m = st.changeParmsNum;
  double d[kMaxParms];
  for (int k = 0; k < points.n; ++k) {
    const double x = points.x[k];
    const double x2 = points.x2[k];
    const double f0 = model_value(kId, x, x2, model);
    const double r = points.residual(k, f0);
    st.s0 = st.s0 + r * r;
    for (int i = 0; i < m; ++i) {
      const int j = freeSlots.slot[i];
      const double at = model[j];
      model[j] = stepped[i];
      const double f1 = model_value(kId, x, x2, model);
      model[j] = at;
      d[i] = points.weighted(k, (f1 - f0) / step[i]);
      st.cVec[i] = st.cVec[i] + r * d[i];
      for (int l = 0; l <= i; ++l) {
        st.mMat[i][l] = st.mMat[i][l] + d[i] * d[l];
        st.mMat[l][i] = st.mMat[i][l];
      }
    }
  }
  return true;
}

// The derivative pass of a typed formula: the same sums, in the same order,
// from the model values of a block of points at a time, at p and at each
// free parameter's forward step.
bool formula_derivative_pass(TavrinState &st, double *p) {
  const FitProblem &problem = *st.problem;
  const tavfit::Formula &formula = *problem.formula;
  const Points &points = problem.points;
  const FreeSlots &freeSlots = problem.free;
  const int m = st.changeParmsNum;
  double model[kMaxParms], stepped[kMaxParms], step[kMaxParms];
  forward_steps(problem, m, p, model, stepped, step);
  double f0[kFormulaBlock], f1[kMaxParms][kFormulaBlock], d[kMaxParms];
  for (int base = 0; base < points.n; base += kFormulaBlock) {
    const int n = std::min(kFormulaBlock, points.n - base);
    const double *x = points.x + base, *x2 = points.x2 + base;
    formula_block(formula, x, x2, n, model, f0);
    for (int i = 0; i < m; ++i) {
      const int j = freeSlots.slot[i];
      const double at = model[j];
      model[j] = stepped[i];
      formula_block(formula, x, x2, n, model, f1[i]);
      model[j] = at;
    }
    for (int b = 0; b < n; ++b) {
      const int k = base + b;
      const double r = points.residual(k, f0[b]);
      st.s0 = st.s0 + r * r;
      for (int i = 0; i < m; ++i) {
        d[i] = points.weighted(k, (f1[i][b] - f0[b]) / step[i]);
        st.cVec[i] = st.cVec[i] + r * d[i];
        for (int l = 0; l <= i; ++l) {
          st.mMat[i][l] = st.mMat[i][l] + d[i] * d[l];
          st.mMat[l][i] = st.mMat[i][l];
        }
      }
    }
  }
  return true;
}

using DerivativePassFn = bool (*)(TavrinState &, double *);

template <std::size_t... kIds>
constexpr std::array<DerivativePassFn, kFitFuncCount> derivative_passes(
    std::index_sequence<kIds...>) {
  return {&derivative_pass<static_cast<FitFuncId>(kIds)>...};
}

constexpr std::array<DerivativePassFn, kFitFuncCount> kDerivativePasses =
    derivative_passes(std::make_index_sequence<kFitFuncCount>());

bool undefined(TavrinState &st) {
  st.out->fail(kXy2ExcludedText);
  return false;
}

}  // namespace

TavrinState tavrin_state(const FitProblem &problem, MethodOutput &out) {
  TavrinState st;
  st.problem = &problem;
  st.out = &out;
  st.changeParmsNum = problem.free.count;
  return st;
}

bool calc_rmse(TavrinState &st, const double *p, double *result) {
  const FitProblem &problem = *st.problem;
  for (int j = 0; j < problem.numParms; ++j)
    if (p[j] == kUnsetMarker) {
      st.out->fail(with_int("Uninitialized parameter at position ", j, "."));
      return false;
    }
  double model[kMaxParms];
  std::copy(p, p + problem.numParms, model);
  to_model(problem.bounds, problem.numParms, model);
  double sum;
  if (!sum_of_squares(problem.id, problem.formula, problem.points, model, &sum))
    return undefined(st);
  *result = std::sqrt(sum / problem.points.n);
  return true;
}

bool calc_deriv(TavrinState &st, double *p) {
  const int m = st.changeParmsNum;
  for (int i = 0; i < m; ++i) {
    st.cVec[i] = 0;
    for (int l = 0; l < m; ++l) st.mMat[i][l] = 0;
  }
  if (st.problem->formula != nullptr) return formula_derivative_pass(st, p);
  return kDerivativePasses[st.problem->id](st, p) || undefined(st);
}

bool set_new_parms(TavrinState &st, double *p) {
  const int m = st.changeParmsNum;
  if (m < 1) return true;
  std::memcpy(st.zMat, kIdentity.row, sizeof st.zMat);

  // Gauss-Jordan without pivoting: the diagonal, in order.
  for (int q = 0; q < m; ++q) {
    const double a = st.mMat[q][q];
    if (a == 0.0) {
      st.out->fail("Not possible to determine new parameters during convergence.");
      return false;
    }
    for (int c = 0; c < m; ++c) {
      st.mMat[q][c] = st.mMat[q][c] / a;
      st.zMat[q][c] = st.zMat[q][c] / a;
    }
    for (int r = 0; r < m; ++r) {
      if (r == q) continue;
      const double t = st.mMat[r][q];
      for (int c = 0; c < m; ++c) {
        st.mMat[r][c] = st.mMat[r][c] - t * st.mMat[q][c];
        st.zMat[r][c] = st.zMat[r][c] - t * st.zMat[q][c];
      }
    }
  }

  const FreeSlots &freeSlots = st.problem->free;
  for (int i = 0; i < m; ++i) {
    double value = p[freeSlots.slot[i]];
    for (int c = 0; c < m; ++c) value = value + (st.cVec[c] * st.zMat[i][c]) * kStepFactor;
    p[freeSlots.slot[i]] = value;
  }
  return true;
}

bool one_iteration(TavrinState &st, double *p) {
  const double previousRmse = st.rmse;
  if (st.s0 != 0) {  // never in the first pass, which only linearises
    st.s1 = st.s0;
    st.s0 = 0;
    if (!set_new_parms(st, p)) return false;
  }
  if (!calc_deriv(st, p)) return false;
  const double sumOfSquares = st.s0;
  st.s0 = std::sqrt(st.s0 / (st.problem->points.n - st.changeParmsNum));
  if (!calc_rmse(st, p, &st.rmse)) return false;
  // Exact data: stop rather than chase floating-point noise for the rest of
  // the iteration limit.
  st.nearZeroStop = st.rmse < kNearZeroRmse;
  if (st.nearZeroStop) st.out->warn("RMSE approaching zero, stopping iterative process.");
  if (st.rmse * 0.01 > previousRmse) {
    st.out->fail("Difficulty in convergence, try to improve on your starting parameters or hold "
                 "more parameters constant");
    return false;
  }
  // NaN passes every test above and would spend the whole iteration limit.
  if (!std::isfinite(sumOfSquares)) {
    st.out->fail("The sum of squared residuals is not a finite number; check the data and the "
                 "start values.");
    return false;
  }
  return true;
}

bool tavrin_check_start(const FitProblem &problem, MethodOutput &out) {
  for (int j = 0; j < problem.numParms; ++j)
    if (problem.start[j] == kUnsetMarker) {
      out.fail(with_int("Uninitialized parameter at position ", j, "."));
      return false;
    }
  return true;
}

void tavrin_fit(const FitProblem &problem, double *p, MethodOutput &out) {
  TavrinState st = tavrin_state(problem, out);
  if (!calc_rmse(st, p, &st.rmse)) return;
  const double startRmse = st.rmse;
  auto iteration_limit_reached = [&] {
    out.terminate(false, 3, "iteration limit reached without convergence");
    out.fail(with_int("Maximum iterations reached without convergence: ", problem.maxIterations,
                      "."));
  };
  // At most maxIterations updates.  The limit is tested before an update is
  // counted, not after, so that itCount never passes INT_MAX.
  if (st.itCount > problem.maxIterations) return iteration_limit_reached();
  for (;;) {
    if (!one_iteration(st, p)) break;
    if (st.nearZeroStop) break;
    if (std::fabs(st.s1 - st.s0) < kConvergence * st.s0) break;
    if (st.itCount >= problem.maxIterations) {
      iteration_limit_reached();
      break;
    }
    st.itCount = st.itCount + 1;
  }
  out.iterations = st.itCount;
  if (out.failed) return;
  if (st.nearZeroStop)
    out.terminate(false, 2, "RMSE below 1e-8, stopped as exact data");
  else
    out.terminate(true, 1, "relative change of the residual standard error below 1e-5");
  if (!st.nearZeroStop && st.rmse >= startRmse) {  // a NaN on either side passes
    out.fail("Solution after convergence is somehow worse.");
    return;
  }

  // zMat exists only once an update has been made.
  const bool haveInverse = st.itCount > 0;
  const int m = st.changeParmsNum;
  // s0 is the standard deviation of unit weight; absolute sigmas fix it at 1.
  const double s0 = problem.absoluteSigma ? 1.0 : st.s0;
  for (int k = 0; k < m; ++k) out.sd[k] = haveInverse ? std::sqrt(std::fabs(st.zMat[k][k])) * s0 : 0.0;
  // The covariance the standard deviations above come from.
  for (int r = 0; r < m; ++r)
    for (int c = 0; c < m; ++c)
      out.covariance[r * m + c] = haveInverse ? st.zMat[r][c] * s0 * s0 : NAN;
}
