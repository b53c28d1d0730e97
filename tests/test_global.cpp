// Global fits against lmfit's multi-data-set fit (the concatenated residual
// over one set of parameters), whose figures tools/lmfit_global_reference.py
// prints for the files in tests/data.
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <tavfit/tavfit.h>

#include "support.h"

namespace {

using tavfit::Method;

// The curves of a CSV table whose first column names the curve: x, y and,
// when there is a fourth column, x2.
std::vector<std::pair<std::string, tavfit::Curve>> read_curves(const std::string &name) {
  std::ifstream in(tavtest::test_data(name));
  std::string line;
  std::getline(in, line);
  std::vector<std::pair<std::string, tavfit::Curve>> curves;
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    std::string curve, value;
    std::getline(fields, curve, ',');
    if (curves.empty() || curves.back().first != curve) curves.emplace_back(curve, tavfit::Curve());
    tavfit::Curve &c = curves.back().second;
    std::vector<double> v;
    while (std::getline(fields, value, ',')) v.push_back(std::stod(value));
    c.x.push_back(v[0]);
    c.y.push_back(v[1]);
    if (v.size() > 2) c.x2.push_back(v[2]);
  }
  return curves;
}

// XY1 titrations, every residue its own Shift, one Dconst, from 0.1 and 1e-4.
tavfit::GlobalProblem titrations(const std::string &name) {
  tavfit::GlobalProblem problem;
  problem.model = *tavfit::find_model("XY1");
  for (auto &curve : read_curves(name)) {
    problem.curves.push_back(curve.second);
    problem.start.push_back({0.1, 1e-4});
  }
  problem.shared = {false, true};
  return problem;
}

void expect_near_relative(double actual, double expected, double tolerance, const char *what) {
  EXPECT_NEAR(actual, expected, tolerance * std::fabs(expected)) << what;
}

// lmfit's values and standard errors of Dconst and of the Shift of residues
// 1, 2, 3 and the last.
struct Reference {
  double value[5], sd[5];
};

void expect_titrations(const tavfit::GlobalResult &r, const Reference &lmfit, double valueTol,
                       double sdTol) {
  ASSERT_TRUE(r.ok) << r.message;
  const size_t last = r.curves.size() - 1;
  const size_t curve[5] = {0, 0, 1, 2, last};
  for (int k = 0; k < 5; ++k) {
    const int parameter = k == 0 ? 1 : 0;
    const tavfit::FitResult &c = r.curves[curve[k]];
    expect_near_relative(c.value[parameter], lmfit.value[k], valueTol, "value");
    expect_near_relative(c.sd[parameter], lmfit.sd[k], sdTol, "sd");
  }
  // The shared value and SD are the same in every curve.
  EXPECT_EQ(r.curves[last].value[1], r.curves[0].value[1]);
  EXPECT_EQ(r.curves[last].sd[1], r.curves[0].sd[1]);
  ASSERT_EQ(r.shared_free, std::vector<int>{1});
  EXPECT_DOUBLE_EQ(std::sqrt(r.shared_covariance[0]), r.curves[0].sd[1]);
}

const Reference kFive = {
    {9.8854927517520022e-05, 0.10111449845676268, 0.12798589771927196, 0.104072129487322, 0.12954852008643727},
    {1.1199624767746389e-06, 0.00043588813788728801, 0.00046507144101806696, 0.00043885117886138602, 0.00046691562416968348}};

const Reference kThreeHundred = {
    {0.00010011552156882152, 0.071449209362266508, 0.13876368809939685, 0.089489445736987569, 0.058067190058688802},
    {1.817695538403059e-07, 0.00043146758554354919, 0.00043328468403020458, 0.00043184103775468553, 0.00043124449377044077}};

TEST(Global, FiveTitrationsAgreeWithLmfitForEveryMethod) {
  const tavfit::GlobalProblem problem = titrations("csp_5.csv");
  const tavfit::GlobalResult tavrin = tavfit::fit_global(problem, Method::Tavrin);
  expect_titrations(tavrin, kFive, 1e-3, 1e-3);
  // dlevmar_dif's forward differences step Dconst (1e-4) by 1e-6, which
  // leaves it about 5e-6 short of the minimum.
  const tavfit::GlobalResult levmar = tavfit::fit_global(problem, Method::Levmar);
  expect_titrations(levmar, kFive, 1e-4, 1e-4);
  EXPECT_EQ(levmar.n, 60);
  EXPECT_EQ(levmar.free_parameters, 6);
  EXPECT_NEAR(levmar.chi_square, 4.2577654497274617e-05, 1e-4 * 5.3e-5);
#if TAVFIT_HAVE_CERES
  expect_titrations(tavfit::fit_global(problem, Method::Ceres), kFive, 1e-6, 1e-6);
#endif
}

TEST(Global, ThreeHundredTitrationsAgreeWithLmfit) {
  const tavfit::GlobalProblem problem = titrations("csp_300.csv");
  expect_titrations(tavfit::fit_global(problem, Method::Tavrin), kThreeHundred, 1e-3, 1e-3);
#if TAVFIT_HAVE_CERES
  const tavfit::GlobalResult ceres = tavfit::fit_global(problem, Method::Ceres);
  expect_titrations(ceres, kThreeHundred, 1e-6, 1e-6);
  EXPECT_EQ(ceres.free_parameters, 301);
  EXPECT_NEAR(ceres.chi_square, 0.0032838984006804111, 1e-9 * 0.0032838984006804111);
#endif
}

// The covariance of a curve's own parameter with the shared one, as lmfit's
// correlation of Shift_R1 with Dconst gives it.
TEST(Global, ACurvesCovarianceCouplesItsOwnAndTheSharedParameters) {
  const tavfit::GlobalResult r = tavfit::fit_global(titrations("csp_5.csv"), Method::Levmar);
  ASSERT_TRUE(r.ok) << r.message;
  const tavfit::FitResult &c = r.curves[0];
  ASSERT_EQ(c.free, (std::vector<int>{0, 1}));
  EXPECT_EQ(c.covariance[1], c.covariance[2]);
  expect_near_relative(c.covariance[1] / (c.sd[0] * c.sd[1]), 0.47940243238660735, 1e-4,
                       "correlation");
}

// Tavrin's limit counts its updates, as a single fit's does.
TEST(Global, TavrinStopsAtTheIterationLimit) {
  const tavfit::GlobalResult r = tavfit::fit_global(titrations("csp_5.csv"), Method::Tavrin, {2});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "Maximum iterations reached without convergence: 2.");
  EXPECT_EQ(r.iterations, 2);
}

TEST(Global, BoundsOnASharedParameterThatDoNotHoldChangeNothing) {
  tavfit::GlobalProblem problem = titrations("csp_5.csv");
  problem.lower = {-INFINITY, 0.0};
  problem.upper = {INFINITY, 1e-3};
  // lmfit's leastsq through the same transformation.
  const Reference bounded = {
    {9.885492711083122e-05, 0.10111449837848351, 0.12798589762579421, 0.10407212941398791, 0.12954851998930161},
    {1.1199623524626982e-06, 0.00043588811615959128, 0.00046507141592180389, 0.0004388511595016966, 0.00046691559757993425}};
  expect_titrations(tavfit::fit_global(problem, Method::Levmar), bounded, 1e-4, 1e-4);
#if TAVFIT_HAVE_CERES
  expect_titrations(tavfit::fit_global(problem, Method::Ceres), bounded, 1e-6, 1e-6);
#endif
  problem.start[0][1] = 2e-3;
  EXPECT_EQ(tavfit::fit_global(problem).message,
            "Curve 1: The start value of Dconst lies outside its bounds.");
}

// A bound that holds the minimum: the shared parameter ends on it, as
// though held there, whatever the method.
TEST(Global, ASharedParameterWhoseBoundHoldsEndsOnIt) {
  tavfit::GlobalProblem held = titrations("csp_5.csv");
  held.held = {false, true};
  for (auto &start : held.start) start[1] = 9e-5;
  const tavfit::GlobalResult there = tavfit::fit_global(held, Method::Levmar);
  tavfit::GlobalProblem bounded = titrations("csp_5.csv");
  bounded.upper = {INFINITY, 9e-5};
  for (auto &start : bounded.start) start[1] = 8e-5;
  for (Method method : {Method::Tavrin, Method::Levmar, Method::Ceres}) {
    if (method == Method::Ceres && !TAVFIT_HAVE_CERES) continue;
    const tavfit::GlobalResult r = tavfit::fit_global(bounded, method);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.curves[0].value[1], 9e-5);
    EXPECT_TRUE(r.curves[4].at_bound[1]);
    EXPECT_FALSE(r.curves[4].at_bound[0]);
    EXPECT_GT(r.curves[0].sd[1], 0.0);  // counted free in the covariance
    for (size_t c = 0; c < r.curves.size(); ++c) {
      const double tolerance = method == Method::Tavrin ? 1e-3 : 1e-6;
      EXPECT_NEAR(r.curves[c].value[0], there.curves[c].value[0],
                  tolerance * there.curves[c].value[0]);
    }
  }
}

// Melts at three concentrations: their own baselines and enthalpy, one Tm
// (a6), the heat capacity change (a5) held at 0.
TEST(Global, MeltsSharingTmAgreeWithLmfit) {
  tavfit::GlobalProblem problem;
  problem.model = *tavfit::find_model("Z_MELT_MON");
  for (auto &curve : read_curves("melts.csv")) {
    const std::vector<double> &y = curve.second.y;
    problem.start.push_back({y.front(), 0.0, y.back(), 0.0, 60.0, 0.0, 320.0});
    problem.curves.push_back(curve.second);
  }
  problem.held = {false, false, false, false, false, true, false};
  problem.shared = {false, false, false, false, false, false, true};
  const double value[6] = {330.0001652705306, -19.793413972401918, 0.058403500248585871, -3.2207305092687313, 0.029228314246257742, 78.330067485982283};
  const double sd[6] = {0.059617314658531692, 0.50949339471136512, 0.014787228023485088, 1.3931969588657078, 0.017629168534268085, 6.0224837055349063};
  const int slot[6] = {6, 0, 1, 2, 3, 4};
  const struct {
    Method method;
    double tolerance;
  } methods[] = {{Method::Levmar, 1e-4}, {Method::Ceres, 1e-6}};
  for (const auto &m : methods) {
    if (m.method == Method::Ceres && !TAVFIT_HAVE_CERES) continue;
    const tavfit::GlobalResult r = tavfit::fit_global(problem, m.method);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_NEAR(r.chi_square, 21.582366599297441, m.tolerance * 21.582366599297441);
    for (int k = 0; k < 6; ++k) {
      expect_near_relative(r.curves[0].value[slot[k]], value[k], m.tolerance, "value");
      expect_near_relative(r.curves[0].sd[slot[k]], sd[k], m.tolerance, "sd");
    }
    EXPECT_EQ(r.curves[2].value[6], r.curves[0].value[6]);
    EXPECT_EQ(r.curves[1].value[5], 0.0);
  }
}

// A shared parameter held is the same for every curve, so the global fit is
// the curves' own fits with it held, and there is nothing to test against.
TEST(Global, AHeldSharedParameterGivesTheCurvesOwnFits) {
  tavfit::GlobalProblem problem = titrations("csp_5.csv");
  problem.held = {false, true};
  for (auto &start : problem.start) start[1] = 2e-4;
  const tavfit::GlobalResult r = tavfit::fit_global(problem, Method::Levmar);
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_TRUE(r.shared_free.empty());
  EXPECT_EQ(r.free_parameters, 5);
  for (size_t c = 0; c < problem.curves.size(); ++c) {
    const tavfit::Problem one = {problem.model, problem.curves[c], {0.1, 2e-4}, {false, true}};
    const tavfit::FitResult alone = tavfit::fit(one, Method::Levmar);
    EXPECT_NEAR(r.curves[c].value[0], alone.value[0], 1e-9 * std::fabs(alone.value[0]));
    EXPECT_EQ(r.curves[c].value[1], 2e-4);
    EXPECT_EQ(r.curves[c].sd[1], 0.0);
  }
  EXPECT_FALSE(r.separate.done);
  EXPECT_EQ(r.separate.reason, "No free parameter is shared.");
}

// The F-test: titrations made with one Kd share it; one residue with a
// tenfold Kd does not.
TEST(Global, TheFTestTellsWhetherSharingIsJustified) {
  tavfit::GlobalProblem problem = titrations("csp_5.csv");
  tavfit::GlobalResult r = tavfit::fit_global(problem, Method::Levmar);
  ASSERT_TRUE(r.separate.done) << r.separate.reason;
  EXPECT_EQ(r.separate.dof_numerator, 4);
  EXPECT_EQ(r.separate.dof, 50);
  EXPECT_GT(r.separate.p, 0.01);
  EXPECT_LT(r.separate.chi_square, r.chi_square);

  tavfit::Curve &odd = problem.curves[2];
  for (size_t i = 0; i < odd.x.size(); ++i) {
    const double b = odd.x[i] + odd.x2[i] + 2e-3;
    odd.y[i] = (b - std::sqrt(b * b - 4 * odd.x[i] * odd.x2[i])) * 0.3 / (2 * odd.x2[i]) +
               (i % 2 == 0 ? 0.002 : -0.002);
  }
  r = tavfit::fit_global(problem, Method::Levmar);
  ASSERT_TRUE(r.separate.done) << r.separate.reason;
  EXPECT_LT(r.separate.p, 1e-6);
  EXPECT_GT(r.separate.f, 10.0);
}

// A residue with one point cannot be fitted alone, but the shared Dconst
// leaves one unknown for it in the global fit.
TEST(Global, ACurveThatCannotBeFittedAloneIsFittedGlobally) {
  tavfit::GlobalProblem problem = titrations("csp_5.csv");
  tavfit::Curve &one = problem.curves[3];
  one.x = {one.x[8]};
  one.y = {one.y[8]};
  one.x2 = {one.x2[8]};
  for (Method method : {Method::Tavrin, Method::Levmar}) {
    const tavfit::GlobalResult r = tavfit::fit_global(problem, method);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_NEAR(r.curves[3].fitted[0], one.y[0], 1e-4 * std::fabs(one.y[0]));
    EXPECT_FALSE(r.separate.done);
    EXPECT_EQ(r.separate.failed_curve, 3);
  }
}

// XY1 typed as a formula (Kd first, then S): the same global fit.
TEST(Global, ATypedModelIsFittedGloballyAsTheBuiltInOne) {
  const tavfit::GlobalProblem builtin = titrations("csp_5.csv");
  tavfit::GlobalProblem typed = builtin;
  typed.model = tavfit::parse_model("(x + x2 + Kd - sqrt((x + x2 + Kd)^2 - 4*x*x2)) * S / (2*x2)");
  ASSERT_EQ(typed.model.parameters, (std::vector<std::string>{"Kd", "S"}));
  typed.shared = {true, false};
  for (auto &start : typed.start) start = {start[1], start[0]};
  for (Method method : {Method::Tavrin, Method::Levmar, Method::Ceres}) {
    if (method == Method::Ceres && !TAVFIT_HAVE_CERES) continue;
    const tavfit::GlobalResult a = tavfit::fit_global(builtin, method);
    const tavfit::GlobalResult b = tavfit::fit_global(typed, method);
    ASSERT_TRUE(b.ok) << b.message;
    // Each method as near the minimum as it stops (see above); Ceres at it.
    const double tolerance = method == Method::Ceres ? 1e-9 : 1e-4;
    for (size_t c = 0; c < a.curves.size(); ++c) {
      expect_near_relative(b.curves[c].value[0], a.curves[c].value[1], tolerance, "Kd");
      expect_near_relative(b.curves[c].value[1], a.curves[c].value[0], tolerance, "S");
      expect_near_relative(b.curves[c].sd[1], a.curves[c].sd[0], tolerance, "S sd");
    }
  }
  // A Kd of -7e-5 puts a negative number under the square root at point 2.
  typed.start[0][0] = -7e-5;
  EXPECT_EQ(tavfit::fit_global(typed).message,
            "Curve 1: At point 2 (x = 2e-05, x2 = 5e-05): the formula gives NaN at the start values.");
}

TEST(Global, MalformedProblemsAreRefused) {
  tavfit::GlobalProblem problem = titrations("csp_5.csv");
  problem.shared = {false, false};
  EXPECT_EQ(tavfit::fit_global(problem).message, "The global problem shares no parameter.");
  problem.shared = {false, true};
  problem.start.pop_back();
  EXPECT_EQ(tavfit::fit_global(problem).message,
            "The global problem has 4 rows of start values for 5 curves.");
  problem = titrations("csp_5.csv");
  problem.curves.resize(1);
  problem.start.resize(1);
  problem.curves[0].x.resize(2);
  problem.curves[0].y.resize(2);
  problem.curves[0].x2.resize(2);
  EXPECT_EQ(tavfit::fit_global(problem).message, "The curves have 2 points for 2 free parameters.");
}

}  // namespace
