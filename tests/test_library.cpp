// The library's fit as a value: the same numbers as the program, problems
// that do not match their model, nothing to fit, failures as results, and
// curves of any length.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <tavfit/tavfit.h>

#include "methods.h"
#include "support.h"

namespace {

using tavfit::Method;

const Method kMethods[] = {Method::Tavrin, Method::Levmar, Method::Ceres};
const char *const kOption[] = {"-tavrin", "-levmar", "-ceres"};

// The example inversion-recovery curve, as the program reads it.
tavfit::Curve t1_curve() {
  return {{0.01, 0.05, 0.1, 0.2, 0.35, 0.5, 0.75, 1, 1.5, 2, 3.5, 6},
          {-936.5, -869.4, -801.9, -664.2, -481.2, -308.8, -61.3, 127.2, 421.0, 608.3, 884.6,
           985.4}};
}

tavfit::Problem t1_problem(std::vector<double> start = {900, 2, 1}) {
  return {*tavfit::find_model("T1_RELAX"), t1_curve(), std::move(start)};
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(Library, GivesTheProgramsNumbersToTheLastBit) {
  for (int k = 0; k < 3; ++k) {
    if (kMethods[k] == Method::Ceres && !TAVFIT_HAVE_CERES) continue;
    const tavfit::FitResult r = tavfit::fit(t1_problem(), kMethods[k]);
    ASSERT_TRUE(r.ok) << r.message;
    const std::string dir = tavtest::make_temp_dir();
    ASSERT_EQ(tavtest::run_tavfit({"-d", std::string(TAVFIT_EXAMPLES) + "/t1_relax.dat", "-fit",
                                   "T1_RELAX", "-parms", "900:2:1", kOption[k], "-json", "r.json",
                                   "-o", "/dev/null", "-short", "/dev/null"},
                                  dir)
                  .status,
              0);
    const nlohmann::json doc = nlohmann::json::parse(tavtest::read_file(dir + "/r.json"));
    for (int p = 0; p < 3; ++p) {
      EXPECT_TRUE(same_bits(r.value[p], doc["parameters"][p]["value"].get<double>())) << k << p;
      EXPECT_TRUE(same_bits(r.sd[p], doc["parameters"][p]["sd"].get<double>())) << k << p;
      for (int q = 0; q < 3; ++q)
        EXPECT_TRUE(same_bits(r.covariance[p * 3 + q],
                              doc["covariance"]["matrix"][p][q].get<double>()));
    }
    EXPECT_TRUE(same_bits(r.sse, doc["statistics"]["sse"].get<double>()));
    EXPECT_EQ(r.iterations, doc["iterations"].get<int>());
    EXPECT_EQ(r.termination.reason, doc["termination"]["reason"].get<int>());
  }
}

TEST(Library, RefusesProblemsThatDoNotMatchTheirModel) {
  tavfit::Problem shortStart = t1_problem({900, 2});
  tavfit::Problem heldFlags = t1_problem();
  heldFlags.held = {true};
  tavfit::Problem lengths = t1_problem();
  lengths.curve.y.pop_back();
  tavfit::Problem x2 = t1_problem();
  x2.curve.x2 = {1, 2};
  tavfit::Problem empty = t1_problem();
  empty.curve = {};
  tavfit::Problem unknown = t1_problem();
  unknown.model = tavfit::Model();
  tavfit::Problem altered = t1_problem({900, 2, 1, 0});
  altered.model.parameters.push_back("extra");
  const std::pair<const tavfit::Problem *, std::string> cases[] = {
      {&shortStart, "The problem has 2 start values for 3 parameters."},
      {&heldFlags, "The problem has 1 hold flags for 3 parameters."},
      {&lengths, "The curve's x, y and x2 differ in length."},
      {&x2, "The curve's x, y and x2 differ in length."},
      {&empty, "The curve has no points."},
      {&unknown, "Undefined Fit Function"},
      {&altered, "Undefined Fit Function"}};
  for (const auto &[problem, message] : cases)
    for (Method method : kMethods) {
      const tavfit::FitResult r = tavfit::fit(*problem, method);
      EXPECT_FALSE(r.ok);
      EXPECT_EQ(r.message, message);
    }
}

// The built-in models describe themselves as the catalogue does.
TEST(Library, ModelsAreTheCatalogues) {
  ASSERT_EQ(tavfit::models().size(), 35u);
  EXPECT_EQ(tavfit::find_model("t1_relax"), nullptr);
  const tavfit::Model &t1 = *tavfit::find_model("T1_RELAX");
  EXPECT_EQ(t1.keyword + "|" + t1.label + "|" + t1.description + "|" + t1.formula,
            "T1_RELAX|T1 Relaxation|Notes: Mo*(1 - W*EXP(-x/T1))|Y = Mo*(1 - W*exp(-X/T1))");
  EXPECT_EQ(t1.parameters, std::vector<std::string>({"Mo", "W", "T1"}));
  EXPECT_FALSE(t1.uses_x2);
  EXPECT_TRUE(tavfit::find_model("XY1")->uses_x2);
  EXPECT_EQ(&tavfit::models()[t1.id], &t1);
  EXPECT_EQ(tavfit::evaluate(t1, 0, 0, {900, 2, 1}), -900);
  EXPECT_TRUE(std::isnan(tavfit::evaluate(t1, 0, 0, {900, 2})));  // one value short
}

// The statistics need the fitted values of every point; with as many free
// parameters as points there are no degrees of freedom left.
TEST(Library, StatisticsWithoutFittedValuesOrDegreesOfFreedom) {
  const tavfit::Problem problem = t1_problem();
  tavfit::FitResult unfitted = tavfit::fit(problem);
  unfitted.fitted.clear();
  const tavfit::Statistics none = tavfit::statistics(problem, unfitted);
  EXPECT_TRUE(std::isnan(none.sse) && std::isnan(none.residuals[0]));
  const tavfit::Problem line = {*tavfit::find_model("LINE"), {{1, 2}, {3, 7}}, {1, 1}};
  const tavfit::Statistics exact = tavfit::statistics(line, tavfit::fit(line, Method::Levmar));
  EXPECT_EQ(exact.dof, 0);
  EXPECT_TRUE(std::isnan(exact.adj_r_squared) && std::isnan(exact.residual_std_error));
}

// For a straight line the minimum, its SDs and so the distance of any answer
// are known in closed form.
TEST(Check, MeasuresAStraightLineAnswerInStandardDeviations) {
  const std::vector<double> x = {1, 2, 3, 4, 5}, y = {2.1, 3.9, 6.2, 7.8, 10.1}, x2(5, 0.0);
  const double a = 1.99, b = 0.05;  // Sxy / Sxx = 19.9 / 10, and ybar - a xbar
  const double s2 = (39.708 - a * 19.9) / 3;  // (Syy - a Sxy) / (n - 2)
  const double sdA = std::sqrt(s2 / 10), sdB = std::sqrt(s2 * (0.2 + 9.0 / 10));
  const int hold[2] = {0, 0};
  const double start[2] = {0, 0};
  const FitProblem problem = {kLine, 2, {x.data(), y.data(), x2.data(), 5}, start, hold,
                              free_slots(2, hold), 500};
  const double answer[2] = {a + 2.5 * sdA, b}, reportedSd[2] = {1.2 * sdA, sdB};
  const tavfit::Check c = check_answer(problem, answer, reportedSd);
  ASSERT_TRUE(c.done);
  EXPECT_FALSE(c.at_minimum);
  EXPECT_NEAR(c.distance_sd, 2.5, 1e-9);
  EXPECT_EQ(c.distance_parameter, 0);
  EXPECT_NEAR(c.sd_relative_error, 0.2, 1e-9);
  EXPECT_EQ(c.sd_parameter, 0);
  EXPECT_NEAR(c.minimum[0], a, 1e-12);
  EXPECT_NEAR(c.minimum[1], b, 1e-12);
  EXPECT_NEAR(c.exact_sd[0], sdA, 1e-12 * sdA);
  EXPECT_NEAR(c.exact_sd[1], sdB, 1e-12 * sdB);
  EXPECT_NEAR(c.minimum_sse, 3 * s2, 1e-12);
  const double atMinimum[2] = {a, b};
  EXPECT_TRUE(check_answer(problem, atMinimum, c.exact_sd.data()).at_minimum);
}

// With every parameter held the values stand as given, with SD 0, and
// levmar and Ceres say so.
TEST(Library, EveryParameterHeldIsNothingToFit) {
  tavfit::Problem problem = t1_problem();
  problem.held = {true, true, true};
  const char *const notes[] = {nullptr, "levmar: all parameters held constant, nothing to fit",
                               "ceres: all parameters held constant, nothing to fit"};
  for (int k = 0; k < 3; ++k) {
    const tavfit::FitResult r = tavfit::fit(problem, kMethods[k]);
    ASSERT_TRUE(r.ok) << k;
    EXPECT_EQ(r.value, problem.start);
    EXPECT_EQ(r.sd, std::vector<double>(3, 0.0));
    EXPECT_TRUE(r.free.empty() && r.covariance.empty());
    EXPECT_EQ(r.termination.reason, 0);
    ASSERT_EQ(r.messages.size(), notes[k] ? 1u : 0u);
    if (notes[k]) {
      EXPECT_EQ(r.messages[0].text, notes[k]);
    }
    EXPECT_NEAR(r.rmse, 85.949, 5e-4);
  }
}

// A failure is a value: the message, and what the method knew by then.
TEST(Library, FailuresAreResults) {
  tavfit::Options none;
  none.max_iterations = 0;
  const tavfit::FitResult limit = tavfit::fit(t1_problem(), Method::Tavrin, none);
  EXPECT_FALSE(limit.ok);
  EXPECT_EQ(limit.message, "Maximum iterations reached without convergence: 0.");
  EXPECT_TRUE(limit.termination.recorded && limit.termination.reason == 3);
  EXPECT_TRUE(std::isnan(limit.sse) && std::isnan(limit.rmse));  // no answer to measure

  // XY2 is not defined for DKd2 <= 4 DKd1: every method stops there alike,
  // levmar too, whose solver cannot be stopped from its model callback.
  const tavfit::Problem xy2 = {*tavfit::find_model("XY2"),
                               {{1, 2, 3, 4, 5}, {0.1, 0.2, 0.3, 0.35, 0.4}, {1, 1, 1, 1, 1}},
                               {1, 1, 1, 3}};
  for (Method method : kMethods) {
    const tavfit::FitResult r = tavfit::fit(xy2, method);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Function not defined when kd2 <= 4 * kd1");
  }

  tavfit::Problem twoPoints = t1_problem();
  twoPoints.curve.x.resize(2);
  twoPoints.curve.y.resize(2);
  EXPECT_EQ(tavfit::fit(twoPoints, Method::Levmar).message,
            "levmar: Fewer data points than free parameters");
  EXPECT_EQ(tavfit::fit(twoPoints, Method::Ceres).message,
            "ceres: Fewer data points than free parameters");
}

// Ceres differentiates for each number of free parameters apart: with all
// nine free, the largest model still runs through the solver.
TEST(Library, CeresFitsNineFreeParameters) {
  if (!TAVFIT_HAVE_CERES) GTEST_SKIP() << "built without the Ceres method";
  const tavfit::Model &model = *tavfit::find_model("Z_CP_DIM");
  const std::vector<double> start = {0, 20, 0, 0, 25, 500, 330, 1e-4, 0};
  tavfit::Curve curve;
  for (int i = 0; i < 40; ++i) {
    curve.x.push_back(300 + i);
    curve.y.push_back(tavfit::evaluate(model, 300 + i, 0, start) + 0.01 * std::sin(i));
  }
  const tavfit::FitResult r = tavfit::fit({model, curve, start}, Method::Ceres);
  EXPECT_EQ(r.free.size(), 9u);
  EXPECT_TRUE(r.termination.recorded) << r.message;
  EXPECT_EQ(r.termination.info.size(), 3u);
}

// The program reads at most 1500 points; the library takes any number.
TEST(Library, FitsCurvesOfAnyLength) {
  const tavfit::Model &model = *tavfit::find_model("T1_RELAX");
  tavfit::Curve curve;
  for (int i = 0; i < 6000; ++i) {
    const double x = 0.001 * (i + 1);
    curve.x.push_back(x);
    curve.y.push_back(tavfit::evaluate(model, x, 0, {1000, 1.9, 1.5}) + ((i * 7919) % 11 - 5));
  }
  const tavfit::Problem problem = {model, curve, {900, 2, 1}};
  for (Method method : kMethods) {
    if (method == Method::Ceres && !TAVFIT_HAVE_CERES) continue;
    const tavfit::FitResult r = tavfit::fit(problem, method);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.fitted.size(), 6000u);
    EXPECT_NEAR(r.value[2], 1.5, 0.01);
  }
}

}  // namespace
