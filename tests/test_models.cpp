// The model evaluator on the basic models: polynomials, exponentials,
// relaxation, sinusoids, sigmoids, line shapes and pH curves.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include <gtest/gtest.h>

#include "tavfit.h"

namespace {

// A fatal message ends the process; its two lines are checked on stderr,
// where the child's standard output is sent.
#define EXPECT_FATAL(statement, text)                                          \
  EXPECT_EXIT((std::fflush(stdout), dup2(2, 1), statement),                   \
              ::testing::ExitedWithCode(1), "^ Fatal Error Detected!\n Message: " text "\n$")

double model(int id, double x, std::vector<double> p, double x2 = 0.0) {
  p.resize(kMaxParms, 0.0);
  double out = -1.0;
  EXPECT_EQ(fnf(id, &out, x, x2, p.data()), 0);
  return out;
}

struct Point {
  int id;
  double x;
  std::vector<double> p;
  double expected;  // the model's formula evaluated to 40 digits from the same doubles
};

const std::vector<Point> kBasicModels = {
    {0, 3.2, {2.5, -1.25}, 6.7500000000000004},
    {1, 1.7, {1.5, -2.0, 0.75}, 1.6849999999999999},
    {2, 2.3, {0.5, -1.5, 2.0, -3.0}, -0.25150000000000054},
    {3, 0.8, {3.0, 2.0, 1.5, 0.5, 0.25}, 2.5638049150989009},
    {4, 1.5, {2.0, -0.3, 0.5}, 1.2247436967564534},
    {5, 1.5, {2.0, -0.3, 0.5}, 1.7752563032435466},
    {6, 30.0, {1.2, 0.7, 0.3}, 0.59378221776325874},
    {6, 135.0, {1.2, 0.7, 0.3}, 0.19921142604367401},
    {7, 30.0, {1.2, 2.0, 0.4, 0.1}, 0.24794118525999524},
    {8, 3.4, {1.0, 2.0, 3.0, 0.5}, 2.3799489622552248},
    {9, 1.2, {1.0, 0.3, 1.5, 0.2, 2.0, 0.6}, 0.73547289791658313},
    {10, 0.5, {100.0, 2.0, 0.8}, -7.0522857037980521},
    {11, 0.5, {100.0, 0.8}, 53.526142851899026},
    {14, 7.1, {6.5, 1.0, 8.0, 0.9}, 2.5669179726071857},
    {17, 1.3, {2.0, 1.0, 0.5, 0.1}, 1.770540422822544},
    {18, 1.2, {1.0, 0.3, 1.5, 0.2, 2.0, 0.6}, 0.27726675004427253},
    {19, 2.5, {1.5, 0.2, 3.0, 2.0, 0.4}, 3.6646951317154629},
    {28, 7.2, {0.2, 1e8, 1e6, 0.5}, 0.23351361578708602},
    {29, 0.7, {1.0, 0.5, -0.3}, 0.78934865245358247},
    {30, 1.2, {1.0, 0.3, 2.0}, 0.52533778422613082},
    {32, 3.3, {2.0, 1.5, 4.0}, 0.79467145678714834},
    {33, 5.2, {1.0, 4.5, 2.0, 7.0, 3.0}, 2.7141299250923651},
    {34, 0.9, {2.0, 0.5, 1.0, 3.0}, 1.9285840028751091},
};

TEST(BasicModels, ValuesFollowTheirFormulasWhateverTheSecondAbscissa) {
  for (const Point &pt : kBasicModels)
    for (double x2 : {0.0, 123.456, -7.0})
      EXPECT_NEAR(model(pt.id, pt.x, pt.p, x2), pt.expected, 1e-14 * std::fabs(pt.expected))
          << "id " << pt.id << " at x = " << pt.x << ", x2 = " << x2;
}

TEST(BasicModels, SinusoidsAreSymmetricAboutSixtyDegrees) {
  for (double d : {30.0, 47.5, 200.0}) {
    EXPECT_EQ(model(6, 60 - d, {1.2, 0.7, 0.3}), model(6, 60 + d, {1.2, 0.7, 0.3})) << d;
    EXPECT_EQ(model(7, 60 - d, {1.2, 2, 0.4, 0.1}), model(7, 60 + d, {1.2, 2, 0.4, 0.1})) << d;
  }
}

TEST(BasicModels, LineShapesOfTwoCoincidentLines) {
  const std::vector<double> one = {1.0, 0.3, 1.0, 0.3, 2.0, 0.0};
  std::vector<double> both = one;
  both[5] = 1.0;
  for (double x : {0.4, 1.0, 1.7}) {
    EXPECT_DOUBLE_EQ(model(9, x, both), 2 * model(9, x, one)) << x;
    EXPECT_EQ(model(18, x, both), 0.0) << x;
  }
}

TEST(BasicModels, SpecialPointsOfRelaxationAndTitration) {
  for (double t1 : {0.8, -3.0, 1e-3}) EXPECT_DOUBLE_EQ(model(10, 0.0, {100, 2, t1}), -100.0);
  for (double hc : {0.5, 1.0, 2.3})
    EXPECT_DOUBLE_EQ(model(14, 6.5, {6.5, 1.0, 8.0, hc}), 4.5) << hc;
  for (double pH : {2.0, 7.0, 12.0}) EXPECT_EQ(model(28, pH, {0.0, 1e8, 1e6, 0.5}), 1.0) << pH;
}

TEST(BasicModels, ZeroDivisorStoresTheIeeeResult) {
  EXPECT_EQ(model(11, 0.5, {100, 0.0}), 0.0);
  EXPECT_TRUE(std::isnan(model(11, 0.0, {100, 0.0})));
  EXPECT_EQ(model(11, -0.5, {100, 0.0}), INFINITY);
}

TEST(BasicModelsDeathTest, IdsOutsideTheCatalogueEndTheRun) {
  double out = 0;
  const double p[kMaxParms] = {};
  EXPECT_FATAL(fnf(35, &out, 1, 0, p), "Undefined Fit Function");
  EXPECT_FATAL(fnf(-1, &out, 1, 0, p), "Undefined Fit Function");
}

}  // namespace
