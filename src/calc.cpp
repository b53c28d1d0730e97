// The model evaluator fnf and the TAVRIN fitting engine.
#include "tavfit.h"

#include <cmath>

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

constexpr double kStepFactor = -0.1;
constexpr double kConvergence = 1e-5;
constexpr double kNearZeroRmse = 1e-8;

}  // namespace

TavrinState tavrin_state() {
  return TavrinState{changeParmsNum, cVec, mMat, zMat, s0, s1};
}

void tavrin_set_free_count(int m) { changeParmsNum = m; }

int calc_rmse(const double *p, double *result) {
  if (numData == kUnsetMarker) fatal("Do not have valid data to process yet.");
  for (int j = 0; j < numParms; ++j)
    if (p[j] == static_cast<double>(kUnsetMarker))
      fatal_fmt("Uninitialized parameter at position %d.", j);
  double sum = 0;
  for (int k = 0; k < numData; ++k) {
    double value;
    fnf(fitFunc, &value, xData[k], tData[k], p);
    const double r = value - yData[k];
    sum = sum + r * r;
  }
  *result = std::sqrt(sum / numData);
  return 0;
}

int calc_deriv(double *p) {
  const int m = changeParmsNum;
  const FreeSlots freeSlots = free_slots(numParms, holdConstFlag);
  for (int i = 0; i < m; ++i) {
    cVec[i] = 0;
    for (int l = 0; l < m; ++l) mMat[i][l] = 0;
  }
  double d[kMaxParms];
  for (int k = 0; k < numData; ++k) {
    const double x = xData[k];
    const double x2 = tData[k];
    double f0;
    fnf(fitFunc, &f0, x, x2, p);
    const double r = f0 - yData[k];
    s0 = s0 + r * r;
    for (int i = 0; i < m; ++i) {
      const int j = freeSlots.slot[i];
      const double v = p[j];
      p[j] = v * 1.02 + 1e-9;
      double f1;
      fnf(fitFunc, &f1, x, x2, p);
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
  return 0;
}

int set_new_parms(double *p) {
  const int m = changeParmsNum;
  if (m < 1) return 0;
  for (int r = 0; r < m; ++r)
    for (int c = 0; c < m; ++c) zMat[r][c] = r == c ? 1.0 : 0.0;

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
  s0 = std::sqrt(s0 / (numData - changeParmsNum));
  calc_rmse(p, &rmse);
  // Exact data: stop rather than chase floating-point noise for the rest of
  // the iteration limit.
  nearZeroStop = rmse < kNearZeroRmse;
  if (nearZeroStop) show_msg(kWarning, "RMSE approaching zero, stopping iterative process.");
  if (rmse * 0.01 > previousRmse)
    fatal("Difficulty in convergence, try to improve on your starting parameters or hold more "
          "parameters constant");
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
