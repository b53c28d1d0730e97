// dlevmar_dif: convergence, the stop reasons, the covariance and the large-problem path.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "levmar.h"

// The sanitizer build's allocator must return NULL for the request no memory
// can hold, as malloc does, instead of ending the test.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using V = std::vector<double>;
using F = std::function<double(const double *p, double t)>;
struct Model { F f; V t; };  // empty abscissae t mean t = 0 throughout

void evaluate(double *p, double *hx, int, int n, void *adata) {
  const Model &m = *static_cast<Model *>(adata);
  for (int i = 0; i < n; ++i) hx[i] = m.f(p, m.t.empty() ? 0.0 : m.t[i]);
}

const V kProgramOpts = {1E-03, 1E-15, 1E-15, 1E-20, 1E-06};
const V kCentralOpts = {1E-03, 1E-15, 1E-15, 1E-20, -1E-06};
const F kLine = [](const double *p, double t) { return p[0] * t + p[1]; };
const Model kConstant{[](const double *, double) { return 3.0; }, {}};

struct Fit { int result; V p, covar, info; };

// Empty opts pass NULL; info and covar start out as -7 so that untouched entries show.
Fit fit(Model model, V p, V x, int itmax = 1000, V opts = kProgramOpts) {
  Fit r{0, p, V(p.size() * p.size(), -7.0), V(LM_INFO_SZ, -7.0)};
  r.result = dlevmar_dif(evaluate, r.p.data(), x.data(), int(p.size()), int(x.size()), itmax,
      opts.empty() ? nullptr : opts.data(), r.info.data(), nullptr, r.covar.data(), &model);
  return r;
}

// NIST StRD Misra1a.
const Model kMisra{[](const double *p, double t) { return p[0] * (1 - std::exp(-p[1] * t)); },
    {77.6, 114.9, 141.1, 190.8, 239.9, 289, 332.8, 378.4, 434.8, 477.3, 536.8, 593.1, 689.1, 760}};
const V kMisraY = {10.07, 14.73, 17.94, 23.93, 29.61, 35.18, 40.02,
                   44.82, 50.76, 55.05, 61.01, 66.40, 75.47, 81.78};

TEST(LevmarNist, Misra1aReachesCertifiedValues) {
  // Forward differences leave J^T J from a Broyden-updated Jacobian: sd ~0.2% off.
  const struct { V start, opts; double sd_tol; } runs[] = {{{250, 5e-4}, kProgramOpts, 1e-2},
      {{250, 5e-4}, kCentralOpts, 1e-4}, {{500, 1e-4}, kCentralOpts, 1e-4}};
  for (const auto &run : runs) {
    SCOPED_TRACE(::testing::Message() << run.start[0] << " delta " << run.opts[4]);
    const Fit r = fit(kMisra, run.start, kMisraY, 1000, run.opts);
    EXPECT_NEAR(r.p[0], 2.3894212918E+02, 1e-6 * 2.3894212918E+02);
    EXPECT_NEAR(r.p[1], 5.5015643181E-04, 1e-6 * 5.5015643181E-04);
    EXPECT_NEAR(std::sqrt(r.covar[0]), 2.7070075241E+00, run.sd_tol * 2.7070075241E+00);
    EXPECT_NEAR(std::sqrt(r.covar[3]), 7.2668688436E-06, run.sd_tol * 7.2668688436E-06);
  }
}

TEST(LevmarStops, EachReasonIsReportedWithItsResult) {
  const Model identity{[](const double *p, double) { return p[0]; }, {}};
  // The difference quotient at the kink points downhill, every real step goes uphill.
  const Model absolute{[](const double *p, double) { return std::fabs(p[0]); }, {}};
  const Model capped{[](const double *p, double) { return p[0] < 10 ? p[0] : NAN; }, {}};
  // k < 0: any iteration count; p_end: the expected final parameters, if checked.
  const struct { const char *what; Model model; V p, x; int itmax; V opts; int reason, k; V p_end; }
      cases[] = {
      {"zero gradient", kConstant, {1}, {2, 5, 4}, 100, {}, 1, 0, {1}},
      {"small step", kMisra, {250, 5e-4}, kMisraY, 1000, kProgramOpts, 2, -1, {}},
      {"iteration limit", kMisra, {250, 5e-4}, kMisraY, 2, kProgramOpts, 3, 2, {}},
      {"no iteration despite NaN", capped, {20}, {1}, 0, {}, 3, 0, {20}},
      {"huge step", identity, {0}, {1e5}, 100, {}, 4, 0, {0}},
      {"damping overflow", absolute, {0}, {-1}, 100, {}, 5, 29, {0}},
      {"exactly solvable", {kLine, {0, 1, 2}}, {5, -3}, {1, 3, 5}, 100, {}, 6, -1, {2, 1}},
      // A zero start value needs the step floor, central differences too.
      {"central from zero", {kLine, {0, 1, 2}}, {0, 0}, {1, 3, 5}, 100,
       {1E-03, 1E-17, 1E-17, 1E-17, -1E-06}, 6, -1, {}},
      // A tiny residual is no exact fit: eps3 is 1e-20 here.
      {"tiny residual", {kLine, {0, 1, 2}}, {5, -3}, {1, 3 + 1e-6, 5}, 100, kProgramOpts, 2, -1,
       {2, 1 + 1e-6 / 3}},
      {"NaN at start", capped, {20}, {1}, 100, {}, 7, 0, {20}},
      {"NaN after a step", capped, {1}, {100}, 100, {}, 7, 0, {1}}};  // the last finite point
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const Fit r = fit(c.model, c.p, c.x, c.itmax, c.opts);
    EXPECT_EQ(r.info[6], c.reason);
    EXPECT_EQ(r.info[5], c.k < 0 ? r.info[5] : c.k);
    EXPECT_EQ(r.result, c.reason == 4 || c.reason == 7 ? LM_ERROR : static_cast<int>(r.info[5]));
    for (size_t j = 0; j < c.p_end.size(); ++j) EXPECT_NEAR(r.p[j], c.p_end[j], 1e-9);
  }
}

// Start value, one Jacobian of m (forward) or 2m (central) evaluations, two trial steps.
// Only a negative delta asks for central differences; a zero one is a forward
// difference with the relative step alone.
TEST(LevmarStops, JacobianCostsMOrTwoMEvaluations) {
  EXPECT_EQ(fit(kMisra, {250, 5e-4}, kMisraY, 2).info[7], 1 + 2 + 2);
  EXPECT_EQ(fit(kMisra, {250, 5e-4}, kMisraY, 2, kCentralOpts).info[7], 1 + 4 + 2);
  const Fit zero = fit(kMisra, {250, 5e-4}, kMisraY, 2, {1E-03, 1E-15, 1E-15, 1E-20, 0.0});
  EXPECT_EQ(zero.info[7], 1 + 2 + 2);
}

// Refused problems: LM_ERROR, one line on standard error, info and covar untouched.
TEST(LevmarContract, RefusedProblemsLeaveTheOutputsAlone) {
  const struct { int m, n; const char *message; } rows[] = {
      {2, 1, "dlevmar_dif(): cannot solve a problem with fewer measurements [1] than unknowns [2]\n"},
      {-1, 3, "dlevmar_dif(): invalid number of unknowns [-1]\n"},
      // Its work area alone would be 2^49 bytes, beyond any address space.
      {1 << 16, 1 << 30, "dlevmar_dif(): memory allocation request failed\n"}};
  for (const auto &row : rows) {
    V p(2, 1.0), x(3, 1.0), info(LM_INFO_SZ, -7.0), covar(4, -7.0);
    Model line{kLine, {1, 2, 3}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(dlevmar_dif(evaluate, p.data(), x.data(), row.m, row.n, 100, nullptr, info.data(),
                          nullptr, covar.data(), &line), LM_ERROR);
    // The sanitizer build's allocator says it failed on a line of its own, "==pid==...".
    std::string err = testing::internal::GetCapturedStderr();
    for (size_t end; err.compare(0, 2, "==") == 0 && (end = err.find('\n')) != std::string::npos;)
      err.erase(0, end + 1);
    EXPECT_EQ(err, row.message);
    EXPECT_EQ(info, V(LM_INFO_SZ, -7.0));
    EXPECT_EQ(covar, V(4, -7.0));
    EXPECT_EQ(p, V(2, 1.0));
  }
}

// Every info entry of three runs: {||e||^2 start, end, max |J^T e|, ||Dp||^2, mu / max diag,
// iterations, reason, evaluations, Jacobians, linear systems}.
TEST(LevmarContract, InfoEntries) {
  // No step: the gradient of a constant model is zero, so mu is never set.
  EXPECT_EQ(fit(kConstant, {1}, {2, 5, 4}, 100, {}).info, V({6, 6, 0, 0, 0, 0, 1, 2, 1, 0}));
  // The mean of 1, 2, 3 from 0: 13 steps, each one solve, one fresh Jacobian after
  // the Broyden updates ran out (K = 10).
  const Fit mean = fit({[](const double *p, double) { return p[0]; }, {}}, {0}, {1, 2, 3});
  const V want = {14, 2, 2.219e-10, 8.648e-31, 79536.43, 13, 2, 16, 2, 14};
  for (int i = 0; i < LM_INFO_SZ; ++i) EXPECT_NEAR(mean.info[i], want[i], 1e-3 * want[i]) << i;
  // Stopped by the limit: two linear systems, one Jacobian.
  const Fit misra = fit(kMisra, {250, 5e-4}, kMisraY, 2);
  EXPECT_EQ(V(&misra.info[5], &misra.info[10]), V({2, 3, 5, 1, 2}));
}

// The caller's work area may hold anything: a run that stops before its first
// Jacobian still reports a zero covariance and damping.
TEST(LevmarContract, CallerWorkAreaNeedNotBeClean) {
  V p = {1, 2}, x = {1, 3, 5}, info(LM_INFO_SZ), covar(4, -7.0);
  V work(LM_DIF_WORKSZ(2, 3), 7.0);
  Model line{kLine, {0, 1, 2}};
  EXPECT_EQ(dlevmar_dif(evaluate, p.data(), x.data(), 2, 3, 0, nullptr, info.data(), work.data(),
                        covar.data(), &line), 0);
  EXPECT_EQ(covar, V(4, 0.0));
  EXPECT_EQ(info[4], 0.0);
  // Nothing to fit: the run ends at once with the start norm, also with the caller's work area.
  V none(LM_DIF_WORKSZ(0, 3), NAN);
  EXPECT_EQ(dlevmar_dif(evaluate, p.data(), x.data(), 0, 3, 100, nullptr, info.data(), none.data(),
                        nullptr, &line), 0);
  EXPECT_EQ(V(&info[0], &info[2]), V({2, 2}));
  EXPECT_EQ(info[6], 1);
}

// X = [t 1] gives (X^T X)^-1 = [[0.1, -0.2], [-0.2, 0.6]]; the noise is orthogonal to X,
// so the fit is y = 2t + 1 and s^2 = RSS / (n - 2) = 0.04 / 3.
TEST(LevmarCovariance, LinearFitIsTextbook) {
  const Fit r = fit({kLine, {0, 1, 2, 3, 4}}, {5, -3}, {1.1, 2.9, 5, 6.9, 9.1});
  const double s2 = 0.04 / 3, want[4] = {0.1 * s2, -0.2 * s2, -0.2 * s2, 0.6 * s2};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(r.covar[i], want[i], 1e-6 * std::fabs(want[i]));
}

// One parameter, the mean of 1, 2, 3: (J^T J)^-1 = 1/3 and s^2 = 2 / (3 - 1).
TEST(LevmarCovariance, OneParameterIsTheVarianceOfTheMean) {
  const Fit r = fit({[](const double *p, double) { return p[0]; }, {}}, {0}, {1, 2, 3});
  EXPECT_NEAR(r.covar[0], 1.0 / 3, 1e-9);
}

TEST(LevmarNumerics, ResidualNormIsTheSumOfSquares) {
  V x;
  double want = 0;
  for (int n = 1; n <= 17; ++n) {  // every block/tail split of the unrolled sum
    x.push_back(std::sqrt(n + 1.0)), want += (x.back() - 3) * (x.back() - 3);
    EXPECT_NEAR(fit(kConstant, {1}, x, 0).info[0], want, 1e-14 * want) << "n = " << n;
  }
}

// 150 copies of a 10-point problem: n*m = 4500 takes the BLAS path, the optimum
// must not move, and the covariance scales by (10 - 3) / (1500 - 3).
TEST(LevmarNumerics, LargeProblemMatchesSmall) {
  const F decay = [](const double *p, double t) { return p[0] * std::exp(-p[1] * t) + p[2]; };
  V t, y;
  for (int i = 0; i < 1500; ++i)
    t.push_back(i % 10 * 0.5), y.push_back(5 * std::exp(-0.7 * t[i]) + 1 + i * 7 % 5 / 100.0);
  const Fit rb = fit({decay, t}, {3, 0.3, 0}, y);
  const Fit rs = fit({decay, V(&t[0], &t[10])}, {3, 0.3, 0}, V(&y[0], &y[10]));
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(rb.p[j], rs.p[j], 1e-7 * std::fabs(rs.p[j]));
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(rb.covar[i] / rs.covar[i], 7.0 / 1497, 7e-5 / 1497);
}

}  // namespace
