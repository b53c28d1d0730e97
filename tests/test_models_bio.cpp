// Binding, self-association, melting, denaturation and heat-capacity models of
// fnf.  Reference values come from an independent reimplementation of each
// formula; unused parameter slots hold NaN, so reading one shows up.
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "tavfit.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

double eval(int id, double x, double x2, std::vector<double> p) {
  p.resize(kMaxParms, kNaN);
  double v = -12345.0;
  fnf(id, &v, x, x2, p.data());
  return v;
}
double eval(int id, double x, const std::vector<double> &p) { return eval(id, x, 0.0, p); }

void expect_rel(double actual, double expected, double tol) {
  EXPECT_NEAR(actual, expected, tol * std::fabs(expected));
}

struct Reference {
  int id;
  double x, x2;
  std::vector<double> p;
  double value;
};

const Reference kReferences[] = {
    {12, 0.3, 0, {0.5, 20, 8}, 12.958405421207704},
    {12, 2.0, 0, {0.5, 20, 8}, 16.44157801509648},
    {13, 0.7, 0, {0.5, 20, 8, 0.002, 3000}, 14.98802524368745},
    {15, 0.3, 0.2, {1.2, 0.07}, 0.8358718629399917},
    {15, 0.05, 0.2, {1.2, 0.01}, 0.28160256822491553},
    {16, 0.5, 0.3, {0.8, 0.1, 1.5, 1.0}, 0.6935732467956547},
    {16, 0.1, 0.3, {0.8, 0.1, 1.5, 1.0}, 0.18858758934055384},
    {31, 1.3e-3, 0, {2e3, 0.05, 0.01}, 0.017150109584357434},
    {20, 50, 0, {1.0, 0.002, 0.2, 0.001, 80, 1.5, 330}, 0.8386968561189381},
    {21, 55, 0, {1.0, 0.002, 0.2, 0.001, 80, 1.5, 330, 1e-5}, 0.5972542366199801},
    {22, 1.5, 0, {1.0, 0.01, 0.1, 0.005, 10, 3, 1e-2, 0.593}, 0.5135282404860515},
    {23, 1.8, 0, {4, 2, 1.0, 0.5, 10, 3, 1e-2, 0.593}, 0.6026310376476196},
    {27, 330, 0, {1.0, 0.01, 0.2, 0.002, 62400, -120, 1e-4, 298}, 2.584463820787188},
    {24, 325, 0, {0.02, 5.0, -1e-5, 0.04, 3.0, 400, 330, 1e-5}, 26.652690524968786},
    {25, 328, 0, {0.02, 5.0, -1e-5, 0.04, 3.0, 400, 330, 1e-4, 1e-5}, 13.216862266627382},
    {26, 332, 0, {0.02, 5.0, -1e-5, 0.04, 3.0, 400, 330, 1e-4, 1e-5}, 81.65609337372811},
};

TEST(BioModels, MatchReferenceValues) {
  for (const Reference &r : kReferences) {
    SCOPED_TRACE(testing::Message() << "id " << r.id << " at x = " << r.x);
    expect_rel(eval(r.id, r.x, r.x2, r.p), r.value, 1e-13);
  }
}

// --- Binding and self-association -------------------------------------------

TEST(Binding, R2DimerRunsFromMonomerToDimerRate) {
  const std::vector<double> p = {0.5, 20, 8};  // Kd, R2D, R2M
  EXPECT_NEAR(eval(12, 1e-6, p), 8.0, 1e-4);  // 8 + 12 * 2x/Kd to first order
  EXPECT_NEAR(eval(12, 1e16, p), 20.0, 1e-6);
}

TEST(Binding, MonomerDimerRootOfNegativeKdIsNaN) {
  // sqrt(Kd) * sqrt(8x + Kd): NaN even where the product of the two is positive.
  EXPECT_TRUE(std::isnan(eval(12, 0.05, {-1, 20, 8})));
  EXPECT_TRUE(std::isnan(eval(13, 0.05, {-1, 20, 8, 0.002, 3000})));
}

TEST(Binding, R2xDimerWeightsUnitsToOne) {
  for (double x : {1e-3, 0.4, 25.0}) {
    SCOPED_TRACE(x);
    // Equal rates: Fm + 2 Fd = 1 leaves that rate whatever the fractions.
    expect_rel(eval(13, x, {0.5, 7.5, 7.5, 0, 123}), 7.5, 1e-13);
    // Without exchange it is the R2_DIMER curve.
    expect_rel(eval(13, x, {0.5, 20, 8, 0, 123}), eval(12, x, {0.5, 20, 8}), 1e-13);
  }
}

TEST(Binding, Xy1TightBindingAndNoPartner) {
  EXPECT_DOUBLE_EQ(eval(15, 0.5, 0.2, {1.7, 0}), 1.7);
  EXPECT_DOUBLE_EQ(eval(15, 0.2, 0.2, {1.7, 0}), 1.7);
  EXPECT_EQ(eval(15, 0, 0.2, {1.7, 0.05}), 0.0);
}

TEST(BindingDeathTest, Xy2GuardIsFatalUpToFourTimesKd1) {
  EXPECT_EXIT(eval(16, 0.5, 0.3, {0.8, 1, 1.5, 4}), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(eval(16, 0.5, 0.3, {0.8, 1, 1.5, 2}), testing::ExitedWithCode(1), "");
  const double v = eval(16, 0.5, 0.3, {0.8, 1, 1.5, 4 + 1e-6});
  EXPECT_TRUE(std::isfinite(v));
  // acos of an argument within 1e-10 of 1: only a few digits are meaningful.
  expect_rel(v, 0.24362851185243617, 1e-3);
}

TEST(BindingDeathTest, Xy2NaNParameterPassesGuardAndGivesNaN) {
  // In a child process, so that a guard firing by mistake fails only this test.
  for (int slot : {1, 3}) {
    std::vector<double> p = {0.8, 0.1, 1.5, 1.0};
    p[slot] = kNaN;
    EXPECT_EXIT(std::exit(std::isnan(eval(16, 0.5, 0.3, p)) ? 0 : 2), testing::ExitedWithCode(0), "")
        << "NaN in slot " << slot;
  }
}

TEST(Binding, MissingSecondAbscissaGivesNoFiniteValue) {
  EXPECT_FALSE(std::isfinite(eval(15, 0.3, 0.0, {1.2, 0.05})));
  EXPECT_FALSE(std::isfinite(eval(16, 0.3, 0.0, {0.8, 0.1, 1.5, 1.0})));
}

TEST(Binding, IsodesmicAtZeroConcentrationIsMinusOffset) {
  EXPECT_EQ(eval(31, 0, {2e3, 0.05, 0.01}), -0.01);
}

// --- Melting and denaturation -------------------------------------------------

// Baselines 1 - 0.002x and 0.2 - 0.001x, midpoint 350 K.
const std::vector<double> kMelt = {1.0, 0.002, 0.2, 0.001, 200, 1.5, 350};

TEST(Melting, MonomerMidpointAndBaselines) {
  const double x = 350 - 273.15;
  expect_rel(eval(20, x, kMelt), ((1.0 - 0.002 * x) + (0.2 - 0.001 * x)) / 2, 1e-12);
  expect_rel(eval(20, 0.0, kMelt), 1.0, 1e-14);
  expect_rel(eval(20, 150.0, kMelt), 0.2 - 0.001 * 150, 1e-13);
}

TEST(Melting, DimerValueDoesNotDependOnConcentration) {
  std::vector<double> p = kMelt;
  p.push_back(1e-6);
  const double low = eval(21, 75, p);
  p[7] = 1e-2;
  expect_rel(eval(21, 75, p), low, 1e-12);
  EXPECT_GT(low, 0.3);  // mid-transition, so the check means something
  EXPECT_LT(low, 0.8);
}

TEST(Melting, TrimerFractionAtQOneAndThree) {
  // Baselines 0 and 1 make the value the fraction; K = exp(-A4) = 3q with A6 = 1.
  expect_rel(eval(22, 0, {0, 0, 1, 0, -std::log(3.0), 0, 1, 1}), 0.6823201744852524, 1e-13);
  expect_rel(eval(22, 0, {0, 0, 1, 0, -std::log(9.0), 0, 1, 1}), 0.8177185204286909, 1e-13);
}

TEST(Melting, SigmoidalDimerLimits) {
  const double P = 2e-3, T = 300, x = 5;
  const double lo = 1.0 + 0.003 * x, hi = 2.0 + 0.01 * x;
  // a = -R T ln P, b = 0 make K = P and the dimer fraction 1/2.
  expect_rel(eval(27, x, {2.0, 0.01, 1.0, 0.003, -8.314 * T * std::log(P), 0, P, T}),
             (lo + hi) / 2, 1e-13);
  // K underflows to 0: the first-state line alone.
  EXPECT_DOUBLE_EQ(eval(27, x, {2.0, 0.01, 1.0, 0.003, 1e7, 0, P, T}), lo);
  // K = 1e17 and K = 1e200: all dissociated, although K*K + 8cK would lose the
  // difference (1e17) or overflow (1e200).
  for (double K : {1e17, 1e200}) {
    SCOPED_TRACE(K);
    expect_rel(eval(27, x, {2.0, 0.01, 1.0, 0.003, -8.314 * T * std::log(K), 0, 1.0, T}), hi,
               1e-15);
  }
}

// --- Heat capacity --------------------------------------------------------------

TEST(HeatCapacity, MonomerAtMidpointAddsHalfTransitionPeak) {
  const std::vector<double> p = {0.02, 5.0, -1e-5, 0.04, 3.0, 400, 330, 1e-5};
  const double Tm = 330, cn = 1e-5 * Tm * Tm + 0.02 * Tm + 5.0;
  expect_rel(eval(24, Tm, p), cn + 400.0 * 400.0 / (4 * 0.008314 * Tm * Tm), 1e-13);
}

TEST(HeatCapacity, TrimerFractionAtMidpointIsConcentrationFree) {
  // No enthalpy at Tm and Cu - Cn = 1 there: the value is Cn + F.
  for (double c : {1e-3, 1.0}) {
    SCOPED_TRACE(c);
    const double Tm = 330;
    expect_rel(eval(26, Tm, {0.02, 5.0, 0, 0.02, 6.0, 0, Tm, c, 0}) - (0.02 * Tm + 5.0),
               0.6340735009876273, 1e-12);
  }
}

TEST(HeatCapacity, FarBelowMidpointIsNativeHeatCapacity) {
  const double T = 200, cn = 1e-5 * T * T + 0.02 * T + 5.0;
  expect_rel(eval(24, T, {0.02, 5.0, -2e-5, 0.04, 3.0, 2000, 330, 1e-5}), cn, 1e-13);
  expect_rel(eval(25, T, {0.02, 5.0, -2e-5, 0.04, 3.0, 2000, 330, 1e-4, 1e-5}), cn, 1e-13);
  expect_rel(eval(26, T, {0.02, 5.0, -2e-5, 0.04, 3.0, 2000, 330, 1e-4, 1e-5}), cn, 1e-13);
}

}  // namespace
