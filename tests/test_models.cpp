// The model evaluator on the basic models.

#include <array>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "program.h"

namespace {

double model(int id, double x, const std::array<double, kMaxParms> &p, double x2 = 0.0) {
  double out = -1.0;
  EXPECT_EQ(fnf(id, &out, x, x2, p.data()), 0);
  return out;
}

// Expected: each formula evaluated exactly from the same doubles, rounded to 16 digits;
// parameter slots not listed are zero.
struct Point { int id; double x; std::array<double, kMaxParms> p; double expected; };
const Point kBasicModels[] = {
    {0, 3.2, {2.5, -1.25}, 6.75}, {18, 1.2, {1, 0.3, 1.5, 0.2, 2, 0.6}, 0.2772667500442725},
    {1, 1.7, {1.5, -2, 0.75}, 1.685}, {9, 1.2, {1, 0.3, 1.5, 0.2, 2, 0.6}, 0.7354728979165831},
    {2, 2.3, {0.5, -1.5, 2, -3}, -0.2515000000000006}, {5, 1.5, {2, -0.3, 0.5}, 1.775256303243547},
    {3, 0.8, {3, 2, 1.5, 0.5, 0.25}, 2.563804915098901}, {30, 1.2, {1, 0.3, 2}, 0.5253377842261309},
    {4, 1.5, {2, -0.3, 0.5}, 1.224743696756453}, {7, 30.0, {1.2, 2, 0.4, 0.1}, 0.2479411852599952},
    {6, 135.0, {1.2, 0.7, 0.3}, 0.199211426043674}, {29, 0.7, {1, 0.5, -0.3}, 0.7893486524535824},
    {8, 3.4, {1, 2, 3, 0.5}, 2.379948962255225}, {33, 5.2, {1, 4.5, 2, 7, 3}, 2.714129925092365},
    {10, 0.5, {100, 2, 0.8}, -7.052285703798052}, {17, 1.3, {2, 1, 0.5, 0.1}, 1.770540422822544},
    {11, 0.5, {100, 0.8}, 53.52614285189902}, {19, 2.5, {1.5, 0.2, 3, 2, 0.4}, 3.664695131715463},
    {14, 7.1, {6.5, 1, 8, 0.9}, 2.566917972607186}, {34, 0.9, {2, 0.5, 1, 3}, 1.928584002875109},
    {28, 7.2, {0.2, 1e8, 1e6, 0.5}, 0.233513615787086}, {32, 3.3, {2, 1.5, 4}, 0.7946714567871483},
    // Closed-form points: T1_RELAX at x = 0 gives Mo (1 - W); PH_TITR at pH = pKa lies halfway.
    {10, 0.0, {100, 2, 0.8}, -100}, {14, 6.5, {6.5, 1, 8, 2.3}, 4.5},
    {6, 200.0, {1.2, 0.7, 0.3}, 1.540420012227579},  // cos < 0: the linear term's sign shows
};

// All values are taken before any is compared, so that a model that leaves its
// result unset cannot pick up the expected value from a stale stack slot.
TEST(BasicModels, ValuesFollowTheirFormulasWhateverTheSecondAbscissa) {
  const double x2s[] = {0.0, 123.456, -7.0};
  std::vector<double> got;
  for (const Point &pt : kBasicModels)
    for (double x2 : x2s) got.push_back(model(pt.id, pt.x, pt.p, x2));
  for (size_t i = 0; i < got.size(); ++i) {
    const Point &pt = kBasicModels[i / 3];
    EXPECT_NEAR(got[i], pt.expected, 1e-14 * std::fabs(pt.expected))
        << "id " << pt.id << " at x = " << pt.x << ", x2 = " << x2s[i % 3];
  }
}

TEST(BasicModels, ZeroDivisorStoresTheIeeeResult) {  // T2_RELAX with T2 = 0
  EXPECT_EQ(model(11, 0.5, {100, 0.0}), 0.0);
  EXPECT_TRUE(std::isnan(model(11, 0.0, {100, 0.0})));
  EXPECT_EQ(model(11, -0.5, {100, 0.0}), INFINITY);
}

}  // namespace
