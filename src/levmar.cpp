// Levenberg-Marquardt through dlevmar_dif, with held parameters left out of
// the solver.
#include <cmath>
#include <cstdlib>
#include <memory>

#include "levmar.h"
#include "methods.h"

namespace {

// What the model callback needs, passed through dlevmar_dif's adata.
struct Callback {
  const FitProblem *problem;
  bool undefined;  // a step reached parameters where the model is not defined
};

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

// Says what the reason means for the run: a note, or the failure.
void report_reason(int reason, MethodOutput &out) {
  switch (reason) {
    case 1: out.note("levmar: stopped by small gradient J^T"); break;
    case 2: out.note("levmar: stopped by small Dp"); break;
    case 3: out.fail("levmar: Stopped by iteration maximum"); break;
    case 4: out.fail("levmar: singular matrix."); break;
    case 5: out.fail("levmar: no further error reduction is possible"); break;
    // The data are fitted as well as numbers allow: the best ending, not an error.
    case 6: out.note("levmar: Stopped by small ||e||_2"); break;
    case 7: out.fail("levmar: Stopped by invalid (NaN or Inf) value"); break;
    default:
      if (reason > 2)
        out.fail("levmar: Error unknown");
      else
        out.note("levmar: Error unknown");
      break;
  }
}

}  // namespace

void levmar_ending(int result, const double *info, MethodOutput &out) {
  const int reason = static_cast<int>(info[6]);
  // Recorded before the reason is reported, so that a failing reason still
  // leaves the solver's figures.
  out.terminate(reason == 1 || reason == 2, reason, reason_text(reason));
  out.termination.returned = result;
  for (int i = 0; i < 9; ++i) out.termination.info.emplace_back(kInfoNames[i], info[i]);
  if (result == 0 || reason > 2) report_reason(reason, out);
  if (!out.failed) out.iterations = static_cast<int>(info[5]);
}

// Model callback for dlevmar_dif: hx[i] = model at point i, with the held
// parameters taken from the start values and the m free ones from p, divided
// by the point's sigma when the points have them (the solver then measures
// y / sigma - f / sigma).  Where the model is not defined it has no way to
// stop the solver: it records it and gives NaN, which ends the solve at once
// (reason 7).
void do_function(double *p, double *hx, int /*m*/, int n, void *adata) {
  Callback &call = *static_cast<Callback *>(adata);
  const FitProblem &problem = *call.problem;
  double full[kMaxParms];
  expand_free(problem.numParms, problem.hold, problem.start, p, full);
  to_model(problem.bounds, problem.numParms, full);
  if (!call.undefined && model_values(problem.id, problem.formula, problem.points, full, hx)) {
    if (const double *sigma = problem.points.sigma)
      for (int i = 0; i < n; ++i) hx[i] /= sigma[i];
    return;
  }
  call.undefined = true;
  for (int i = 0; i < n; ++i) hx[i] = NAN;
}

void levmar_fit(const FitProblem &problem, double *slots, MethodOutput &out) {
  double opts[5] = {1E-03, 1E-15, 1E-15, 1E-20, 1E-06};
  double info[LM_INFO_SZ];
  const int n = problem.points.n;
  const FreeSlots &freeSlots = problem.free;
  const int m = freeSlots.count;
  double p[kMaxParms];
  gather_free(freeSlots, slots, p);

  const size_t workSize = LM_DIF_WORKSZ(size_t(m), size_t(n));
  const double *sigma = problem.points.sigma;
  // Zeroed: a library that cannot decompose J^T J leaves the covariance
  // unwritten, and zeros make it read as singular below.  Room after it for
  // the weighted measurements.
  const std::unique_ptr<double, void (*)(void *)> block(
      static_cast<double *>(std::calloc(workSize + size_t(m) * m + (sigma ? size_t(n) : 0),
                                        sizeof(double))),
      std::free);
  if (block == nullptr) return out.fail("levmar: Not able to allocate memory");
  double *covar = block.get() + workSize;

  Callback call = {&problem, false};
  // dlevmar_dif only reads the measurements.
  double *y = const_cast<double *>(problem.points.y);
  if (sigma != nullptr) {
    y = covar + size_t(m) * m;
    for (int i = 0; i < n; ++i) y[i] = problem.points.y[i] / sigma[i];
  }
  const int result = dlevmar_dif(do_function, p, y, m, n, problem.maxIterations, opts, info,
                                 block.get(), covar, &call);
  if (call.undefined) return out.fail(kXy2ExcludedText);
  levmar_ending(result, info, out);
  if (out.failed) return;
  const int reason = static_cast<int>(info[6]);

  scatter_free(freeSlots, p, slots);
  // The solver scales the covariance by chi-square / (n - m); absolute sigmas
  // take it as the inverse of J^T J itself.
  if (problem.absoluteSigma && info[1] > 0.0 && n > m)
    for (int k = 0; k < m * m; ++k) covar[k] *= (n - m) / info[1];
  for (int j = 0; j < m; ++j) out.sd[j] = std::sqrt(covar[j * m + j]);
  double covarSum = 0.0;
  // A free parameter whose variance is exactly 0.0 is one the data do not
  // determine (its derivative vanished), unless the fit is exact.
  bool zeroVariance = false;
  for (int r = 0; r < m; ++r) {
    if (covar[r * m + r] == 0.0) zeroVariance = true;
    for (int c = 0; c < m; ++c) {
      covarSum += covar[r * m + c];
      out.covariance[r * m + c] = covar[r * m + c];
    }
  }
  out.hasSummary = true;
  // After an exact fit (reason 6) a zero covariance is the truth.
  if (reason != 6 && (covarSum == 0.0 || zeroVariance))
    out.fail("levmar: singular matrix, cannot compute covariance matrix");
}
