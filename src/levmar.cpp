// Fitting through dlevmar_dif, with held parameters left out of the solver.
#include "tavfit.h"

#include <cmath>
#include <cstdlib>
#include <memory>

#include "levmar.h"
#include "params.h"

namespace {

// Model values at the parameters now in fitParms, and their RMSE.
void set_fitted_values() {
  const int n = numData;
  model_values(fitParms, n, fxData);
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    const double r = fxData[i] - yData[i];
    sum += r * r;
  }
  rmse = std::sqrt(sum / n);
}

const char *reason_text(int reason) {
  switch (reason) {
    case 1: return "small gradient J^T e";
    case 2: return "small relative change of the parameters Dp";
    case 3: return "iteration limit reached";
    case 4: return "singular matrix";
    case 5: return "no further error reduction is possible";
    case 6: return "small residual norm ||e||_2";
    case 7: return "invalid (NaN or Inf) model value";
    default: return "unknown reason";
  }
}

// The info entries the summary prints, by name.
const char *const kInfoNames[9] = {
    "initial_sse",       "final_sse",           "max_gradient",
    "last_step_squared", "mu_over_max_jtj",     "iterations",
    "reason",            "function_evaluations", "jacobian_evaluations"};

// Recorded before the reason is reported, so that a fatal reason still leaves
// the solver's figures for a failure record.
void record_termination(int reason, const double *info) {
  set_termination(reason == 1 || reason == 2, reason, reason_text(reason));
  fitTermination.infoCount = 9;
  for (int i = 0; i < 9; ++i) {
    fitTermination.infoName[i] = kInfoNames[i];
    fitTermination.info[i] = info[i];
  }
}

void report_reason(int reason) {
  switch (reason) {
    case 1: show_msg(kNote, "levmar: stopped by small gradient J^T"); break;
    case 2: show_msg(kNote, "levmar: stopped by small Dp"); break;
    case 3: fatal("levmar: Stopped by iteration maximum"); break;
    case 4: fatal("levmar: singular matrix."); break;
    case 5: fatal("levmar: no further error reduction is possible"); break;
    // The data are fitted as well as numbers allow: the best ending, not an error.
    case 6: show_msg(kNote, "levmar: Stopped by small ||e||_2"); break;
    case 7: fatal("levmar: Stopped by invalid (NaN or Inf) value"); break;
    default:
      if (reason > 2) fatal("levmar: Error unknown");
      show_msg(kNote, "levmar: Error unknown");
      break;
  }
}

}  // namespace

void do_function(double *p, double *hx, int /*m*/, int n, void * /*adata*/) {
  double full[kMaxParms];
  expand_free(fitParmNum[fitFunc], holdConstFlag, fitParms, p, full);
  model_values(full, n, hx);
}

int do_levmar() {
  double opts[5] = {1E-03, 1E-15, 1E-15, 1E-20, 1E-06};
  double info[LM_INFO_SZ];
  const int n = numData;
  const int P = fitParmNum[fitFunc];

  const FreeSlots freeSlots = free_slots(P, holdConstFlag);
  const int m = freeSlots.count;
  double p[kMaxParms];
  gather_free(freeSlots, fitParms, p);

  if (m == 0) {
    // Nothing for the solver to do: report the given parameters as they stand.
    set_termination(false, 0, "every parameter held, nothing to fit");
    show_msg(kNote, "levmar: all parameters held constant, nothing to fit");
    for (int i = 0; i < P; ++i) fitStdDev[i] = 0.0;
    itCount = 0;
    set_fitted_values();
    return 0;
  }
  if (n < m) fatal("levmar: Fewer data points than free parameters");

  const size_t workSize = LM_DIF_WORKSZ(size_t(m), size_t(n));
  // Zeroed: a library that cannot decompose J^T J leaves the covariance
  // unwritten, and zeros make it read as singular below.
  const std::unique_ptr<double, void (*)(void *)> block(
      static_cast<double *>(std::calloc(workSize + size_t(m) * m, sizeof(double))), std::free);
  if (block == nullptr) fatal("levmar: Not able to allocate memory");
  double *covar = block.get() + workSize;

  const int result = dlevmar_dif(do_function, p, yData, m, n, maxIt, opts, info, block.get(),
                                 covar, nullptr);
  const int reason = static_cast<int>(info[6]);
  record_termination(reason, info);
  if (result == 0 || reason > 2) report_reason(reason);
  itCount = static_cast<int>(info[5]);

  scatter_free(freeSlots, p, fitParms);
  for (int i = 0; i < P; ++i) fitStdDev[i] = 0.0;
  for (int j = 0; j < m; ++j) fitStdDev[freeSlots.slot[j]] = std::sqrt(covar[j * m + j]);
  set_fitted_values();

  std::printf("\n");
  std::printf("Levenberg-Marquardt returned %d in %g iter, reason %g\n", result, info[5], info[6]);
  std::printf("Solution:\n   ");
  for (int j = 0; j < m; ++j) std::printf("%.7g ", p[j]);
  std::printf("\n");
  std::printf("Minimization info:\n   ");
  for (int i = 0; i < 9; ++i) std::printf("%g ", info[i]);
  std::printf("\n");
  std::printf("Covariance of the fit:\n   ");
  double covarSum = 0.0;
  // A free parameter whose variance is exactly 0.0 is one the data do not
  // determine (its derivative vanished), unless the fit is exact.
  bool zeroVariance = false;
  for (int r = 0; r < m; ++r) {
    if (covar[r * m + r] == 0.0) zeroVariance = true;
    for (int c = 0; c < m; ++c) {
      std::printf("%g ", covar[r * m + c]);
      covarSum += covar[r * m + c];
      fitCovar[r][c] = covar[r * m + c];
    }
    std::printf("\n   ");
  }
  std::printf("\n");

  // After an exact fit (reason 6) a zero covariance is the truth.
  if (reason != 6 && (covarSum == 0.0 || zeroVariance))
    fatal("levmar: singular matrix, cannot compute covariance matrix");
  return 0;
}
