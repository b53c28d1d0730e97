// Binding, self-association, melting, denaturation and heat-capacity models.
// Unused parameter slots hold NaN, so reading one shows up.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "program.h"

namespace {

double eval(int id, double x, double x2, std::vector<double> p) {
  p.resize(kMaxParms, NAN);
  double v = -12345.0;  // fnf must overwrite it
  fnf(id, &v, x, x2, p.data());
  return v;
}

// A model value at one point; a NaN value expects NaN.
struct Point { int id; double x, x2; std::vector<double> p; double value, tol = 1e-13; };

void check(const std::vector<Point> &points) {
  for (const Point &pt : points) {
    SCOPED_TRACE(testing::Message() << "id " << pt.id << " at x = " << pt.x);
    const double v = eval(pt.id, pt.x, pt.x2, pt.p);
    if (std::isnan(pt.value)) EXPECT_TRUE(std::isnan(v)) << v;
    else EXPECT_NEAR(v, pt.value, pt.tol * std::fabs(pt.value));
  }
}

// Computed by independent code.
TEST(BioModels, MatchReferenceValues) {
  check({{12, 0.3, 0, {0.5, 20, 8}, 12.958405421207704},
         {13, 0.7, 0, {0.5, 20, 8, 0.002, 3000}, 14.98802524368745},
         {15, 0.3, 0.2, {1.2, 0.07}, 0.8358718629399917},
         {16, 0.5, 0.3, {0.8, 0.1, 1.5, 1.0}, 0.6935732467956547},
         {31, 1.3e-3, 0, {2e3, 0.05, 0.01}, 0.017150109584357434},
         {20, 50, 0, {1.0, 0.002, 0.2, 0.001, 80, 1.5, 330}, 0.8386968561189381},
         {21, 55, 0, {1.0, 0.002, 0.2, 0.001, 80, 1.5, 330, 1e-5}, 0.5972542366199801},
         {22, 1.5, 0, {1.0, 0.01, 0.1, 0.005, 10, 3, 1e-2, 0.593}, 0.5135282404860515},
         {23, 1.8, 0, {4, 2, 1.0, 0.5, 10, 3, 1e-2, 0.593}, 0.6026310376476196},
         {27, 330, 0, {1.0, 0.01, 0.2, 0.002, 62400, -120, 1e-4, 298}, 2.584463820787188},
         {24, 325, 0, {0.02, 5.0, -1e-5, 0.04, 3.0, 400, 330, 1e-5}, 26.652690524968786},
         {25, 328, 0, {0.02, 5.0, -1e-5, 0.04, 3.0, 400, 330, 1e-4, 1e-5}, 13.216862266627382},
         {26, 332, 0, {0.02, 5.0, -1e-5, 0.04, 3.0, 400, 330, 1e-4, 1e-5}, 81.65609337372811}});
}

TEST(Binding, LimitingParametersGiveClosedForms) {
  check({{15, 0.5, 0.2, {1.7, 0}, 1.7},  // XY1, Dconst 0: saturated at every x
         {31, 0, 0, {2e3, 0.05, 0.01}, -0.01},
         {13, 0.4, 0, {0.5, 7.5, 7.5, 0, 123}, 7.5}});  // equal rates: Fm + 2 Fd = 1
}

TEST(BindingDeathTest, Xy2IsFatalAtFourTimesKd1AndFiniteJustAbove_AndAnUnknownIdIsFatal) {
  EXPECT_EXIT((dup2(2, 1), eval(16, 0.5, 0.3, {0.8, 1, 1.5, 4})), testing::ExitedWithCode(1),
              "^ Fatal Error Detected!\n Message: Function not defined when kd2 <= 4 \\* kd1\n$");
  double out;
  EXPECT_EXIT((dup2(2, 1), fnf(kFitFuncCount, &out, 1, 1, std::vector<double>(10, 1.0).data())),
              testing::ExitedWithCode(1), "^ Fatal Error Detected!\n Message: Undefined Fit Function\n$");
  // acos of an argument within 1e-10 of 1: only a few digits are meaningful.
  EXPECT_NEAR(eval(16, 0.5, 0.3, {0.8, 1, 1.5, 4 + 1e-6}), 0.24362851185243617, 2.5e-4);
}

TEST(Melting, MidpointsAndLimitsGiveClosedForms) {
  const double mid = 350 - 273.15, lo = 1.0 + 0.003 * 5, hi = 2.0 + 0.01 * 5, rt = -8.314 * 300;
  auto sig = [](double a, double c) { return std::vector<double>{2, 0.01, 1, 3e-3, a, 0, c, 300}; };
  check({{20, mid, 0, {1.0, 0.002, 0.2, 0.001, 200, 1.5, 350}, (1.2 - 0.003 * mid) / 2},
         {21, 55, 0, {1.0, 0.002, 0.2, 0.001, 80, 1.5, 330, 1e-2}, 0.5972542366199801},  // p7 free
         // Baselines 0 and 1 give the trimer fraction; K = exp(-A4) = 3q.
         {22, 0, 0, {0, 0, 1, 0, -std::log(3.0), 0, 1, 1}, 0.6823201744852524},
         {22, 0, 0, {0, 0, 1, 0, -std::log(9.0), 0, 1, 1}, 0.8177185204286909},
         {27, 5, 0, sig(rt * std::log(2e-3), 2e-3), (lo + hi) / 2},  // K = P: half dimer
         {27, 5, 0, sig(1e7, 2e-3), lo, 1e-15},                      // K = 0
         // K*K + 8cK would lose the difference (1e17) or overflow (1e200).
         {27, 5, 0, sig(rt * std::log(1e17), 1), hi, 1e-15},
         {27, 5, 0, sig(rt * std::log(1e200), 1), hi, 1e-15}});
}

TEST(HeatCapacity, MidpointAndColdLimitGiveClosedForms) {
  // Cn(Tm) = 1e-5 Tm^2 + 0.02 Tm + 5, plus half the peak dH^2 / (R Tm^2).
  const double cn = 1.089 + 6.6 + 5, peak = 400.0 * 400 / (4 * 0.008314 * 330 * 330);
  check({{24, 330, 0, {0.02, 5, -1e-5, 0.04, 3, 400, 330, 1e-5}, cn + peak},
         // No enthalpy at Tm and Cu - Cn = 1: the trimer fraction, whatever the concentration.
         {26, 330, 0, {0.02, 5, 0, 0.02, 6, 0, 330, 1e-3, 0}, 11.6 + 0.6340735009876273},
         {26, 330, 0, {0.02, 5, 0, 0.02, 6, 0, 330, 1.0, 0}, 11.6 + 0.6340735009876273},
         // Far below Tm: Cn = 1e-5 T^2 + 0.02 T + 5.
         {24, 200, 0, {0.02, 5, -2e-5, 0.04, 3, 2000, 330, 1e-5}, 9.4},
         {26, 200, 0, {0.02, 5, -2e-5, 0.04, 3, 2000, 330, 1e-4, 1e-5}, 9.4}});
}

}  // namespace
