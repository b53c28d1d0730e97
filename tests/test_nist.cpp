// Fits of the NIST StRD reference data sets in tests/data through the binary,
// with both methods, against the certified values of nist_manifest.tsv.
#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace {

struct ReferenceRun {
  std::string name, fit, start, parms;
  std::vector<std::string> certified, certifiedSd;  // '=' marks a held parameter
};

std::vector<std::string> split(const std::string &text, char sep) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
  return parts;
}

std::vector<ReferenceRun> read_manifest() {
  std::vector<ReferenceRun> runs;
  std::istringstream manifest(tavtest::read_file(tavtest::test_data("nist_manifest.tsv")));
  for (std::string line; std::getline(manifest, line);) {
    const std::vector<std::string> f = split(line, '\t');
    if (line.empty() || line[0] == '#' || f[0] == "name") continue;
    runs.push_back({f[0], f[1], f[2], f[3], split(f[4], ':'), split(f[5], ':')});
  }
  return runs;
}

// The short report of one fit: (value, SD) per parameter.
std::vector<std::pair<double, double>> fit(const ReferenceRun &run, bool levmar) {
  const std::string out = tavtest::make_temp_dir() + "/s.txt";
  std::vector<std::string> args = {"-d", tavtest::test_data(run.name + ".dat"), "-fit", run.fit,
                                   "-parms", run.parms, "-short", out};
  if (levmar) args.push_back("-levmar");
  const tavtest::RunResult result = tavtest::run_tavfit(args);
  EXPECT_EQ(result.status, 0) << run.name << " start " << run.start << "\n" << result.out;
  std::istringstream report(tavtest::read_file(out));
  std::vector<std::pair<double, double>> values(run.certified.size(), {NAN, NAN});
  for (auto &[value, sd] : values) report >> value >> sd;
  return values;
}

// TAVRIN: values agree to the five digits of the short report or within a
// tenth of the certified SD; the 2 % derivative step bends the SDs of EXP1 by
// some 2 %.
TEST(ReferenceData, TavrinReachesTheCertifiedValuesAndDeviations) {
  int checked = 0;
  for (const ReferenceRun &run : read_manifest()) {
    if (run.name != "Norris" && run.name != "Pontius" && run.name != "Misra1a") continue;
    ++checked;
    const auto got = fit(run, false);
    for (size_t k = 0; k < run.certified.size(); ++k) {
      if (run.certified[k][0] == '=') continue;
      const double want = std::stod(run.certified[k]), wantSd = std::stod(run.certifiedSd[k]);
      const double digits = std::pow(10.0, std::floor(std::log10(std::fabs(want))) - 4);
      const double sdTol = (run.fit == "EXP1" ? 0.025 : 1e-3) * wantSd;
      EXPECT_NEAR(got[k].first, want, std::max(digits, 0.1 * wantSd))
          << run.name << " start " << run.start;
      EXPECT_NEAR(got[k].second, wantSd, sdTol) << run.name << " start " << run.start;
    }
  }
  EXPECT_EQ(checked, 6);
}

// levmar, from the starts where a forward-difference Levenberg-Marquardt
// reaches the certified minimum (the others stall or step into an overflow):
// values to the five digits of the short report.
TEST(ReferenceData, LevmarReachesTheCertifiedValues) {
  const std::vector<std::pair<std::string, std::string>> reached = {
      {"Norris", "1"}, {"Norris", "2"}, {"Misra1a", "2"},  {"BoxBOD", "2"},
      {"Rat42", "1"},  {"Rat42", "2"},  {"Eckerle4", "2"}, {"MGH17", "2"}};
  int checked = 0;
  for (const ReferenceRun &run : read_manifest()) {
    if (std::find(reached.begin(), reached.end(), std::make_pair(run.name, run.start)) ==
        reached.end())
      continue;
    ++checked;
    const auto got = fit(run, true);
    for (size_t k = 0; k < run.certified.size(); ++k) {
      const std::string &c = run.certified[k];
      const double want = std::stod(c[0] == '=' ? c.substr(1) : c);
      EXPECT_NEAR(got[k].first, want, 5e-5 * std::fabs(want) + 1e-300)
          << run.name << " start " << run.start;
    }
  }
  EXPECT_EQ(checked, static_cast<int>(reached.size()));
}

}  // namespace
