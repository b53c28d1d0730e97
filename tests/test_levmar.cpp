// The levmar driver: packing of held parameters.  Reference fits are in
// test_nist.cpp, endings seen through the binary in the levmar_* cases.
#include <gtest/gtest.h>

#include "support.h"
#include "tavfit.h"

namespace {

TEST(LevmarCallback, TakesHeldSlotsFromFitParmsAndFreeOnesInSlotOrder) {
  tavtest::reset_run_state();
  fitFunc = 1;  // QUADRATIC: A0*x*x + A1*x + A2
  fitParms[0] = 2.0, holdConstFlag[0] = 1;
  fitParms[1] = 99.0, holdConstFlag[1] = 0;
  fitParms[2] = 7.0, holdConstFlag[2] = 1;
  tavtest::load_points({1.0, 3.0}, {0.0, 0.0});
  double free[1] = {5.0};
  double hx[2];
  do_function(free, hx, 1, 2, nullptr);
  EXPECT_EQ(hx[0], 2.0 * 1 * 1 + 5.0 * 1 + 7.0);
  EXPECT_EQ(hx[1], 2.0 * 3 * 3 + 5.0 * 3 + 7.0);
}

}  // namespace
