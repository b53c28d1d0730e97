// The engines of a global fit: TAVRIN's damped Gauss-Newton on the block
// normal equations, Levenberg-Marquardt's dlevmar_dif on all unknowns at
// once, and Ceres' Schur solver in the module.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "ceres_fit.h"
#include "global.h"
#include "levmar.h"

namespace tavfit {
namespace global {
namespace {

// ---- Tavrin: the damped Gauss-Newton of the single fits, on the blocks.

constexpr double kStepFactor = 0.1;
constexpr double kConvergence = 1e-5;
constexpr double kNearZeroRmse = 1e-8;

// The normal equations at theta by forward differences, each free parameter
// stepped by v * 0.02 + 1e-9 as a single fit steps it, and the sum of
// squares.  False where the model is not defined.
bool tavrin_pass(const Global &g, const double *theta, Normal &normal, double *sse) {
  const Layout &L = g.L;
  normal.clear();
  double sum = 0.0;
  for (int c = 0; c < L.C; ++c) {
    const Points &points = g.curves[c].points;
    double q[kMaxParms], model[kMaxParms], stepped[kMaxParms], step[kMaxParms], d[kMaxParms];
    g.internal(c, theta, q);
    std::copy(q, q + L.P, model);
    to_model(g.bounds(), L.P, model);
    if (!model_defined(g.id, model)) return false;
    for (int j = 0; j < L.free.count; ++j) {
      const int k = L.free.slot[j];
      const double up = q[k] * 1.02 + 1e-9;
      stepped[j] = g.bounded ? g.box.value(k, up) : up;
      step[j] = q[k] * 0.02 + 1e-9;
      const double at = model[k];
      model[k] = stepped[j];
      const bool defined = model_defined(g.id, model);
      model[k] = at;
      if (!defined) return false;
    }
    for (int i = 0; i < points.n; ++i) {
      const double x = points.x[i], x2 = points.x2[i];
      const double f0 = problem_value(g.curves[c], x, x2, model);
      const double r = points.residual(i, f0);
      sum += r * r;
      for (int j = 0; j < L.free.count; ++j) {
        const int k = L.free.slot[j];
        const double at = model[k];
        model[k] = stepped[j];
        const double f1 = problem_value(g.curves[c], x, x2, model);
        model[k] = at;
        d[j] = points.weighted(i, (f1 - f0) / step[j]);
      }
      normal.add(c, d, r);
    }
  }
  *sse = sum;
  return true;
}

}  // namespace

void tavrin_global(const Global &g, double *theta, MethodOutput &out) {
  const size_t M = g.L.size();
  Normal normal(g.L);
  std::vector<double> delta(M);
  double sum = 0.0;
  if (!tavrin_pass(g, theta, normal, &sum)) return out.fail(kXy2ExcludedText);
  const double startRmse = std::sqrt(sum / g.n);
  double rmse = startRmse, s0 = 0.0, s1 = 0.0;
  bool nearZero = false;
  int iterations = 0;
  for (;;) {
    const double previousRmse = rmse;
    if (s0 != 0.0) {  // the first pass only linearises
      s1 = s0;
      const int singular = normal.factor();
      if (singular >= 0) {
        out.fail("Not possible to determine new parameters during convergence: " +
                 singular_text(g, singular));
        break;
      }
      normal.step(delta.data());
      for (size_t i = 0; i < M; ++i) theta[i] += kStepFactor * delta[i];
    }
    if (!tavrin_pass(g, theta, normal, &sum)) {
      out.fail(kXy2ExcludedText);
      break;
    }
    s0 = std::sqrt(sum / static_cast<double>(g.n - static_cast<long long>(M)));
    rmse = std::sqrt(sum / g.n);
    nearZero = rmse < kNearZeroRmse;
    if (nearZero) {
      out.warn("RMSE approaching zero, stopping iterative process.");
      break;
    }
    if (rmse * 0.01 > previousRmse) {
      out.fail("Difficulty in convergence, try to improve on your starting parameters or hold "
               "more parameters constant");
      break;
    }
    if (!std::isfinite(sum)) {
      out.fail("The sum of squared residuals is not a finite number; check the data and the "
               "start values.");
      break;
    }
    if (std::fabs(s1 - s0) < kConvergence * s0) break;
    if (iterations >= g.maxIterations) {
      out.terminate(false, 3, "iteration limit reached without convergence");
      out.fail(with_int("Maximum iterations reached without convergence: ", g.maxIterations, "."));
      break;
    }
    ++iterations;
  }
  out.iterations = iterations;
  if (out.failed) return;
  if (nearZero)
    out.terminate(false, 2, "RMSE below 1e-8, stopped as exact data");
  else
    out.terminate(true, 1, "relative change of the residual standard error below 1e-5");
  if (!nearZero && rmse >= startRmse) out.fail("Solution after convergence is somehow worse.");
}

// ---- Levmar: dlevmar_dif on all unknowns at once.

namespace {

// The callback's state.  dlevmar_dif differences one unknown at a time, and
// an unknown of one curve moves that curve's values only: the values of the
// curves whose unknowns did not change since the last call are copied from
// it, so that a Jacobian costs about two evaluations of every point instead
// of one per unknown.
struct LevmarCall {
  const Global *g;
  std::vector<double> theta, values;
  bool have = false;
  bool undefined = false;
};

void global_function(double *p, double *hx, int m, int n, void *adata) {
  LevmarCall &call = *static_cast<LevmarCall *>(adata);
  const Global &g = *call.g;
  const Layout &L = g.L;
  if (!call.undefined) {
    bool sharedMoved = !call.have;
    for (int a = 0; a < L.s && !sharedMoved; ++a) sharedMoved = p[a] != call.theta[a];
    for (int c = 0; c < L.C && !call.undefined; ++c) {
      const size_t own = L.s + size_t(c) * L.u;
      bool moved = sharedMoved;
      for (int a = 0; a < L.u && !moved; ++a) moved = p[own + a] != call.theta[own + a];
      double *out = hx + g.offset[c];
      const Points &points = g.curves[c].points;
      if (!moved) {
        std::copy(&call.values[g.offset[c]], &call.values[g.offset[c]] + points.n, out);
        continue;
      }
      double model[kMaxParms];
      g.parameters(c, p, model);
      if (!model_values(g.id, g.formula, points, model, out)) {
        call.undefined = true;
        break;
      }
      if (points.sigma != nullptr)
        for (int i = 0; i < points.n; ++i) out[i] /= points.sigma[i];
    }
  }
  if (call.undefined) {
    std::fill(hx, hx + n, NAN);
    return;
  }
  call.theta.assign(p, p + m);
  call.values.assign(hx, hx + n);
  call.have = true;
}

}  // namespace

void levmar_global(const Global &g, double *theta, MethodOutput &out) {
  const int m = static_cast<int>(g.L.size()), n = g.n;
  if (m > kMaxLevmarGlobalParameters)
    return out.fail(with_int("levmar solves the normal equations of a global fit whole, for at most ",
                             kMaxLevmarGlobalParameters, " free parameters; ") +
                    with_int("this fit has ", m, ". -tavrin and -ceres solve them by blocks."));
  double opts[5] = {1E-03, 1E-15, 1E-15, 1E-20, 1E-06};
  double info[LM_INFO_SZ];
  std::vector<double> work(LM_DIF_WORKSZ(size_t(m), size_t(n)), 0.0);
  std::vector<double> y(n);
  for (int c = 0; c < g.L.C; ++c) {
    const Points &points = g.curves[c].points;
    for (int i = 0; i < points.n; ++i) y[g.offset[c] + i] = points.weighted(i, points.y[i]);
  }
  LevmarCall call = {&g, {}, {}, false, false};
  // No covariance from the solver: the exact one is made for every method.
  const int result = dlevmar_dif(global_function, theta, y.data(), m, n, g.maxIterations, opts,
                                 info, work.data(), nullptr, &call);
  if (call.undefined) return out.fail(kXy2ExcludedText);
  levmar_ending(result, info, out);
}

// ---- Ceres: its Schur solver, in the module.

void ceres_global(const Global &g, double *theta, MethodOutput &out) {
  std::vector<int> shared(g.L.P, 0), kind(g.L.P, 0);
  for (int j = 0; j < g.L.free.count; ++j) shared[g.L.free.slot[j]] = g.L.shared[j] ? 1 : 0;
  std::vector<double> x, y, x2, sigma;
  for (const FitProblem &fp : g.curves) {
    const Points &p = fp.points;
    x.insert(x.end(), p.x, p.x + p.n);
    y.insert(y.end(), p.y, p.y + p.n);
    x2.insert(x2.end(), p.x2, p.x2 + p.n);
    if (p.sigma != nullptr) sigma.insert(sigma.end(), p.sigma, p.sigma + p.n);
  }
  const CeresGlobalProblem in = {g.id,
                                 g.L.P,
                                 g.L.hold,
                                 shared.data(),
                                 g.L.C,
                                 g.offset.data(),
                                 g.slots.data(),
                                 x.data(),
                                 y.data(),
                                 x2.data(),
                                 sigma.empty() ? nullptr : sigma.data(),
                                 g.maxIterations < 0 ? 0 : g.maxIterations,
                                 g.bounded ? g.box.kind : nullptr,
                                 g.bounded ? g.box.lower : nullptr,
                                 g.bounded ? g.box.upper : nullptr,
                                 theta,
                                 g.formula ? g.formula->code.data() : nullptr,
                                 g.formula ? static_cast<int>(g.formula->code.size()) : 0};
  ceres_global_fit(in, out);
}


}  // namespace global
}  // namespace tavfit
