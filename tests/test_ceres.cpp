// The Ceres method: the model templates on Ceres' Jet, the module's own
// contract, and that only "-ceres" loads Ceres at all.  Its accuracy is in
// test_reference.cpp, its endings and reports in the ceres_* end-to-end cases.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <ceres/jet.h>

#include "ceres_fit.h"
#include "models.h"
#include "support.h"
#include "program.h"

namespace {

// A point inside each model's domain: parameters and an x range.
struct ModelPoint {
  FitFuncId id;
  double p[kMaxParms];
  double xFrom, xTo, x2;
};

const ModelPoint kModelPoints[] = {
    {kLine, {1.1, 0.7}, -2, 3, 0},
    {kQuadratic, {1.1, 0.7, -1.3}, -2, 3, 0},
    {kCubic, {1.1, 0.7, -1.3, 0.9}, -2, 3, 0},
    {kSumExpon, {1.1, 0.7, 1.3, 2.9, 0.2}, 0, 5, 0},
    {kExp1, {1.1, -0.7, 0.3}, 0, 5, 0},
    {kExp2, {1.1, -0.7, 0.3}, 0, 5, 0},
    {kSinu3P, {1.1, 0.7, 0.3}, 0, 180, 0},
    {kSinu4P, {1.1, 0.7, 0.3, 0.2}, 0, 180, 0},
    {kSigmoid, {0.1, 1.2, 2.0, 0.6}, 0, 5, 0},
    {kSumLoren, {1.0, 0.4, 2.0, 0.3, 1.2, 0.5}, 0, 3, 0},
    {kT1Relax, {100, 1.9, 1.5}, 0, 8, 0},
    {kT2Relax, {100, 0.05}, 0, 0.2, 0},
    {kR2Dimer, {0.5, 20, 8}, 0.1, 4, 0},
    {kR2xDimer, {0.5, 20, 8, 0.01, 3}, 0.1, 4, 0},
    {kPhTitr, {6.5, 8.0, 8.6, 0.9}, 4, 9, 0},
    {kXy1, {1.2, 0.05}, 0.02, 1, 0.2},
    {kXy2, {1.1, 0.2, 1.3, 1.5}, 0.1, 3, 0.5},
    {kGauss, {0.4, 451, 4.1, 0.02}, 440, 460, 0},
    {kZDisp, {1.0, 0.4, 2.0, 0.3, 1.2, 0.5}, 0, 3, 0},
    {kZUcd, {1.1, 0.7, 0.3, 0.2, 0.5}, -2, 3, 0},
    {kZMeltMon, {1.0, 0.002, 0.2, 0.001, 80, 1.5, 330}, 20, 90, 0},
    {kZMeltDim, {1.0, 0.002, 0.2, 0.001, 80, 1.5, 330, 1e-5}, 20, 90, 0},
    {kZChemTri, {1.0, 0.01, 0.2, 0.02, 2, 0.5, 0.5, 0.59}, 0, 8, 0},
    {kZChemMonTri, {2, 0.5, 1.0, 0.2, 2, 0.5, 0.5, 0.59}, 0, 8, 0},
    {kZCpMonomer, {0.02, 5, -1e-5, 0.04, 3, 400, 330, 1e-5}, 300, 360, 0},
    {kZCpDim, {0.02, 5, -1e-5, 0.04, 3, 400, 330, 1e-5, 1e-5}, 300, 360, 0},
    {kZCpTrimer, {0.02, 5, -1e-5, 0.04, 3, 400, 330, 1e-5, 1e-5}, 300, 360, 0},
    {kZSigDim, {1.0, 0.01, 0.2, 0.02, 20000, -5000, 1e-5, 298}, 0, 8, 0},
    {kZAmidePh, {1.0, 1e9, 10, 0.1}, 2, 10, 0},
    {kCrystal, {1.1, 0.7, 0.3}, 0, 3, 0},
    {kLorentz, {1.0, 0.4, 1.2}, 0, 3, 0},
    {kIsodesmic, {2.0, 1.5, 0.1}, 0.01, 3, 0},
    {kUrea, {1.0, 2.0, 4.0}, 0, 8, 0},
    {kPhTitr2, {1.0, 4.0, 0.5, 8.0, 0.3}, 2, 10, 0},
    {kZSumExpon, {1.1, 0.7, 1.3, 2.9}, 0, 5, 0},
};

// The Jet instantiation carries the double one in its value part, and its
// derivatives agree with central differences, for every model.
TEST(CeresModels, JetValuesAreTheDoubleOnesAndDerivativesAreRight) {
  static_assert(sizeof kModelPoints / sizeof kModelPoints[0] == kFitFuncCount, "every model");
  using Jet = ceres::Jet<double, kMaxParms>;
  fill_catalogue();
  for (const ModelPoint &c : kModelPoints) {
    Jet p[kMaxParms];
    for (int k = 0; k < kMaxParms; ++k) p[k] = Jet(c.p[k], k);
    for (int i = 0; i <= 8; ++i) {
      const double x = c.xFrom + (c.xTo - c.xFrom) * i / 8;
      const double value = model_value(c.id, x, c.x2, c.p);
      const Jet jet = model_value(c.id, x, c.x2, p);
      ASSERT_TRUE(std::isfinite(value)) << kFitFuncKeyword[c.id] << " x " << x;
      // Jet divides by multiplying with the reciprocal: last-bit differences,
      // which the cancelling roots of the trimer models magnify.
      EXPECT_NEAR(jet.a, value, 1e-12 * std::fabs(value)) << kFitFuncKeyword[c.id] << " x " << x;
      for (int k = 0; k < fitParmNum[c.id]; ++k) {
        double up[kMaxParms], down[kMaxParms];
        std::copy(c.p, c.p + kMaxParms, up);
        std::copy(c.p, c.p + kMaxParms, down);
        const double h = 1e-6 * std::fabs(c.p[k]);
        up[k] += h;
        down[k] -= h;
        const double central = (model_value(c.id, x, c.x2, up) -
                                model_value(c.id, x, c.x2, down)) / (up[k] - down[k]);
        // Relative to the derivative, or to value / p where it vanishes.
        const double scale = std::fabs(central) + std::fabs(value) / std::fabs(c.p[k]);
        EXPECT_NEAR(jet.v[k], central, 1e-5 * scale)
            << kFitFuncKeyword[c.id] << " x " << x << " slot " << k;
      }
    }
  }
}

// The module's C interface refuses, with its own status and text, every
// problem a caller outside the program could hand it wrongly.
TEST(CeresModule, RefusesProblemsOutsideItsContract) {
  fill_catalogue();
  const double x[] = {1, 2, 3}, y[] = {2, 4, 6.1}, x2[] = {0, 0, 0};
  const double slots[] = {1, 0}, nanStart[] = {1, NAN};
  const int free[] = {0, 0}, held[] = {1, 1}, oneFree[] = {0, 1};
  struct Case {
    CeresFitProblem problem;
    const char *message;
  } const kCases[] = {
      {{-1, 2, free, slots, 3, x, y, x2, 50, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0}, "Undefined Fit Function"},
      {{kNumFitFuncs, 2, free, slots, 3, x, y, x2, 50, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0}, "Undefined Fit Function"},
      {{kLine, -1, free, slots, 3, x, y, x2, 50, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0}, "invalid problem"},
      {{kLine, kMaxParms + 1, free, slots, 3, x, y, x2, 50, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0}, "invalid problem"},
      {{kLine, 2, free, slots, 0, x, y, x2, 50, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0}, "invalid problem"},
      {{kLine, 2, free, slots, 3, x, y, x2, -1, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0}, "invalid problem"},
      {{kLine, 2, held, slots, 3, x, y, x2, 50, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0}, "no free parameter"},
      {{kLine, 2, free, slots, 1, x, y, x2, 50, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0}, "Fewer data points than free parameters"},
      {{kLine, 2, free, nanStart, 3, x, y, x2, 50, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0}, "non-finite start value"},
  };
  for (const Case &c : kCases) {
    CeresFitResult result;
    EXPECT_EQ(tavfit_ceres_fit(&c.problem, &result), kCeresBadProblem) << c.message;
    EXPECT_EQ(result.status, kCeresBadProblem) << c.message;
    EXPECT_STREQ(result.message, c.message);
  }
  // One point for one free parameter is enough.
  const CeresFitProblem exact = {kLine, 2, oneFree, slots, 1, x, y, x2, 50, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0};
  CeresFitResult result;
  EXPECT_NE(tavfit_ceres_fit(&exact, &result), kCeresBadProblem) << result.message;
}

// Finite data whose cost or gradient overflows: a solver failure, where Ceres
// alone would call the unchanged start converged.
TEST(CeresModule, OverflowIsASolverFailure) {
  fill_catalogue();
  const double x2[] = {0, 0, 0}, start[] = {0, 0};
  const int free[] = {0, 0};
  struct Case {
    double x[3], y[3];
    const char *message;
  } const kCases[] = {
      {{0, 1, 2}, {2e155, 1e155, 3e155}, "The cost is not a finite number at iteration 0."},
      {{1e250, 2e250, 3e250}, {1e100, 2e100, 3.1e100},
       "The gradient is not a finite number at iteration 0."},
  };
  for (const Case &c : kCases) {
    const CeresFitProblem problem = {kLine, 2, free, start, 3, c.x, c.y, x2, 50, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0};
    CeresFitResult result;
    EXPECT_EQ(tavfit_ceres_fit(&problem, &result), kCeresSolverFailure) << c.message;
    EXPECT_STREQ(result.message, c.message);
  }
}

// The shared objects the dynamic loader opens for a run, one per line.
std::string loaded_objects(const std::string &args) {
  const std::string dir = tavtest::make_temp_dir();
  const std::string command = "cd '" + dir + "' && LD_DEBUG=files '" TAVFIT_BIN "' " + args +
                              " 2>&1 >/dev/null | grep -o 'file=[^ ]*'";
  std::string text;
  if (FILE *pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    pclose(pipe);
  }
  return text;
}

TEST(CeresModule, OnlyACeresRunLoadsCeres) {
  const std::string data = tavtest::test_data("Misra1a.dat");
  const std::string common = "-d '" + data + "' -fit EXP1 -parms 250:-0.0005:=0 -o v -short s";
  const std::string plain = loaded_objects(common);
  const std::string levmar = loaded_objects(common + " -levmar");
  const std::string ceres = loaded_objects(common + " -ceres");
  ASSERT_NE(plain.find("file=libc.so"), std::string::npos) << plain;  // LD_DEBUG works here
  for (const std::string &run : {plain, levmar}) {
    EXPECT_EQ(run.find("ceres"), std::string::npos) << run;
    EXPECT_EQ(run.find("glog"), std::string::npos) << run;
  }
  EXPECT_NE(ceres.find("tavfit_ceres.so"), std::string::npos) << ceres;
  EXPECT_NE(ceres.find("libglog"), std::string::npos) << ceres;  // one of Ceres' own
}

// Runs a copy of the program in dir (which holds whatever module the test put
// there) on a small fit with -json r.json; a hang ends after 30 s as status 124.
tavtest::RunResult run_copy(const std::string &dir) {
  tavtest::write_file(dir + "/tavfit", tavtest::read_file(TAVFIT_BIN));
  EXPECT_EQ(chmod((dir + "/tavfit").c_str(), 0755), 0);
  const std::string command = "cd '" + dir + "' && timeout 30 ./tavfit -d '" +
                              tavtest::test_data("Misra1a.dat") +
                              "' -fit EXP1 -parms 250:-0.0005:=0 -ceres -json r.json";
  tavtest::RunResult run{"", "", -1};
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.out += buffer;
  run.status = WEXITSTATUS(pclose(pipe));
  return run;
}

// A copy of the program away from its module (and no module installed where
// the program would look next) ends with a clear message, not a crash.
TEST(CeresModule, MissingModuleIsFatal) {
  if (tavtest::file_exists(TAVFIT_MODULE_DIR "/tavfit_ceres.so")) GTEST_SKIP() << "installed";
  const tavtest::RunResult run = run_copy(tavtest::make_temp_dir());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, " Fatal Error Detected!\n Message: Ceres module tavfit_ceres.so not found next to "
                     "the program or in " TAVFIT_MODULE_DIR ".\n");
}

// A truncated module, one with a byte changed, and a FIFO in its place are
// refused before the loader sees them (which would crash on the first two and
// hang on the third), and the JSON file records the failure.
TEST(CeresModule, DamagedModuleIsRefused) {
  const std::string module = tavtest::read_file(TAVFIT_MODULE);
  ASSERT_GT(module.size(), 100000u);
  std::string flipped = module;
  flipped[module.size() / 2] ^= 0x20;
  struct Case {
    const char *name;
    std::string content;  // a FIFO when empty
    std::string reason;
  } const kCases[] = {
      {"truncated", module.substr(0, 100000),
       "100000 bytes, not the " + std::to_string(module.size()) +
           " of the module this program was built with"},
      {"flipped", flipped, "its contents differ from the module this program was built with"},
      {"fifo", "", "not a regular file"},
  };
  for (const Case &c : kCases) {
    const std::string dir = tavtest::make_temp_dir(), path = dir + "/tavfit_ceres.so";
    if (c.content.empty())
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    else
      tavtest::write_file(path, c.content);
    const tavtest::RunResult run = run_copy(dir);
    const std::string message = "Unable to load the Ceres module: " + path + ": " + c.reason;
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_EQ(run.out, " Fatal Error Detected!\n Message: " + message + "\n") << c.name;
    const std::string json = tavtest::read_file(dir + "/r.json");
    EXPECT_NE(json.find("\"status\": \"failed\""), std::string::npos) << c.name << json;
    EXPECT_NE(json.find("\"message\": \"" + message + "\""), std::string::npos) << c.name << json;
  }
}

}  // namespace
