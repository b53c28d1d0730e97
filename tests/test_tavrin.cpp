// The TAVRIN engine: derivatives and the update step, on a state of its own.
// Reference fits are in test_nist.cpp, endings seen through the binary in the
// tavrin_* end-to-end cases.

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "tavrin.h"

namespace {

// A problem over the given points (x2 = 0), with holds.
struct Engine {
  std::vector<double> x, y, x2, start;
  std::vector<int> hold;
  FitProblem problem;
  MethodOutput out;

  Engine(FitFuncId id, std::vector<double> p, std::vector<int> h, std::vector<double> px,
        std::vector<double> py)
      : x(std::move(px)), y(std::move(py)), x2(x.size(), 0.0), start(std::move(p)),
        hold(std::move(h)) {
    const int P = static_cast<int>(start.size());
    problem = {id, P, {x.data(), y.data(), x2.data(), static_cast<int>(x.size())},
               start.data(), hold.data(), free_slots(P, hold.data()), 500};
  }
};

// Noisy points near a line and their least-squares line (exact rational arithmetic).
const std::vector<double> kX = {0, 1, 2, 4, 5}, kY = {1.1, 2.9, 5.2, 9.1, 10.8};
const double kStart[2] = {3, -2}, kFit[2] = {1.9686046511627908, 1.0953488372093023};

TEST(CalcDeriv, BuildsNormalEquationsOfTheFreeParametersAndRestoresThem) {
  // 0.5x^2 + 7x - 2, middle held: free columns x^2 and 1, residuals 4.5, 14, 20.5, 29.
  Engine s(kQuadratic, {0.5, 7, -2}, {0, 1, 0}, {1, 2, 3, 4}, {1, 0, 3, 5});
  TavrinState st = tavrin_state(s.problem, s.out);
  std::vector<double> p = s.start;
  ASSERT_TRUE(calc_deriv(st, p.data()));
  const double want[6] = {709, 68, 354, 30, 30, 4};  // J^T r, then J^T J by rows
  const double got[6] = {st.cVec[0],    st.cVec[1],    st.mMat[0][0],
                         st.mMat[0][1], st.mMat[1][0], st.mMat[1][1]};
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(got[i], want[i], 1e-9 * want[i]) << i;
  EXPECT_EQ(p, s.start);
}

TEST(SetNewParms, StraightLineClosesATenthOfTheGapPerUpdate) {
  Engine s(kLine, {kStart[0], kStart[1]}, {0, 0}, kX, kY);
  TavrinState st = tavrin_state(s.problem, s.out);
  std::vector<double> p = s.start;
  for (int update = 1; update <= 40; ++update) {
    ASSERT_TRUE(calc_deriv(st, p.data()));
    ASSERT_TRUE(set_new_parms(st, p.data()));
    const double left = std::pow(0.9, update);
    for (int j = 0; j < 2; ++j)
      ASSERT_NEAR(p[j] - kFit[j], (kStart[j] - kFit[j]) * left, 1e-12 * left) << update;
  }
}

}  // namespace
