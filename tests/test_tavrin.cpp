// The TAVRIN engine: derivatives and the update step.
// Reference fits are in test_nist.cpp, endings seen through the binary in the
// tavrin_* end-to-end cases.

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "tavfit.h"

namespace {

void setup(int id, const std::vector<double> &p, const std::vector<int> &hold,
           const std::vector<double> &x, const std::vector<double> &y) {
  tavtest::reset_run_state();
  fitFunc = id;
  numParms = fitParmNum[id];
  std::copy(p.begin(), p.end(), fitParms);
  std::copy(hold.begin(), hold.end(), holdConstFlag);
  tavrin_set_free_count(static_cast<int>(std::count(hold.begin(), hold.end(), 0)));
  tavtest::load_points(x, y);
}

// Noisy points near a line and their least-squares line (exact rational arithmetic).
const std::vector<double> kX = {0, 1, 2, 4, 5}, kY = {1.1, 2.9, 5.2, 9.1, 10.8};
const double kStart[2] = {3, -2}, kFit[2] = {1.9686046511627908, 1.0953488372093023};

TEST(CalcDeriv, BuildsNormalEquationsOfTheFreeParametersAndRestoresThem) {
  // 0.5x^2 + 7x - 2, middle held: free columns x^2 and 1, residuals 4.5, 14, 20.5, 29.
  setup(1, {0.5, 7, -2}, {0, 1, 0}, {1, 2, 3, 4}, {1, 0, 3, 5});
  EXPECT_EQ(calc_deriv(fitParms), 0);
  const TavrinState st = tavrin_state();
  const double want[6] = {709, 68, 354, 30, 30, 4};  // J^T r, then J^T J by rows
  const double got[6] = {st.cVec[0],    st.cVec[1],    st.mMat[0][0],
                         st.mMat[0][1], st.mMat[1][0], st.mMat[1][1]};
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(got[i], want[i], 1e-9 * want[i]) << i;
  EXPECT_EQ(std::vector<double>(fitParms, fitParms + 3), std::vector<double>({0.5, 7, -2}));
}

TEST(SetNewParms, StraightLineClosesATenthOfTheGapPerUpdate) {
  setup(0, {kStart[0], kStart[1]}, {0, 0}, kX, kY);
  for (int update = 1; update <= 40; ++update) {
    calc_deriv(fitParms);
    ASSERT_EQ(set_new_parms(fitParms), 0);
    const double left = std::pow(0.9, update);
    for (int j = 0; j < 2; ++j)
      ASSERT_NEAR(fitParms[j] - kFit[j], (kStart[j] - kFit[j]) * left, 1e-12 * left) << update;
  }
}

}  // namespace
