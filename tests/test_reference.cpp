// The NIST StRD reference problems of tests/data, fitted through the
// library with each method, against the certified values and standard
// deviations of nist_manifest.tsv.
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tavfit/tavfit.h>

#include "program.h"
#include "support.h"

namespace {

std::vector<std::string> split(const std::string &text, char sep) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
  return parts;
}

struct Reference {
  std::string name, start;       // the data set and which of its two starts
  tavfit::Problem problem;       // as -parms gives it
  std::vector<double> value, sd; // certified, one per parameter
};

std::vector<Reference> references() {
  std::vector<Reference> all;
  std::istringstream manifest(tavtest::read_file(tavtest::test_data("nist_manifest.tsv")));
  for (std::string line; std::getline(manifest, line);) {
    const std::vector<std::string> f = split(line, '\t');
    if (line.empty() || line[0] == '#' || f[0] == "name") continue;
    double x[kMaxData], y[kMaxData], x2[kMaxData];
    int n = 0, columns = 0;
    read_crv_data(tavtest::test_data(f[0] + ".dat").c_str(), x, y, x2, &n, &columns);
    Reference r{f[0], f[2], {*tavfit::find_model(f[1]), {{x, x + n}, {y, y + n}}, {}}, {}, {}};
    double values[kMaxParms];
    int hold[kMaxParms];
    const int given = read_parms(f[3].c_str(), values, hold);
    for (int k = 0; k < given; ++k) {
      r.problem.start.push_back(values[k]);
      r.problem.held.push_back(hold[k] == 1);
    }
    for (const std::string &c : split(f[4], ':')) r.value.push_back(std::stod(c.substr(c[0] == '=')));
    for (const std::string &c : split(f[5], ':')) r.sd.push_back(c == "-" ? 0 : std::stod(c));
    all.push_back(r);
  }
  return all;
}

// Correct significant digits of value against reference (17 when equal).
double digits(double value, double reference) {
  const double error = std::fabs(value - reference) / std::fabs(reference);
  return error == 0 ? 17 : -std::log10(error);
}

// TAVRIN: values agree to five digits or within a tenth of the certified SD;
// the 2 % derivative step bends the SDs of EXP1 by some 2 %.
TEST(ReferenceData, TavrinReachesTheCertifiedValuesAndDeviations) {
  int checked = 0;
  for (const Reference &ref : references()) {
    if (ref.name != "Norris" && ref.name != "Pontius" && ref.name != "Misra1a") continue;
    ++checked;
    const tavfit::FitResult r = tavfit::fit(ref.problem, tavfit::Method::Tavrin);
    ASSERT_TRUE(r.ok) << ref.name << " " << ref.start << ": " << r.message;
    for (int k : r.free) {
      const double tenDigits = std::pow(10.0, std::floor(std::log10(std::fabs(ref.value[k]))) - 4);
      const double sdTol = (ref.problem.model.keyword == "EXP1" ? 0.025 : 1e-3) * ref.sd[k];
      EXPECT_NEAR(r.value[k], ref.value[k], std::max(tenDigits, 0.1 * ref.sd[k])) << ref.name;
      EXPECT_NEAR(r.sd[k], ref.sd[k], sdTol) << ref.name << " " << ref.start;
    }
  }
  EXPECT_EQ(checked, 6);
}

// levmar, from the starts where a forward-difference Levenberg-Marquardt
// reaches the certified minimum (the others stall or step into an
// overflow): values to five digits.
TEST(ReferenceData, LevmarReachesTheCertifiedValues) {
  const std::vector<std::string> reached = {"Norris 1",  "Norris 2", "Misra1a 2",  "BoxBOD 2",
                                            "Rat42 1",   "Rat42 2",  "Eckerle4 2", "MGH17 2"};
  int checked = 0;
  for (const Reference &ref : references()) {
    if (std::find(reached.begin(), reached.end(), ref.name + " " + ref.start) == reached.end())
      continue;
    ++checked;
    const tavfit::FitResult r = tavfit::fit(ref.problem, tavfit::Method::Levmar);
    ASSERT_TRUE(r.ok) << ref.name << " " << ref.start << ": " << r.message;
    for (size_t k = 0; k < ref.value.size(); ++k)
      EXPECT_NEAR(r.value[k], ref.value[k], 5e-5 * std::fabs(ref.value[k]) + 1e-300) << ref.name;
  }
  EXPECT_EQ(checked, static_cast<int>(reached.size()));
}

// Ceres on each problem: 9 or more correct digits in every free parameter
// and SD, except BoxBOD from its far start, where the rate runs onto the
// plateau of the exponential and the fit must not pass for a solution.
// Prints the digits for the record; returns how many problems were solved.
int expect_nine_digits(const std::vector<Reference> &refs, const std::string &tag) {
  tavfit::Options options;
  options.max_iterations = 1000;  // MGH17 from its far start takes 554
  int solved = 0;
  for (const Reference &ref : refs) {
    const tavfit::FitResult r = tavfit::fit(ref.problem, tavfit::Method::Ceres, options);
    if (ref.name == "BoxBOD" && ref.start == "1") {
      EXPECT_FALSE(r.ok);
      continue;
    }
    EXPECT_TRUE(r.ok) << ref.name << " " << ref.start << tag << ": " << r.message;
    if (!r.ok) continue;
    std::string table;
    for (int k : r.free) {
      // Eckerle4's Gaussian depends on its width only through its square;
      // from the first start the fit finds the negative width.
      const bool signFree = ref.name == "Eckerle4" && k == 2;
      const double value = digits(signFree ? std::fabs(r.value[k]) : r.value[k], ref.value[k]);
      const double sd = digits(r.sd[k], ref.sd[k]);
      EXPECT_GE(value, 9.0) << ref.name << " " << ref.start << tag << " parameter " << k;
      EXPECT_GE(sd, 9.0) << ref.name << " " << ref.start << tag << " SD " << k;
      table += format_msg(" %.1f/%.1f", value, sd);
    }
    ++solved;
    std::printf("[ digits   ] %-18s%s\n", (ref.name + " start " + ref.start + tag).c_str(),
                table.c_str());
  }
  return solved;
}

TEST(ReferenceData, CeresReachesNineDigitsOnEveryCertifiedProblem) {
  if (!TAVFIT_HAVE_CERES) GTEST_SKIP() << "built without the Ceres method";
  EXPECT_EQ(expect_nine_digits(references(), ""), 13);
}

// The same problems with each model typed as a formula, in the program's
// parameter order but written as a user would (x^2, the Gaussian's 2 w^2):
// Ceres differentiates the formula exactly, and reaches 9 or more correct
// digits in every free parameter and SD, as with the built-in models.
TEST(ReferenceData, CeresReachesNineDigitsWithTheModelsTypedAsFormulas) {
  if (!TAVFIT_HAVE_CERES) GTEST_SKIP() << "built without the Ceres method";
  const std::map<std::string, std::string> kFormulas = {
      {"LINE", "A0*x + A1"},
      {"QUADRATIC", "A0*x^2 + A1*x + A2"},
      {"EXP1", "A0*(1 - exp(A1*x)) + A2"},
      {"SIGMOID", "A0 + A1/(1 + exp(-(x - A2)/A3))"},
      {"GAUSS", "A0*exp(-(x - A1)^2/(2*A2^2)) + A3"},
      // MGH17 from its far start ends in a long flat valley, where
      // Ceres stops depends on the last bits of the model: written
      // A0*exp(-x/A1) + A2*exp(-x/A3) + A4 it stops at 7.9 to 8.6 digits,
      // grouped as here at 9.5 to 12.7, as the built-in text at 9.8 to 11.6.
      {"SUM_EXPON", "A0*exp(-x/A1) + (A2*exp(-x/A3) + A4)"},
  };
  std::vector<Reference> typed = references();
  for (Reference &ref : typed) {
    const std::string keyword = ref.problem.model.keyword;
    ref.problem.model = tavfit::parse_model(kFormulas.at(keyword));
    ASSERT_EQ(ref.problem.model.parameters.size(), ref.value.size()) << keyword;
  }
  EXPECT_EQ(expect_nine_digits(typed, " typed"), 13);
}

// The check of every answer flags exactly the fits that are not the
// least-squares minimum: levmar's Misra1a from its first start (96 SDs off)
// and its Pontius SDs (the quadratic term's by a factor of 10^12), TAVRIN's
// Eckerle4 from both starts (stuck on the plateau of the Gaussian from the
// first, half an SD off from the second); never Ceres.
TEST(ReferenceData, TheCheckFlagsExactlyTheAnswersThatAreOff) {
  const char *const kMethodNames[] = {"tavrin", "levmar", "ceres"};
  const std::vector<std::string> off = {"Pontius 1 levmar", "Pontius 2 levmar",
                                        "Misra1a 1 levmar", "Eckerle4 1 tavrin",
                                        "Eckerle4 2 tavrin"};
  tavfit::Options options;
  options.max_iterations = 1000;
  std::vector<std::string> flagged;
  for (const Reference &ref : references())
    for (int k = 0; k < 3; ++k) {
      if (k == 2 && !TAVFIT_HAVE_CERES) continue;
      const tavfit::FitResult r = tavfit::fit(ref.problem, static_cast<tavfit::Method>(k), options);
      if (!r.ok) continue;
      const std::string name = ref.name + " " + ref.start + " " + kMethodNames[k];
      ASSERT_TRUE(r.check.done) << name;
      if (!r.check.at_minimum) flagged.push_back(name);
      // Distance from the minimum and SD error, for the record.
      std::printf("[ check    ] %-20s %10.3g SD %10.3g\n", name.c_str(), r.check.distance_sd,
                  r.check.sd_relative_error);
    }
  EXPECT_EQ(flagged, off);
}

}  // namespace
