// The levmar driver: packing of held parameters.  Reference fits are in
// test_nist.cpp, endings seen through the binary in the levmar_* cases.
#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "program.h"

namespace {

// Both methods, with one slot held and with all held: a held slot gets
// standard deviation 0, a free one a positive one, and the slots beyond the
// model's parameters stay as they were.
TEST(FitMethods, WriteOnlyTheModelsParameterSlots) {
  const struct {
    int method;
    bool allHeld;
  } kRuns[] = {{kMethodLevmar, false}, {kMethodTavrin, false}, {kMethodLevmar, true}};
  for (const auto &[method, allHeld] : kRuns) {
    tavtest::reset_run_state();
    fitFunc = 1;  // QUADRATIC, A0 held
    numParms = 3;
    fitMethod = method;
    const double start[kMaxParms] = {0.5, 1, 1, 4, 4, 4, 4, 4, 4, 4};
    std::copy(start, start + kMaxParms, fitParms);
    std::fill(fitStdDev, fitStdDev + kMaxParms, -5.0);
    holdConstFlag[0] = 1;
    if (allHeld) holdConstFlag[1] = holdConstFlag[2] = 1;
    tavtest::load_points({0, 1, 2, 3, 4}, {1.2, 2.4, 5.1, 8.4, 12.9});
    testing::internal::CaptureStdout();
    EXPECT_EQ(method == kMethodLevmar ? do_levmar() : do_iterations(fitParms, fitStdDev), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(fitParms[0], 0.5) << method;
    EXPECT_EQ(fitStdDev[0], 0.0) << method;
    EXPECT_TRUE(allHeld ? fitStdDev[1] == 0 && fitStdDev[2] == 0
                        : fitStdDev[1] > 0 && fitStdDev[2] > 0)
        << method;
    EXPECT_EQ(std::vector<double>(fitParms + 3, fitParms + kMaxParms), std::vector<double>(7, 4.0));
    EXPECT_EQ(std::vector<double>(fitStdDev + 3, fitStdDev + kMaxParms), std::vector<double>(7, -5.0));
  }
}

}  // namespace
