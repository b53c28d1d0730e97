// Bounds on parameters: inactive bounds leave the unbounded answer, a bound
// that holds the minimum holds the parameter on it, and the figures are
// lmfit's on the same problem (tools/lmfit_bounds_reference.py).
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tavfit/tavfit.h>

#include "support.h"

namespace {

using tavfit::Method;

const Method kMethods[] = {Method::Tavrin, Method::Levmar, Method::Ceres};

// An inversion recovery with relative sigmas (weights 1/sigma in lmfit).
tavfit::Problem t1_problem(std::vector<double> start, std::vector<double> lower,
                           std::vector<double> upper) {
  tavfit::Curve curve = tavtest::read_sigma_curve("t1_sigma.dat");
  tavfit::Problem problem{*tavfit::find_model("T1_RELAX"), curve, std::move(start)};
  problem.lower = std::move(lower);
  problem.upper = std::move(upper);
  return problem;
}

// How near each method comes: Ceres to lmfit's digits, levmar to its forward
// differences', TAVRIN to a small part of a standard deviation (its stopping
// rule), with SDs from its own difference quotients.
struct Tolerance {
  double value;  // in standard deviations
  double sd;     // relative
};
Tolerance tolerance(Method method) {
  switch (method) {
    case Method::Ceres: return {1e-6, 1e-6};
    case Method::Levmar: return {1e-3, 1e-4};
    default: return {0.02, 0.02};
  }
}

void expect_answer(const tavfit::FitResult &r, const double *value, const double *sd,
                   Method method) {
  ASSERT_TRUE(r.ok) << r.message;
  const Tolerance tol = tolerance(method);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(r.value[k], value[k], tol.value * sd[k]) << int(method) << " " << k;
    EXPECT_NEAR(r.sd[k], sd[k], tol.sd * sd[k]) << int(method) << " " << k;
  }
  EXPECT_TRUE(r.check.at_minimum) << int(method);
}

// lmfit's leastsq (its transformation of bounded parameters), Mo >= 0,
// W >= 1, T1 >= 0: none holds, and the answer is the unbounded one.
const double kInactiveValue[] = {994.39157928660688, 1.9025778473905501, 0.79683603827904581};
const double kInactiveSd[] = {14.545910763011257, 0.019688204043208327, 0.015142831203310095};

// A start on a bound that does not hold (W at 1) leaves it too, though the
// transformation has no slope there.
TEST(Bounds, InactiveBoundsGiveTheUnboundedAnswer) {
  for (Method method : kMethods) {
    if (method == Method::Ceres && !TAVFIT_HAVE_CERES) continue;
    for (double startW : {2.0, 1.0}) {
      const tavfit::FitResult r =
          tavfit::fit(t1_problem({900, startW, 1}, {0, 1, 0}, {}), method);
      expect_answer(r, kInactiveValue, kInactiveSd, method);
      EXPECT_EQ(r.at_bound, std::vector<bool>(3, false));
    }
  }
}

// T1 <= 0.7 holds: T1 ends exactly on it, the others at the minimum with T1
// there, and every SD from the Jacobian with T1 counted free: lmfit's
// least_squares.  (Its leastsq agrees on the values; its SDs there depend
// on its tolerances.)
TEST(Bounds, BoundThatHoldsTheMinimumHoldsTheParameterOnIt) {
  const double value[] = {916.14160550668896, 2.0369799744553094, 0.7};
  const double sd[] = {34.161001631249533, 0.056640138087301735, 0.032644087784403114};
  for (Method method : kMethods) {
    if (method == Method::Ceres && !TAVFIT_HAVE_CERES) continue;
    for (double startT1 : {0.5, 0.7}) {
      const tavfit::FitResult r =
          tavfit::fit(t1_problem({900, 2, startT1}, {-INFINITY, 1, 0}, {INFINITY, 3, 0.7}), method);
      expect_answer(r, value, sd, method);
      EXPECT_EQ(r.value[2], 0.7);
      EXPECT_EQ(r.at_bound, std::vector<bool>({false, false, true})) << int(method);
      ASSERT_EQ(r.covariance.size(), 9u);
      EXPECT_NEAR(std::sqrt(r.covariance[8]), r.sd[2], 1e-12 * r.sd[2]);
    }
  }
}

// Two bounds that hold: the answer is the fit with both parameters held
// there.
TEST(Bounds, TwoBoundsThatHoldAreTheFitWithBothHeld) {
  tavfit::Problem held = t1_problem({900, 1.95, 0.7}, {}, {});
  held.held = {false, true, true};
  const tavfit::FitResult reference = tavfit::fit(held, Method::Levmar);
  ASSERT_TRUE(reference.ok);
  for (Method method : kMethods) {
    if (method == Method::Ceres && !TAVFIT_HAVE_CERES) continue;
    const tavfit::FitResult r =
        tavfit::fit(t1_problem({900, 1.9, 0.5}, {}, {INFINITY, 1.95, 0.7}), method);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.value[1], 1.95);
    EXPECT_EQ(r.value[2], 0.7);
    EXPECT_NEAR(r.value[0], reference.value[0], tolerance(method).value * r.sd[0]) << int(method);
    EXPECT_EQ(r.at_bound, std::vector<bool>({false, true, true})) << int(method);
    EXPECT_EQ(r.free.size(), 3u);
  }
}

// The transformation bends a method's path: Levenberg-Marquardt stalls on
// this curve under an upper bound on T1 that does not hold (and fits it
// without the bound); it goes again from where the descent within the bounds
// ended, and says so.
TEST(Bounds, AMethodThatFailsWithinTheBoundsGoesAgainFromTheDescent) {
  const double delays[] = {0.01, 0.05, 0.1, 0.2, 0.35, 0.5, 0.75, 1, 1.5, 2, 3.5, 6};
  tavfit::Curve curve;
  for (int k = 0; k < 12; ++k) {
    curve.x.push_back(delays[k]);
    curve.y.push_back(600 * (1 - 1.85 * std::exp(-delays[k] / 0.4)) + 6 * std::sin(k));
  }
  tavfit::Problem problem{*tavfit::find_model("T1_RELAX"), curve, {1000, 1.9, 0.42}};
  const tavfit::FitResult free = tavfit::fit(problem, Method::Levmar);
  ASSERT_TRUE(free.ok);
  problem.upper = {INFINITY, INFINITY, 0.6};
  const tavfit::FitResult r = tavfit::fit(problem, Method::Levmar);
  ASSERT_TRUE(r.ok) << r.message;
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(r.value[k], free.value[k], 1e-3 * free.sd[k]);
  ASSERT_FALSE(r.messages.empty());
  EXPECT_EQ(r.messages.back().text,
            "Within the bounds the fit failed from the start values (levmar: Stopped by "
            "iteration maximum); it was run again from where a descent within the bounds ended.");
}

TEST(Bounds, BoundsThatCannotHoldAreRefusedNamingTheParameter) {
  const auto message = [](std::vector<double> start, std::vector<double> lower,
                          std::vector<double> upper) {
    return tavfit::fit(t1_problem(std::move(start), std::move(lower), std::move(upper))).message;
  };
  EXPECT_EQ(message({900, 0.5, 1}, {0, 1, 0}, {}), "The start value of W lies outside its bounds.");
  EXPECT_EQ(message({900, 2, 1}, {0, 3, 0}, {INFINITY, 2.5, INFINITY}),
            "The lower bound of W is above its upper bound.");
  EXPECT_EQ(message({900, 2, 1}, {0, 2, 0}, {INFINITY, 2, INFINITY}),
            "The bounds of W leave it no room; hold it instead.");
  EXPECT_EQ(message({900, 2, 1}, {0, NAN, 0}, {}), "A bound of W is not a number.");
  EXPECT_EQ(message({900, 2, 1}, {0, 1}, {}),
            "The problem's bounds are not one per parameter (3).");
  // A held parameter keeps its value: its bounds are not looked at.
  tavfit::Problem held = t1_problem({900, 1.9, 1}, {0, 2, 0}, {});
  held.held = {false, true, false};
  EXPECT_TRUE(tavfit::fit(held).ok) << tavfit::fit(held).message;
}

}  // namespace
