// dlevmar_dif: convergence on exact and NIST problems, the stop reasons, the
// counters in info, the covariance and the work area.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "levmar.h"

namespace {

// y = f(p, t) over the abscissae t, counting its evaluations.
struct Model {
  std::function<double(const double *p, double t)> f;
  std::vector<double> t;
  int calls = 0;
};

void evaluate(double *p, double *hx, int, int n, void *adata) {
  Model &m = *static_cast<Model *>(adata);
  ++m.calls;
  for (int i = 0; i < n; ++i) hx[i] = m.f(p, m.t.empty() ? 0.0 : m.t[i]);
}

using V = std::vector<double>;
const V kProgramOpts = {1E-03, 1E-15, 1E-15, 1E-20, 1E-06};
const V kCentralOpts = {1E-03, 1E-15, 1E-15, 1E-20, -1E-06};
const V kDefaults;  // opts = NULL

struct Fit {
  int result;
  V p, covar;
  double info[LM_INFO_SZ];
  V path() const { return V(info + 5, info + 10); }  // k, reason, nfev, njap, nlss
};

// info and covar start out as -7 so that untouched entries show.
Fit fit(Model &model, V p, V x, int itmax = 1000, const V &opts = kProgramOpts,
        double *work = nullptr) {
  const int m = static_cast<int>(p.size());
  Fit r{0, p, V(m * m, -7.0), {}};
  std::fill(r.info, r.info + LM_INFO_SZ, -7.0);
  r.result = dlevmar_dif(evaluate, r.p.data(), x.data(), m, static_cast<int>(x.size()), itmax,
                         opts.empty() ? nullptr : const_cast<double *>(opts.data()), r.info,
                         work, r.covar.data(), &model);
  return r;
}

// NIST StRD Misra1a.
const V kMisraX = {77.6, 114.9, 141.1, 190.8, 239.9, 289.0, 332.8,
                   378.4, 434.8, 477.3, 536.8, 593.1, 689.1, 760.0};
const V kMisraY = {10.07, 14.73, 17.94, 23.93, 29.61, 35.18, 40.02,
                   44.82, 50.76, 55.05, 61.01, 66.40, 75.47, 81.78};
Model misra() {
  return {[](const double *p, double t) { return p[0] * (1 - std::exp(-p[1] * t)); }, kMisraX};
}

void expect_certified(const Fit &r, double sd_rel) {
  EXPECT_NEAR(r.p[0], 2.3894212918E+02, 1e-6 * 2.3894212918E+02);
  EXPECT_NEAR(r.p[1], 5.5015643181E-04, 1e-6 * 5.5015643181E-04);
  EXPECT_NEAR(std::sqrt(r.covar[0]), 2.7070075241E+00, sd_rel * 2.7070075241E+00);
  EXPECT_NEAR(std::sqrt(r.covar[3]), 7.2668688436E-06, sd_rel * 7.2668688436E-06);
  EXPECT_EQ(r.result, r.info[5]);
  EXPECT_EQ(r.info[6], 2);
}

TEST(LevmarNist, Misra1aForwardFromStart2) {
  for (const V *opts : {&kProgramOpts, &kDefaults}) {
    Model m = misra();
    const Fit r = fit(m, {250, 5e-4}, kMisraY, 1000, *opts);
    expect_certified(r, 1e-2);  // J^T J from a Broyden-updated Jacobian: ~0.2% off
    EXPECT_EQ(r.info[7], m.calls);
    if (opts == &kProgramOpts) {
      EXPECT_EQ(r.path(), (V{55, 2, 68, 6, 56}));
    }
  }
}

TEST(LevmarNist, Misra1aCentralFromBothStarts) {
  Model m1 = misra(), m2 = misra();
  const Fit r1 = fit(m1, {500, 1e-4}, kMisraY, 1000, kCentralOpts);
  expect_certified(r1, 1e-4);
  EXPECT_EQ(r1.path(), (V{88, 2, 129, 10, 89}));
  EXPECT_EQ(r1.info[7], m1.calls);
  expect_certified(fit(m2, {250, 5e-4}, kMisraY, 1000, kCentralOpts), 1e-4);
}

// Unscaled damping (mu I) keeps b1 frozen near 500 from start 1: the steps turn
// relatively tiny before mu has fallen far enough to free it.
TEST(LevmarNist, Misra1aForwardFromStart1StopsInTheValley) {
  Model m = misra();
  const Fit r = fit(m, {500, 1e-4}, kMisraY);
  EXPECT_EQ(r.info[6], 2);
  EXPECT_NEAR(r.p[0], 500, 1e-5);
  EXPECT_NEAR(r.info[1], 19.5159, 1e-3);
}

TEST(LevmarStops, IterationLimit) {
  // Start value, one Jacobian of m (forward) or 2m (central) evaluations, two trial steps.
  Model m1 = misra(), m2 = misra();
  EXPECT_EQ(fit(m1, {250, 5e-4}, kMisraY, 2).path(), (V{2, 3, 1 + 2 + 2, 1, 2}));
  EXPECT_EQ(fit(m2, {250, 5e-4}, kMisraY, 2, kCentralOpts).path(), (V{2, 3, 1 + 4 + 2, 1, 2}));

  // No iteration: p untouched and no J^T J formed, so a zero covariance
  // whatever the work area held.
  Model m3 = misra();
  V work(LM_DIF_WORKSZ(2, 14), 1.0);
  const Fit r = fit(m3, {250, 5e-4}, kMisraY, 0, kDefaults, work.data());
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.path(), (V{0, 3, 1, 0, 0}));
  EXPECT_EQ(r.p, (V{250, 5e-4}));
  EXPECT_EQ(r.covar, V(4, 0.0));
}

TEST(LevmarStops, StraightLineIsSolvedExactly) {
  Model line{[](const double *p, double t) { return p[0] * t + p[1]; }, {0, 1, 2, 3, 4, 5}};
  const V y = {1, 3, 5, 7, 9, 11};
  const Fit at_start = fit(line, {2, 1}, y);
  EXPECT_EQ(at_start.result, 0);
  EXPECT_EQ(at_start.path(), (V{0, 6, 1, 0, 0}));

  const Fit away = fit(line, {5, -3}, y);
  EXPECT_NEAR(away.p[0], 2, 1e-9);
  EXPECT_NEAR(away.p[1], 1, 1e-9);
  EXPECT_EQ(away.info[6], 6);
  EXPECT_GT(away.result, 0);
  EXPECT_EQ(away.result, away.info[5]);
}

TEST(LevmarStops, ZeroGradient) {
  Model constant{[](const double *, double) { return 3.0; }, {}};
  const Fit r = fit(constant, {1}, {2, 5, 4});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.path(), (V{0, 1, 2, 1, 0}));
  EXPECT_EQ(r.info[3], 0);
  // No unknowns at all: an empty gradient.
  EXPECT_EQ(fit(constant, {}, {2, 5, 4}).path(), (V{0, 1, 1, 1, 0}));
}

TEST(LevmarStops, HugeStepIsSingular) {
  Model identity{[](const double *p, double) { return p[0]; }, {}};
  const Fit r = fit(identity, {0}, {1e5}, 100, kDefaults);
  EXPECT_EQ(r.result, LM_ERROR);
  EXPECT_EQ(r.info[6], 4);
  EXPECT_EQ(r.p[0], 0);
}

// The difference quotient at the kink of |p| points downhill, every real step
// goes uphill: mu grows until nu overflows after 30 rejections.
TEST(LevmarStops, NoReductionPossible) {
  Model absolute{[](const double *p, double) { return std::fabs(p[0]); }, {}};
  const Fit r = fit(absolute, {0}, {-1}, 100, kDefaults);
  EXPECT_EQ(r.result, 29);
  EXPECT_EQ(r.path(), (V{29, 5, 32, 1, 30}));
  EXPECT_EQ(r.p[0], 0);
}

TEST(LevmarStops, SingularSystemIsNotSolved) {
  // tau = 0 leaves J^T J undamped, and p[1] has no effect.
  Model half_dead{[](const double *p, double t) { return p[0] * t; }, {1, 2, 3, 4, 5}};
  testing::internal::CaptureStderr();
  const Fit r = fit(half_dead, {1, 1}, {2, 4, 6, 8, 10}, 100, {0, 1e-17, 1e-17, 1e-17, 1e-6});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(r.path(), (V{29, 5, 3, 1, 30}));  // no trial step ever evaluated
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 30);
  EXPECT_NE(err.find("singular"), std::string::npos);
}

TEST(LevmarStops, NonFiniteValues) {
  Model capped{[](const double *p, double) { return p[0] < 10 ? p[0] : NAN; }, {}};
  const Fit at_start = fit(capped, {20}, {1}, 100, kDefaults);
  EXPECT_EQ(at_start.result, LM_ERROR);
  EXPECT_EQ(at_start.path(), (V{0, 7, 1, 0, 0}));
  EXPECT_EQ(fit(capped, {20}, {1}, 0, kDefaults).path(), (V{0, 3, 1, 0, 0}));

  const Fit later = fit(capped, {1}, {100}, 100, kDefaults);
  EXPECT_EQ(later.result, LM_ERROR);
  EXPECT_EQ(later.info[6], 7);
  EXPECT_EQ(later.p[0], 1);  // the last finite point
  EXPECT_EQ(later.info[1], 99.0 * 99.0);
}

TEST(LevmarStops, FewerMeasurementsThanUnknownsIsRefused) {
  Model line{[](const double *p, double t) { return p[0] * t + p[1]; }, {1}};
  testing::internal::CaptureStderr();
  const Fit r = fit(line, {1, 1}, {1});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "dlevmar_dif(): cannot solve a problem with fewer measurements [1] than "
            "unknowns [2]\n");
  EXPECT_EQ(r.result, LM_ERROR);
  EXPECT_EQ(line.calls, 0);
  EXPECT_EQ(std::count(r.info, r.info + LM_INFO_SZ, -7.0), LM_INFO_SZ);
  EXPECT_EQ(std::count(r.covar.begin(), r.covar.end(), -7.0), 4);
}

TEST(LevmarCovariance, LinearFitIsTextbook) {
  Model line{[](const double *p, double t) { return p[0] * t + p[1]; }, {}};
  V y;
  for (int i = 0; i < 10; ++i)
    line.t.push_back(i), y.push_back(2 * i + 1 + 0.1 * ((i * 7) % 5 - 2));
  const Fit r = fit(line, {5, -3}, y);
  // s^2 (X^T X)^-1 with X = [t 1], s^2 = RSS / (n - 2), in closed form.
  double st = 0, stt = 0, sy = 0, sty = 0, rss = 0;
  for (int i = 0; i < 10; ++i) st += i, stt += i * i, sy += y[i], sty += i * y[i];
  const double det = 10 * stt - st * st;
  const double a = (10 * sty - st * sy) / det, b = (stt * sy - st * sty) / det;
  for (int i = 0; i < 10; ++i) rss += std::pow(y[i] - a * i - b, 2);
  const double s2 = rss / 8;
  const double want[4] = {s2 * 10 / det, -s2 * st / det, -s2 * st / det, s2 * stt / det};
  EXPECT_NEAR(r.p[0], a, 1e-9);
  EXPECT_NEAR(r.p[1], b, 1e-9);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(r.covar[i], want[i], 1e-6 * std::fabs(want[i]));
}

TEST(LevmarCovariance, RankDeficientUsesPseudoInverse) {
  Model slope_sum{[](const double *p, double t) { return (p[0] + p[1]) * t; }, {1, 2, 3, 4, 5}};
  const V y = {2, 4.1, 6, 8.1, 10};
  const V c = fit(slope_sum, {1, 1}, y).covar;
  // Var(a + b) is the one-slope variance with s^2 = RSS / (n - rank), rank 1;
  // Var(a - b), the unidentifiable direction, is zero.
  double stt = 0, sty = 0, rss = 0;
  for (int i = 0; i < 5; ++i) stt += (i + 1) * (i + 1), sty += (i + 1) * y[i];
  for (int i = 0; i < 5; ++i) rss += std::pow(y[i] - sty / stt * (i + 1), 2);
  EXPECT_NEAR(c[0] + c[1] + c[2] + c[3], rss / 4 / stt, 1e-6 * rss / 4 / stt);
  EXPECT_NEAR(c[0] - c[1] - c[2] + c[3], 0, 1e-9 * c[0]);
}

TEST(LevmarNumerics, ResidualNormIsTheSumOfSquares) {
  Model constant{[](const double *, double) { return 3.0; }, {}};
  for (int n = 1; n <= 17; ++n) {  // every block/tail split of the unrolled sum
    V x;
    double want = 0;
    for (int i = 0; i < n; ++i) x.push_back(std::sqrt(i + 2.0)), want += (x[i] - 3) * (x[i] - 3);
    EXPECT_NEAR(fit(constant, {1}, x, 0).info[0], want, 1e-14 * want) << "n = " << n;
  }
}

// 150 copies of a 10-point problem: n*m = 4500 takes the BLAS path, the optimum
// must not move, and the covariance scales by (10 - 3) / (1500 - 3).
TEST(LevmarNumerics, LargeProblemMatchesSmall) {
  auto decay = [](const double *p, double t) { return p[0] * std::exp(-p[1] * t) + p[2]; };
  Model big{decay, {}}, small{decay, {}};
  V y;
  for (int i = 0; i < 1500; ++i) {
    big.t.push_back((i % 10) * 0.5);
    y.push_back(5 * std::exp(-0.7 * big.t.back()) + 1 + 0.01 * ((i % 10 * 7) % 5 - 2));
  }
  small.t.assign(big.t.begin(), big.t.begin() + 10);
  const Fit rb = fit(big, {3, 0.3, 0}, y);
  const Fit rs = fit(small, {3, 0.3, 0}, V(y.begin(), y.begin() + 10));
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(rb.p[j], rs.p[j], 1e-7 * std::fabs(rs.p[j]));
  for (int i = 0; i < 9; ++i)
    EXPECT_NEAR(rb.covar[i] * 1497 / 7, rs.covar[i], 1e-5 * std::fabs(rs.covar[i]));
}

TEST(LevmarInterface, CallerWorkAreaAndNullOutputs) {
  V work(LM_DIF_WORKSZ(2, 14) + 8, -7.0), p = {250, 5e-4}, x = kMisraY;
  Model m1 = misra(), m2 = misra();
  const int result = dlevmar_dif(evaluate, p.data(), x.data(), 2, 14, 1000, nullptr, nullptr,
                                 work.data(), nullptr, &m1);
  const Fit own = fit(m2, {250, 5e-4}, kMisraY, 1000, kDefaults);
  EXPECT_EQ(result, own.result);
  EXPECT_EQ(p, own.p);
  EXPECT_TRUE(std::all_of(work.end() - 8, work.end(), [](double v) { return v == -7.0; }));
}

}  // namespace
