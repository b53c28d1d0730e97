// The levmar driver: packing of held parameters and reference fits.
#include <cmath>
#include <fstream>
#include <sstream>

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

std::vector<std::string> split(const std::string &text, char sep) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
  return parts;
}

// NIST StRD sets from the starts where a forward-difference Levenberg-Marquardt
// reaches the certified minimum (the others stall or step into an overflow).
TEST(LevmarReference, ReachesCertifiedValuesToReportedDigits) {
  const std::vector<std::pair<std::string, std::string>> runs = {
      {"Norris", "1"}, {"Norris", "2"},   {"Misra1a", "2"}, {"BoxBOD", "2"},
      {"Rat42", "1"},  {"Rat42", "2"},    {"Eckerle4", "2"}, {"MGH17", "2"}};
  std::ifstream manifest(tavtest::test_data("nist_manifest.tsv"));
  const std::string dir = tavtest::make_temp_dir();
  int checked = 0;
  for (std::string line; std::getline(manifest, line);) {
    const std::vector<std::string> f = split(line, '\t');
    if (line[0] == '#' || f[0] == "name") continue;
    if (std::find(runs.begin(), runs.end(), std::make_pair(f[0], f[2])) == runs.end()) continue;
    const std::string dataFile = tavtest::test_data(f[7].substr(f[7].find('/') + 1));
    const tavtest::RunResult run = tavtest::run_tavfit(
        {"-d", dataFile, "-fit", f[1], "-parms", f[3], "-levmar", "-o", dir + "/v", "-short",
         dir + "/s"});
    ASSERT_EQ(run.status, 0) << f[0] << " start " << f[2] << "\n" << run.out;
    std::istringstream shortReport(tavtest::read_file(dir + "/s"));
    for (const std::string &certified : split(f[4], ':')) {
      double value, sd;
      shortReport >> value >> sd;
      const double expected = std::stod(certified[0] == '=' ? certified.substr(1) : certified);
      // The short report carries five significant digits.
      EXPECT_NEAR(value, expected, 5e-5 * std::fabs(expected) + 1e-300)
          << f[0] << " start " << f[2];
    }
    ++checked;
  }
  EXPECT_EQ(checked, static_cast<int>(runs.size()));
}

}  // namespace
