// Weighted fits: every method minimises chi-square, and the standard
// deviations follow from relative or absolute sigmas as weighted least
// squares and lmfit define them.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tavfit/tavfit.h>

#include "support.h"

namespace {

using tavfit::Method;

const Method kMethods[] = {Method::Tavrin, Method::Levmar, Method::Ceres};

tavfit::Problem line_problem(bool absolute) {
  tavfit::Curve curve{{0.5, 1.0, 1.5, 2.0, 3.0, 4.0}, {2.9, 5.2, 6.8, 9.1, 12.8, 17.2}};
  curve.sigma = {0.2, 0.3, 0.2, 0.5, 0.4, 1.0};
  curve.absolute_sigma = absolute;
  return {*tavfit::find_model("LINE"), curve, {1, 1}};
}

// Straight-line weighted least squares in closed form: values, and the
// standard deviations for absolute sigmas (the inverse of the weighted
// normal matrix, unscaled).
TEST(Weights, StraightLineIsClosedFormWeightedLeastSquares) {
  const tavfit::Curve c = line_problem(true).curve;
  double S = 0, Sx = 0, Sy = 0, Sxx = 0, Sxy = 0;
  for (size_t i = 0; i < c.x.size(); ++i) {
    const double w = 1 / (c.sigma[i] * c.sigma[i]);
    S += w, Sx += w * c.x[i], Sy += w * c.y[i], Sxx += w * c.x[i] * c.x[i];
    Sxy += w * c.x[i] * c.y[i];
  }
  const double D = S * Sxx - Sx * Sx;
  const double slope = (S * Sxy - Sx * Sy) / D, intercept = (Sxx * Sy - Sx * Sxy) / D;
  const double sdSlope = std::sqrt(S / D), sdIntercept = std::sqrt(Sxx / D);
  double chi2 = 0;
  for (size_t i = 0; i < c.x.size(); ++i)
    chi2 += std::pow((slope * c.x[i] + intercept - c.y[i]) / c.sigma[i], 2);
  const double reduced = chi2 / 4;

  for (Method method : kMethods) {
    if (method == Method::Ceres && !TAVFIT_HAVE_CERES) continue;
    // TAVRIN stops at a relative change of 1e-5 in its step: its answer is
    // as near as the check lets an answer be.
    const double tol = method == Method::Tavrin ? 1e-3 : method == Method::Levmar ? 1e-7 : 1e-10;
    for (bool absolute : {false, true}) {
      const tavfit::Problem problem = line_problem(absolute);
      const tavfit::FitResult r = tavfit::fit(problem, method);
      ASSERT_TRUE(r.ok) << r.message;
      const double scale = absolute ? 1.0 : std::sqrt(reduced);
      EXPECT_NEAR(r.value[0], slope, tol * std::fabs(slope)) << int(method);
      EXPECT_NEAR(r.value[1], intercept, tol * std::fabs(intercept)) << int(method);
      EXPECT_NEAR(r.sd[0], sdSlope * scale, 10 * tol * sdSlope) << int(method) << absolute;
      EXPECT_NEAR(r.sd[1], sdIntercept * scale, 10 * tol * sdIntercept) << int(method) << absolute;
      EXPECT_TRUE(r.check.at_minimum) << int(method);
      EXPECT_NEAR(r.check.exact_sd[0], sdSlope * scale, 1e-9 * sdSlope);

      const tavfit::Statistics s = tavfit::statistics(problem, r);
      EXPECT_NEAR(s.chi_square, chi2, tol * chi2);
      EXPECT_NEAR(r.sse, s.chi_square, 1e-12 * chi2);
      EXPECT_DOUBLE_EQ(s.reduced_chi_square, s.chi_square / 4);
      EXPECT_EQ(std::isnan(s.chi_square_p), !absolute);
      // Residuals and RMSE stay in the units of y.
      EXPECT_NEAR(s.residuals[5], r.fitted[5] - c.y[5], 1e-12);
    }
  }
}

// The same sigma for every point weighs nothing: values, relative SDs and
// R^2 are those of the unweighted fit.
TEST(Weights, EqualRelativeSigmasAreTheUnweightedFit) {
  tavfit::Problem weighted = line_problem(false);
  weighted.curve.sigma.assign(weighted.curve.x.size(), 3.7);
  tavfit::Problem plain = weighted;
  plain.curve.sigma.clear();
  for (Method method : {Method::Levmar, Method::Ceres}) {
    if (method == Method::Ceres && !TAVFIT_HAVE_CERES) continue;
    const tavfit::FitResult a = tavfit::fit(weighted, method), b = tavfit::fit(plain, method);
    ASSERT_TRUE(a.ok && b.ok);
    for (int k = 0; k < 2; ++k) {
      EXPECT_NEAR(a.value[k], b.value[k], 1e-8 * std::fabs(b.value[k]));
      EXPECT_NEAR(a.sd[k], b.sd[k], 1e-6 * b.sd[k]);
    }
    EXPECT_NEAR(a.rmse, b.rmse, 1e-12 * b.rmse);
    EXPECT_NEAR(tavfit::statistics(weighted, a).r_squared, tavfit::statistics(plain, b).r_squared,
                1e-12);
  }
}

// lmfit 1.1.0 (tools/lmfit_reference.py) on an inversion recovery whose
// noise grows with the signal.
TEST(Weights, AgreesWithLmfitOnAnInversionRecovery) {
  if (!TAVFIT_HAVE_CERES) GTEST_SKIP() << "built without Ceres";
  tavfit::Curve curve = tavtest::read_sigma_curve("t1_sigma.dat");
  ASSERT_EQ(curve.x.size(), 12u);
  const double value[] = {994.39157903108901, 1.9025778477442659, 0.79683603802268699};
  const double sdRelative[] = {14.545910578220141, 0.019688204084490585, 0.015142830710949042};
  const double sdAbsolute[] = {17.662252783326842, 0.023906240556069092, 0.018387058165500784};
  for (bool absolute : {false, true}) {
    curve.absolute_sigma = absolute;
    const tavfit::Problem problem{*tavfit::find_model("T1_RELAX"), curve, {900, 2, 1}};
    const tavfit::FitResult r = tavfit::fit(problem, Method::Ceres);
    ASSERT_TRUE(r.ok) << r.message;
    const double *sd = absolute ? sdAbsolute : sdRelative;
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(r.value[k], value[k], 1e-6 * value[k]) << k;
      EXPECT_NEAR(r.sd[k], sd[k], 1e-6 * sd[k]) << k << absolute;
    }
    const tavfit::Statistics s = tavfit::statistics(problem, r);
    EXPECT_NEAR(s.chi_square, 6.1042476401362071, 1e-9);
    EXPECT_NEAR(s.reduced_chi_square, 0.67824973779291187, 1e-9);
    EXPECT_NEAR(s.aic, -2.1110614378622454, 1e-8);
    EXPECT_NEAR(s.bic, -0.65634148849824392, 1e-8);
  }
}

TEST(Weights, SigmaThatIsNotAPositiveNumberIsRefused) {
  tavfit::Problem problem = line_problem(false);
  problem.curve.sigma[3] = 0.0;
  EXPECT_EQ(tavfit::fit(problem).message, "The sigma of point 4 is not a positive finite number.");
  problem.curve.sigma[3] = NAN;
  EXPECT_FALSE(tavfit::fit(problem).ok);
  problem.curve.sigma.pop_back();
  EXPECT_EQ(tavfit::fit(problem).message, "The curve's sigma and x differ in length.");
}

}  // namespace
