// The model evaluator fnf and the TAVRIN fitting engine.
#include "tavfit.h"

#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "models.h"
#include "params.h"

int fnf(int id, double *out, double x, double x2, const double *p) {
  if (!valid_fit_func(id)) fatal("Undefined Fit Function");
  if (id == kXy2 && xy2_excluded(p[1], p[3])) fatal(kXy2ExcludedText);
  *out = model_value(static_cast<FitFuncId>(id), x, x2, p);
  return 0;
}

// ---------------------------------------------------------------------------
// TAVRIN engine: Gauss-Newton with a fixed step of one tenth of the full
// correction.  Its working state is private to this file.

namespace {

int changeParmsNum;                  // m, the number of free parameters
double cVec[kMaxParms];              // J^T r
double mMat[kMaxParms][kMaxParms];   // J^T J
double zMat[kMaxParms][kMaxParms];   // inverse of J^T J
double s0;  // residual sum of squares while accumulating; then sqrt(S / (n - m))
double s1;  // s0 before the last update
bool nearZeroStop;  // the last pass found the RMSE below kNearZeroRmse

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

}  // namespace

TavrinState tavrin_state() {
  return TavrinState{changeParmsNum, cVec, mMat, zMat, s0, s1};
}

void tavrin_set_free_count(int m) { changeParmsNum = m; }

// The two passes over the points that take nearly all of a fit's time, made
// once per model: with the model fixed at compile time its formula is inlined
// into the loop (flatten), instead of a call and a dispatch over every model
// for each of the (free parameters + 2) evaluations per point.  The
// arithmetic, and so every result, is that of fnf.
namespace {

template <FitFuncId kId>
inline double model_at(double x, double x2, const double *p) {
  if (kId == kXy2 && xy2_excluded(p[1], p[3])) fatal(kXy2ExcludedText);
  return model_value(kId, x, x2, p);
}

template <FitFuncId kId>
[[gnu::flatten]] void values_at_points(const double *p, int n, double *out) {
  for (int k = 0; k < n; ++k) out[k] = model_at<kId>(xData[k], tData[k], p);
}

template <FitFuncId kId>
[[gnu::flatten]] double squared_residual_sum(const double *p) {
  double sum = 0;
  for (int k = 0; k < numData; ++k) {
    const double r = model_at<kId>(xData[k], tData[k], p) - yData[k];
    sum = sum + r * r;
  }
  return sum;
}

// Adds the normal equations of the free parameters at p to cVec and mMat and
// the squared residuals to s0; p is restored on return.
template <FitFuncId kId>
[[gnu::flatten]] void derivative_pass(double *p, const FreeSlots &freeSlots, int m) {
  double d[kMaxParms];
  for (int k = 0; k < numData; ++k) {
    const double x = xData[k];
    const double x2 = tData[k];
    const double f0 = model_at<kId>(x, x2, p);
    const double r = f0 - yData[k];
    s0 = s0 + r * r;
    for (int i = 0; i < m; ++i) {
      const int j = freeSlots.slot[i];
      const double v = p[j];
      p[j] = v * 1.02 + 1e-9;
      const double f1 = model_at<kId>(x, x2, p);
      p[j] = v;
      // The step is taken from v by formula, not as the difference of the
      // stored values, which may differ from it by rounding.
      d[i] = (f1 - f0) / (v * 0.02 + 1e-9);
      cVec[i] = cVec[i] + r * d[i];
      for (int l = 0; l <= i; ++l) {
        mMat[i][l] = mMat[i][l] + d[i] * d[l];
        mMat[l][i] = mMat[i][l];
      }
    }
  }
}

using ValuesAtPointsFn = void (*)(const double *, int, double *);
using SquaredResidualSumFn = double (*)(const double *);
using DerivativePassFn = void (*)(double *, const FreeSlots &, int);

template <std::size_t... kIds>
constexpr std::array<ValuesAtPointsFn, kFitFuncCount> values_at_points_table(
    std::index_sequence<kIds...>) {
  return {&values_at_points<static_cast<FitFuncId>(kIds)>...};
}

template <std::size_t... kIds>
constexpr std::array<SquaredResidualSumFn, kFitFuncCount> squared_residual_sums(
    std::index_sequence<kIds...>) {
  return {&squared_residual_sum<static_cast<FitFuncId>(kIds)>...};
}

template <std::size_t... kIds>
constexpr std::array<DerivativePassFn, kFitFuncCount> derivative_passes(
    std::index_sequence<kIds...>) {
  return {&derivative_pass<static_cast<FitFuncId>(kIds)>...};
}

constexpr std::array<ValuesAtPointsFn, kFitFuncCount> kValuesAtPoints =
    values_at_points_table(std::make_index_sequence<kFitFuncCount>());
constexpr std::array<SquaredResidualSumFn, kFitFuncCount> kSquaredResidualSums =
    squared_residual_sums(std::make_index_sequence<kFitFuncCount>());
constexpr std::array<DerivativePassFn, kFitFuncCount> kDerivativePasses =
    derivative_passes(std::make_index_sequence<kFitFuncCount>());

}  // namespace

void model_values(const double *p, int n, double *out) {
  if (!valid_fit_func(fitFunc)) fatal("Undefined Fit Function");
  kValuesAtPoints[fitFunc](p, n, out);
}

int calc_rmse(const double *p, double *result) {
  if (numData == kUnsetMarker) fatal("Do not have valid data to process yet.");
  for (int j = 0; j < numParms; ++j)
    if (p[j] == static_cast<double>(kUnsetMarker))
      fatal_fmt("Uninitialized parameter at position %d.", j);
  if (!valid_fit_func(fitFunc)) fatal("Undefined Fit Function");
  *result = std::sqrt(kSquaredResidualSums[fitFunc](p) / numData);
  return 0;
}

int calc_deriv(double *p) {
  if (!valid_fit_func(fitFunc)) fatal("Undefined Fit Function");
  const int m = changeParmsNum;
  for (int i = 0; i < m; ++i) {
    cVec[i] = 0;
    for (int l = 0; l < m; ++l) mMat[i][l] = 0;
  }
  kDerivativePasses[fitFunc](p, free_slots(numParms, holdConstFlag), m);
  return 0;
}

int set_new_parms(double *p) {
  const int m = changeParmsNum;
  if (m < 1) return 0;
  std::memcpy(zMat, kIdentity.row, sizeof zMat);

  // Gauss-Jordan without pivoting: the diagonal, in order.
  for (int q = 0; q < m; ++q) {
    const double a = mMat[q][q];
    if (a == 0.0) fatal("Not possible to determine new parameters during convergence.");
    for (int c = 0; c < m; ++c) {
      mMat[q][c] = mMat[q][c] / a;
      zMat[q][c] = zMat[q][c] / a;
    }
    for (int r = 0; r < m; ++r) {
      if (r == q) continue;
      const double t = mMat[r][q];
      for (int c = 0; c < m; ++c) {
        mMat[r][c] = mMat[r][c] - t * mMat[q][c];
        zMat[r][c] = zMat[r][c] - t * zMat[q][c];
      }
    }
  }

  const FreeSlots freeSlots = free_slots(numParms, holdConstFlag);
  for (int i = 0; i < m; ++i) {
    double value = p[freeSlots.slot[i]];
    for (int c = 0; c < m; ++c) value = value + (cVec[c] * zMat[i][c]) * kStepFactor;
    p[freeSlots.slot[i]] = value;
  }
  return 0;
}

int one_iteration(double *p) {
  const double previousRmse = rmse;
  if (s0 != 0) {  // never in the first pass, which only linearises
    s1 = s0;
    s0 = 0;
    set_new_parms(p);
  }
  calc_deriv(p);
  const double sumOfSquares = s0;
  s0 = std::sqrt(s0 / (numData - changeParmsNum));
  calc_rmse(p, &rmse);
  // Exact data: stop rather than chase floating-point noise for the rest of
  // the iteration limit.
  nearZeroStop = rmse < kNearZeroRmse;
  if (nearZeroStop) show_msg(kWarning, "RMSE approaching zero, stopping iterative process.");
  if (rmse * 0.01 > previousRmse)
    fatal("Difficulty in convergence, try to improve on your starting parameters or hold more "
          "parameters constant");
  // NaN passes every test above and would spend the whole iteration limit.
  if (!std::isfinite(sumOfSquares))
    fatal("The sum of squared residuals is not a finite number; check the data and the start "
          "values.");
  return 0;
}

namespace {

[[noreturn]] void iteration_limit_reached() {
  set_termination(false, kTavrinIterationLimit, "iteration limit reached without convergence");
  fatal_fmt("Maximum iterations reached without convergence: %d.", maxIt);
}

}  // namespace

int do_iterations(double *p, double *stdDev) {
  calc_rmse(p, &rmse);
  const FreeSlots freeSlots = free_slots(numParms, holdConstFlag);
  changeParmsNum = freeSlots.count;
  if (changeParmsNum == 0) {
    set_termination(false, 0, "every parameter held, nothing to fit");
    return 0;
  }

  s0 = 0;
  s1 = 0;
  itCount = 0;
  nearZeroStop = false;
  const double startRmse = rmse;
  // At most maxIt updates.  The limit is tested before an update is counted,
  // not after, so that itCount never passes INT_MAX.
  if (itCount > maxIt) iteration_limit_reached();
  for (;;) {
    one_iteration(p);
    if (nearZeroStop) break;
    if (std::fabs(s1 - s0) < kConvergence * s0) break;
    if (itCount >= maxIt) iteration_limit_reached();
    itCount = itCount + 1;
  }
  if (nearZeroStop)
    set_termination(false, kTavrinNearZeroRmse, "RMSE below 1e-8, stopped as exact data");
  else
    set_termination(true, kTavrinRelativeChange,
                    "relative change of the residual standard error below 1e-5");
  if (!nearZeroStop && rmse >= startRmse)  // a NaN on either side passes
    fatal("Solution after convergence is somehow worse.");

  // zMat exists only once an update has been made.
  const bool haveInverse = itCount > 0;
  for (int j = 0; j < numParms; ++j) stdDev[j] = 0.0;
  for (int k = 0; k < freeSlots.count; ++k)
    stdDev[freeSlots.slot[k]] = haveInverse ? std::sqrt(std::fabs(zMat[k][k])) * s0 : 0.0;
  // The covariance the standard deviations above come from.
  const int m = changeParmsNum;
  for (int r = 0; r < m; ++r)
    for (int c = 0; c < m; ++c) fitCovar[r][c] = haveInverse ? zMat[r][c] * s0 * s0 : NAN;
  return 0;
}
