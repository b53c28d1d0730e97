// End-to-end fits of the binding, melting and heat-capacity families: noisy
// synthetic data from known parameters, fitted by the binary from start values
// 5-20 % off, must give back every free parameter within a few of its reported
// standard deviations.
#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "tavfit.h"

namespace {

struct FitCase {
  const char *name, *keyword;
  int id;
  std::vector<double> truth, start;  // start values of the held parameters are unused
  std::vector<int> held;             // 1 = held at its true value
  double from, to, x2;               // abscissa range; x2 > 0 writes three columns
  int points;
  double noise;  // standard deviation of the Gaussian noise
};

// Deterministic noise: the Mersenne twister's sequence is fixed by the C++
// standard, and Box-Muller turns pairs of uniforms into normals.
std::string make_data(const FitCase &c) {
  std::mt19937 gen(20240611u);
  auto uniform = [&gen] { return (gen() + 0.5) / 4294967296.0; };
  std::vector<double> p = c.truth;
  p.resize(kMaxParms, 0.0);
  std::string text = "# synthetic " + std::string(c.keyword) + "\n";
  for (int i = 0; i < c.points; ++i) {
    const double x = c.from + (c.to - c.from) * i / (c.points - 1);
    const double u1 = uniform(), u2 = uniform();
    double y;
    fnf(c.id, &y, x, c.x2, p.data());
    y += c.noise * std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    char line[128];
    std::snprintf(line, sizeof line, c.x2 > 0 ? "%.17g %.17g %.17g\n" : "%.17g %.17g\n", x, y, c.x2);
    text += line;
  }
  return text;
}

std::string parms_word(const FitCase &c) {
  std::string word;
  char field[64];
  for (size_t i = 0; i < c.truth.size(); ++i) {
    std::snprintf(field, sizeof field, c.held[i] ? "=%.17g:" : "%.17g:",
                  c.held[i] ? c.truth[i] : c.start[i]);
    word += field;
  }
  return word;
}

const FitCase kCases[] = {
    {"Xy1ThreeColumns", "XY1", 15, {1.2, 0.05}, {1.08, 0.058}, {0, 0}, 0.02, 1.0, 0.2, 25, 0.004},
    // Slopes and heat-capacity change held; the midpoint is 330 K.
    {"MeltMonomer", "Z_MELT_MON", 20, {1.0, 0.002, 0.2, 0.001, 80, 1.5, 330},
     {0.92, 0, 0.22, 0, 70, 0, 313.5}, {0, 1, 0, 1, 0, 1, 0}, 20, 90, 0, 36, 0.005},
    // Native and unfolded heat capacities held: enthalpy and midpoint fitted.
    {"CpMonomer", "Z_CP_MONOMER", 24, {0.02, 5.0, -1e-5, 0.04, 3.0, 400, 330, 1e-5},
     {0, 0, 0, 0, 0, 440, 313.5, 0}, {1, 1, 1, 1, 1, 0, 0, 1}, 300, 360, 0, 41, 0.2},
};

void run_and_check(const FitCase &c, const std::vector<std::string> &method) {
  const std::string dir = tavtest::make_temp_dir();
  tavtest::write_file(dir + "/curve.dat", make_data(c));
  std::vector<std::string> args = {"-d", "curve.dat", "-fit", c.keyword, "-parms", parms_word(c),
                                   "-o", "fit.out", "-short", "fit.short"};
  args.insert(args.end(), method.begin(), method.end());
  const tavtest::RunResult run = tavtest::run_tavfit(args, dir);
  ASSERT_EQ(run.status, 0) << run.out;

  std::istringstream in(tavtest::read_file(dir + "/fit.short"));
  for (size_t i = 0; i < c.truth.size(); ++i) {
    double value = NAN, sd = NAN;
    ASSERT_TRUE(in >> value >> sd) << "parameter " << i;
    SCOPED_TRACE(testing::Message() << "parameter " << i << ": " << value << " +- " << sd);
    if (c.held[i]) {
      EXPECT_NEAR(value, c.truth[i], 1e-4 * std::fabs(c.truth[i]));
      EXPECT_EQ(sd, 0.0);
    } else {
      EXPECT_GT(sd, 0.0);
      EXPECT_LT(sd, 0.05 * std::fabs(c.truth[i]));  // the data pin the parameter down
      EXPECT_NEAR(value, c.truth[i], 4 * sd);
    }
  }
  double rmse = NAN;
  int iterations = -1;
  ASSERT_TRUE(in >> rmse >> iterations);
  EXPECT_NEAR(rmse, c.noise, 0.3 * c.noise);
  EXPECT_GT(iterations, 0);
}

void PrintTo(const FitCase &c, std::ostream *os) { *os << c.name; }

class BioFit : public ::testing::TestWithParam<FitCase> {};

TEST_P(BioFit, TavrinRecoversTrueParameters) { run_and_check(GetParam(), {}); }
TEST_P(BioFit, LevmarRecoversTrueParameters) { run_and_check(GetParam(), {"-levmar"}); }

INSTANTIATE_TEST_SUITE_P(Families, BioFit, ::testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<FitCase> &info) {
                           return std::string(info.param.name);
                         });

TEST(BioFitFailure, Xy2StartAtFourTimesKd1StopsWithMessage) {
  const std::string dir = tavtest::make_temp_dir();
  tavtest::write_file(dir + "/curve.dat", "0.1 0.15 0.3\n0.5 0.6 0.3\n1.0 0.9 0.3\n");
  const tavtest::RunResult run = tavtest::run_tavfit(
      {"-d", "curve.dat", "-fit", "XY2", "-parms", "0.8:1:1.5:4", "-short", "s"}, dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, " Fatal Error Detected!\n Message: Function not defined when kd2 <= 4 * kd1\n");
  EXPECT_EQ(tavtest::read_file(dir + "/s"), "");
}

}  // namespace
