// Fitting through dlevmar_dif, with held parameters left out of the solver.
#include "tavfit.h"

#include <cmath>
#include <cstdlib>

#include "levmar.h"

namespace {

// The full parameter vector: held slots from fitParms, free ones from p.
void unpack_parms(const double *p, double *full) {
  const int P = fitParmNum[fitFunc];
  for (int i = 0, j = 0; i < P; ++i) full[i] = holdConstFlag[i] == 1 ? fitParms[i] : p[j++];
}

// Model values at the parameters now in fitParms, and their RMSE.
void set_fitted_values() {
  const int n = numData;
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    fnf(fitFunc, &fxData[i], xData[i], tData[i], fitParms);
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
    case 3: show_msg(kFatal, "levmar: Stopped by iteration maximum"); break;
    case 4: show_msg(kFatal, "levmar: singular matrix."); break;
    case 5: show_msg(kFatal, "levmar: no further error reduction is possible"); break;
    case 6: show_msg(kFatal, "levmar: Stopped by small ||e||_2"); break;
    case 7: show_msg(kFatal, "levmar: Stopped by invalid (NaN or Inf) value"); break;
    default: show_msg(reason < 3 ? kNote : kFatal, "levmar: Error unknown"); break;
  }
}

}  // namespace

void do_function(double *p, double *hx, int /*m*/, int n, void * /*adata*/) {
  double full[kMaxParms];
  unpack_parms(p, full);
  for (int i = 0; i < n; ++i) fnf(fitFunc, &hx[i], xData[i], tData[i], full);
}

int do_levmar() {
  double opts[5] = {1E-03, 1E-15, 1E-15, 1E-20, 1E-06};
  double info[LM_INFO_SZ];
  const int n = numData;
  const int P = fitParmNum[fitFunc];

  double p[kMaxParms];
  int m = 0;
  for (int i = 0; i < P; ++i)
    if (holdConstFlag[i] == 0) p[m++] = fitParms[i];

  if (m == 0) {
    // Nothing for the solver to do: report the given parameters as they stand.
    set_termination(false, 0, "every parameter held, nothing to fit");
    show_msg(kNote, "levmar: all parameters held constant, nothing to fit");
    for (int i = 0; i < P; ++i) fitStdDev[i] = 0.0;
    itCount = 0;
    set_fitted_values();
    return 0;
  }
  if (n < m) show_msg(kFatal, "levmar: Fewer data points than free parameters");

  const size_t workSize = LM_DIF_WORKSZ(size_t(m), size_t(n));
  double *block = static_cast<double *>(std::malloc((workSize + size_t(m) * m) * sizeof(double)));
  if (block == nullptr) show_msg(kFatal, "levmar: Not able to allocate memory");
  double *covar = block + workSize;
  // A failed decomposition leaves the covariance unwritten; zeros make it
  // read as singular below.
  for (int i = 0; i < m * m; ++i) covar[i] = 0.0;

  const int result = dlevmar_dif(do_function, p, yData, m, n, maxIt, opts, info, block, covar,
                                 nullptr);
  const int reason = static_cast<int>(info[6]);
  record_termination(reason, info);
  if (result == 0 || reason > 2) report_reason(reason);
  itCount = static_cast<int>(info[5]);

  for (int i = 0, j = 0; i < P; ++i) {
    if (holdConstFlag[i] == 1) {
      fitStdDev[i] = 0.0;
    } else {
      fitParms[i] = p[j];
      fitStdDev[i] = std::sqrt(covar[j * m + j]);
      ++j;
    }
  }
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
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < m; ++c) {
      std::printf("%g ", covar[r * m + c]);
      covarSum += covar[r * m + c];
      fitCovar[r][c] = covar[r * m + c];
    }
    std::printf("\n   ");
  }
  std::printf("\n");
  std::free(block);

  if (covarSum == 0.0) show_msg(kFatal, "levmar: singular matrix, cannot compute covariance matrix");
  return 0;
}
