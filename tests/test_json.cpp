// The JSON result file: its figures against the short report, against
// statistics computed here independently, and against NIST's certified values.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support.h"
#include "program.h"

namespace {

using nlohmann::json;

struct Fit {
  json doc;
  std::vector<std::string> shortReport;  // one entry per line
  tavtest::RunResult run;
};

Fit run_fit(const std::string &data, std::vector<std::string> args) {
  const std::string dir = tavtest::make_temp_dir();
  tavtest::write_file(dir + "/data.dat", data);
  args.insert(args.end(), {"-d", "data.dat", "-json", "fit.json", "-short", "s.txt", "-o", "v.txt"});
  Fit fit;
  fit.run = tavtest::run_tavfit(args, dir);
  fit.doc = json::parse(tavtest::read_file(dir + "/fit.json"));
  std::istringstream lines(tavtest::read_file(dir + "/s.txt"));
  for (std::string line; std::getline(lines, line);) fit.shortReport.push_back(line);
  return fit;
}

std::string g5(double value) {
  char text[64];
  std::snprintf(text, sizeof text, " %10.5g", value);
  return text;
}

const std::string kLine = "1 2.1\n2 3.9\n3 6.2\n4 7.8\n5 10.1\n";

// y = a x + b through kLine, by the closed-form least-squares answers.
struct LineFit {
  double a, b, sse, sst, s2, sxx, xbar;
};
LineFit line_fit() {
  const double x[] = {1, 2, 3, 4, 5}, y[] = {2.1, 3.9, 6.2, 7.8, 10.1};
  LineFit f{};
  double ybar = 0;
  for (int i = 0; i < 5; ++i) f.xbar += x[i] / 5, ybar += y[i] / 5;
  double sxy = 0, syy = 0;
  for (int i = 0; i < 5; ++i) {
    f.sxx += (x[i] - f.xbar) * (x[i] - f.xbar);
    sxy += (x[i] - f.xbar) * (y[i] - ybar);
    syy += (y[i] - ybar) * (y[i] - ybar);
  }
  f.a = sxy / f.sxx;
  f.b = ybar - f.a * f.xbar;
  f.sst = syy;
  f.sse = syy - f.a * sxy;
  f.s2 = f.sse / 3;
  return f;
}

// Statistics recomputed here from the points the document lists; for levmar,
// which converges tightly, also the closed-form least-squares answers.
TEST(JsonResults, StraightLineStatisticsMatchAnIndependentComputation) {
  const LineFit want = line_fit();
  const double t975_3 = 3.182446305284263;  // Student t, 3 degrees of freedom
  for (const char *method : {"-tavrin", "-levmar"}) {
    SCOPED_TRACE(method);
    const Fit fit = run_fit(kLine, {"-fit", "LINE", "-parms", "1:0", method});
    ASSERT_EQ(fit.run.status, 0);
    double sse = 0, sst = 0, ybar = 0;
    for (const json &p : fit.doc["points"]) ybar += p["y"].get<double>() / 5;
    for (const json &p : fit.doc["points"]) {
      const double r = p["fit"].get<double>() - p["y"].get<double>();
      sse += r * r;
      sst += (p["y"].get<double>() - ybar) * (p["y"].get<double>() - ybar);
    }
    const json &st = fit.doc["statistics"];
    EXPECT_EQ(st["n"], 5);
    EXPECT_EQ(st["free_parameters"], 2);
    EXPECT_EQ(st["dof"], 3);
    EXPECT_NEAR(st["sse"].get<double>(), sse, 1e-14);
    EXPECT_NEAR(st["residual_std_error"].get<double>(), std::sqrt(sse / 3), 1e-14);
    EXPECT_NEAR(st["rmse"].get<double>(), std::sqrt(sse / 5), 1e-14);
    EXPECT_NEAR(st["r_squared"].get<double>(), 1 - sse / sst, 1e-14);
    EXPECT_NEAR(st["adj_r_squared"].get<double>(), 1 - (sse / sst) * 4 / 3, 1e-14);
    EXPECT_NEAR(st["aic"].get<double>(), 5 * std::log(sse / 5) + 4, 1e-12);
    EXPECT_NEAR(st["bic"].get<double>(), 5 * std::log(sse / 5) + 2 * std::log(5.0), 1e-12);
    EXPECT_NEAR(st["t975"].get<double>(), t975_3, 1e-12);

    const json &a = fit.doc["parameters"][0];
    EXPECT_EQ(a["name"], "A0");
    const double value = a["value"], sd = a["sd"];
    EXPECT_NEAR(a["ci95"][0].get<double>(), value - t975_3 * sd, 1e-12);
    EXPECT_NEAR(a["ci95"][1].get<double>(), value + t975_3 * sd, 1e-12);

    if (std::string(method) == "-levmar") {
      EXPECT_NEAR(value, want.a, 1e-8);
      EXPECT_NEAR(fit.doc["parameters"][1]["value"].get<double>(), want.b, 1e-8);
      EXPECT_NEAR(sse, want.sse, 1e-12);
      const double varA = want.s2 / want.sxx;
      const double varB = want.s2 * (0.2 + want.xbar * want.xbar / want.sxx);
      const double covAB = -want.xbar * want.s2 / want.sxx;
      const json &cov = fit.doc["covariance"]["matrix"];
      EXPECT_NEAR(cov[0][0].get<double>(), varA, 1e-9 * varA);
      EXPECT_NEAR(cov[1][1].get<double>(), varB, 1e-9 * varB);
      EXPECT_NEAR(cov[0][1].get<double>(), covAB, 1e-9 * std::fabs(covAB));
      EXPECT_NEAR(fit.doc["correlation"]["matrix"][0][1].get<double>(),
                  covAB / std::sqrt(varA * varB), 1e-9);
    }
  }
}

// Each figure the short report prints, printed the same way from the JSON.
TEST(JsonResults, AgreesWithTheShortReportAndItsOwnCovariance) {
  const std::string t1 = tavtest::read_file(std::string(TAVFIT_EXAMPLES) + "/t1_relax.dat");
  for (const std::string method : {"-tavrin", "-levmar", "-ceres"}) {
    SCOPED_TRACE(method);
    if (method == "-ceres" && !TAVFIT_HAVE_CERES) continue;
    const Fit fit = run_fit(t1, {"-fit", "T1_RELAX", "-parms", "900:=2:1", method});
    ASSERT_EQ(fit.run.status, 0);
    const json &parms = fit.doc["parameters"];
    ASSERT_EQ(parms.size(), 3u);
    ASSERT_EQ(fit.shortReport.size(), 5u);
    for (size_t k = 0; k < 3; ++k)
      EXPECT_EQ(g5(parms[k]["value"]) + g5(parms[k]["sd"]), fit.shortReport[k]);
    EXPECT_EQ(g5(fit.doc["statistics"]["rmse"]), fit.shortReport[3]);
    EXPECT_EQ(" " + std::to_string(fit.doc["iterations"].get<int>()), fit.shortReport[4]);
    std::string name = method.substr(1);
    for (char &c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(fit.doc["method"], name);
    EXPECT_TRUE(fit.doc["termination"]["converged"].get<bool>());
    EXPECT_EQ(parms[1]["held"], true);
    EXPECT_TRUE(parms[1]["ci95"].is_null());
    EXPECT_EQ(parms[1]["start"], 2.0);

    // Free parameters only, Mo and T1; its diagonal is what the SDs come from.
    const json &cov = fit.doc["covariance"];
    EXPECT_EQ(cov["names"], json({"Mo", "T1"}));
    const double sd[] = {parms[0]["sd"], parms[2]["sd"]};
    for (int i = 0; i < 2; ++i) {
      EXPECT_NEAR(cov["matrix"][i][i].get<double>(), sd[i] * sd[i], 1e-12 * sd[i] * sd[i]);
      EXPECT_DOUBLE_EQ(fit.doc["correlation"]["matrix"][i][i].get<double>(), 1.0);
    }
    const double c01 = cov["matrix"][0][1], c10 = cov["matrix"][1][0];
    EXPECT_NEAR(c01, c10, 1e-9 * std::fabs(c01));

    const json &points = fit.doc["points"];
    ASSERT_EQ(points.size(), 12u);
    EXPECT_EQ(points[0]["x"], 0.01);
    EXPECT_EQ(points[0]["y"], -936.5);
    EXPECT_FALSE(points[0].contains("x2"));
    EXPECT_EQ(points[11]["residual"].get<double>(),
              points[11]["fit"].get<double>() - points[11]["y"].get<double>());
  }
}

TEST(JsonResults, NorrisMatchesNistCertifiedStatistics) {
  const std::string norris = tavtest::read_file(tavtest::test_data("Norris.dat"));
  const Fit fit = run_fit(norris, {"-fit", "LINE", "-parms", "1:1", "-levmar"});
  ASSERT_EQ(fit.run.status, 0);
  const json &st = fit.doc["statistics"];
  EXPECT_NEAR(st["r_squared"].get<double>(), 0.999993745883712, 1e-12);
  EXPECT_NEAR(st["residual_std_error"].get<double>(), 0.884796396144373, 1e-9);
  EXPECT_NEAR(st["sse"].get<double>(), 0.884796396144373 * 0.884796396144373 * 34, 1e-7);
  EXPECT_NEAR(fit.doc["parameters"][0]["sd"].get<double>(), 0.429796848199937e-3, 1e-9);
  EXPECT_NEAR(fit.doc["parameters"][1]["sd"].get<double>(), 0.232818234301152, 1e-7);
}

// Every number of the document reads back as the double it came from:
// the data and held values given to 17 digits, and the figures of the fit.
TEST(JsonResults, NumbersReadBackToTheSameDouble) {
  const std::vector<double> x = {0.1, 0.7, 1.3, 2.9, 3.3};
  const std::vector<double> y = {1.0 / 3, 2.0 / 7, 0.1, 1e-300, -5e7};
  const std::vector<double> p = {0.1, -1.0 / 3, 2.0 / 3};
  const std::string dir = tavtest::make_temp_dir();
  std::string data;
  for (size_t i = 0; i < x.size(); ++i) data += format_msg("%.17g %.17g\n", x[i], y[i]);
  tavtest::write_file(dir + "/n.dat", data);
  const std::string parms = format_msg("=%.17g:=%.17g:=%.17g", p[0], p[1], p[2]);
  ASSERT_EQ(tavtest::run_tavfit({"-d", "n.dat", "-fit", "EXP2", "-parms", parms, "-json",
                                 "n.json", "-o", "/dev/null", "-short", "/dev/null"},
                                dir)
                .status,
            0);
  const json doc = json::parse(tavtest::read_file(dir + "/n.json"));
  const tavfit::Problem problem{*tavfit::find_model("EXP2"), {x, y}, p, {true, true, true}};
  const tavfit::FitResult fit = tavfit::fit(problem);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(doc["parameters"][k]["value"].get<double>(), p[k]);
  for (size_t i = 0; i < x.size(); ++i) {
    EXPECT_EQ(doc["points"][i]["x"].get<double>(), x[i]);
    EXPECT_EQ(doc["points"][i]["y"].get<double>(), y[i]);
    EXPECT_EQ(doc["points"][i]["fit"].get<double>(), fit.fitted[i]);
  }
  EXPECT_EQ(doc["statistics"]["sse"].get<double>(), fit.sse);
}

}  // namespace
