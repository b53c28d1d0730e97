// Fits on many threads at once give the same bits as the same fits one after
// another: every model with every method, each problem several times in a
// shuffled order, so that different problems overlap.  The threads run
// first, so that they also race to load the Ceres module and to silence its
// logging.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <tavfit/tavfit.h>

#include "catalogue.h"

namespace {

// Where each model's curve lies, after the meaning of its X, for the
// catalogue's typical start values; log: spaced evenly in log X.
struct Range {
  const char *keyword;
  double from, to;
  bool log;
};
const Range kRanges[] = {
    {"LINE", 0, 10, false},         {"QUADRATIC", -5, 5, false},
    {"CUBIC", -3, 3, false},        {"SUM_EXPON", 0.01, 10, true},
    {"EXP1", 0, 5, false},          {"EXP2", 0, 5, false},
    {"SINU_3P", 0, 180, false},     {"SINU_4P", 0, 360, false},
    {"SIGMOID", 0, 10, false},      {"SUM_LOREN", -120, 120, false},
    {"T1_RELAX", 0.05, 5, false},   {"T2_RELAX", 0, 0.4, false},
    {"R2_DIMER", 1e-6, 1e-2, true}, {"R2X_DIMER", 1e-6, 1e-2, true},
    {"PH_TITR", 4, 10, false},      {"XY1", 0, 1e-3, false},
    {"XY2", 1e-5, 5e-3, false},     {"GAUSS", -4, 4, false},
    {"Z_DISP", -120, 120, false},   {"Z_UCD", 44, 46.5, false},
    {"Z_MELT_MON", 20, 90, false},  {"Z_MELT_DIM", 20, 90, false},
    {"Z_CHEM_TRI", 0, 4, false},    {"Z_CHEM_MON_TRI", 0, 5, false},
    {"Z_CP_MONOMER", 290, 370, false}, {"Z_CP_DIM", 290, 370, false},
    {"Z_CP_TRIMER", 290, 370, false},  {"Z_SIG_DIM", 0, 5, false},
    {"Z_AMIDE_PH", 3, 9, false},    {"CRYSTAL", 0, 3.14, false},
    {"LORENTZ", -100, 100, false},  {"ISODESMIC", 0, 1e-2, false},
    {"UREA", 0, 8, false},          {"PH_TITR2", 2, 10, false},
    {"Z_SUM_EXPON", 0.01, 10, true},
};
static_assert(sizeof kRanges / sizeof kRanges[0] == kFitFuncCount, "every model");
constexpr int kPoints = 40;
constexpr int kThreads = 8;
constexpr int kRepeats = 4;  // runs of each problem on the threads

// The model at its typical start values ("900:=2:1", '=' holds), sampled
// over its range with y moved by up to 1% of its span, fitted from start
// values 5% off the typical ones.
tavfit::Problem make_problem(const Range &range) {
  const tavfit::Model *model = tavfit::find_model(range.keyword);
  if (model == nullptr) {
    ADD_FAILURE() << "no model " << range.keyword;
    return {};
  }
  tavfit::Problem problem{*model, {}, {}, {}};
  std::istringstream words(catalogue_entry(model->id).start);
  for (std::string word; std::getline(words, word, ':');) {
    problem.held.push_back(word[0] == '=');
    problem.start.push_back(std::strtod(word.c_str() + problem.held.back(), nullptr));
  }
  tavfit::Curve &curve = problem.curve;
  for (int i = 0; i < kPoints; ++i) {
    const double t = i / (kPoints - 1.0);
    curve.x.push_back(range.log ? range.from * std::pow(range.to / range.from, t)
                                : range.from + (range.to - range.from) * t);
    // The observed molecule, diluted by the titrant.
    if (model->uses_x2) curve.x2.push_back(1e-4 * (1 - 0.2 * t));
    curve.y.push_back(tavfit::evaluate(*model, curve.x.back(),
                                       model->uses_x2 ? curve.x2.back() : 0.0, problem.start));
  }
  double low = curve.y[0], high = curve.y[0];
  for (double y : curve.y) low = std::fmin(low, y), high = std::fmax(high, y);
  for (int i = 0; i < kPoints; ++i) curve.y[i] += 0.01 * (high - low) * std::sin(1.7 * i + model->id);
  for (size_t k = 0; k < problem.start.size(); ++k)
    if (!problem.held[k]) problem.start[k] *= k % 2 ? 1.05 : 0.95;
  return problem;
}

struct Case {
  tavfit::Problem problem;
  tavfit::Method method;
  std::string name;
};

std::vector<Case> all_cases() {
  const struct {
    tavfit::Method method;
    const char *name;
  } methods[] = {{tavfit::Method::Tavrin, "tavrin"},
                 {tavfit::Method::Levmar, "levmar"},
                 {tavfit::Method::Ceres, "ceres"}};
  std::vector<Case> cases;
  for (const Range &range : kRanges)
    for (const auto &m : methods)
      cases.push_back({make_problem(range), m.method, std::string(range.keyword) + " " + m.name});
  // A typed formula: one parsed program, which every copy of the model
  // shares, evaluated on every thread at once.
  tavfit::Problem typed = make_problem(kRanges[kT1Relax]);
  typed.model = tavfit::parse_model("Mo*(1-W*exp(-x/T1))");
  for (const auto &m : methods) cases.push_back({typed, m.method, std::string("formula ") + m.name});
  return cases;
}

// Every field of a result and of its statistics, doubles by their bits, as
// lines that a failed comparison can show side by side.
class Record {
 public:
  Record &operator()(const char *name, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    char hex[20];
    std::snprintf(hex, sizeof hex, " %016llx", static_cast<unsigned long long>(bits));
    text_ << name << hex << '\n';
    return *this;
  }
  Record &operator()(const char *name, const std::vector<double> &v) {
    for (double d : v) (*this)(name, d);
    return *this;
  }
  Record &operator()(const char *name, const std::string &s) {
    text_ << name << ' ' << s << '\n';
    return *this;
  }
  Record &operator()(const char *name, int i) { return (*this)(name, std::to_string(i)); }
  std::string str() const { return text_.str(); }

 private:
  std::ostringstream text_;
};

std::string fit_record(const Case &c) {
  const tavfit::FitResult r = tavfit::fit(c.problem, c.method);
  const tavfit::Statistics s = tavfit::statistics(c.problem, r);
  const tavfit::Termination &t = r.termination;
  Record rec;
  rec("ok", r.ok)("message", r.message)("value", r.value)("sd", r.sd)("covariance", r.covariance);
  for (int k : r.free) rec("free", k);
  rec("fitted", r.fitted)("sse", r.sse)("rmse", r.rmse)("iterations", r.iterations);
  rec("recorded", t.recorded)("converged", t.converged)("reason", t.reason)("text", t.text);
  rec("type", t.type)("returned", t.returned);
  for (const auto &info : t.info) rec(info.first.c_str(), info.second);
  for (const tavfit::Message &m : r.messages) rec(m.level == m.Warning ? "warning" : "note", m.text);
  rec("has_summary", r.has_summary);
  const tavfit::Check &k = r.check;
  rec("check", k.done)("at_minimum", k.at_minimum)("distance", k.distance_sd);
  rec("sd_error", k.sd_relative_error)("exact_sd", k.exact_sd)("minimum", k.minimum);
  rec("minimum_sse", k.minimum_sse);
  rec("n", s.n)("p", s.p)("dof", s.dof)("stat_sse", s.sse)("rse", s.residual_std_error);
  rec("r2", s.r_squared)("adj_r2", s.adj_r_squared)("aic", s.aic)("bic", s.bic)("t975", s.t975);
  rec("correlation", s.correlation)("ci_low", s.ci95_low)("ci_high", s.ci95_high);
  rec("residuals", s.residuals);
  return rec.str();
}

TEST(Threads, FitsAtOnceGiveTheBitsOfFitsOneAfterAnother) {
  const std::vector<Case> cases = all_cases();
  std::vector<size_t> jobs;
  for (int r = 0; r < kRepeats; ++r)
    for (size_t c = 0; c < cases.size(); ++c) jobs.push_back(c);
  std::shuffle(jobs.begin(), jobs.end(), std::mt19937(20240611));

  std::vector<std::string> parallel(jobs.size());
  std::atomic<size_t> next{0};
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      // All threads start together, so the first fits overlap too.
      for (++ready; ready < kThreads;) std::this_thread::yield();
      for (size_t j; (j = next++) < jobs.size();) parallel[j] = fit_record(cases[jobs[j]]);
    });
  for (std::thread &t : threads) t.join();

  int succeeded[3] = {};  // by method
  for (size_t c = 0; c < cases.size(); ++c) {
    const std::string serial = fit_record(cases[c]);
    succeeded[static_cast<int>(cases[c].method)] += serial.compare(0, 5, "ok 1\n") == 0;
    for (size_t j = 0; j < jobs.size(); ++j) {
      if (jobs[j] != c) continue;
      ASSERT_EQ(parallel[j], serial) << cases[c].name;
    }
  }
  // Realistic problems: most fits of every method succeed, so the threads
  // share real work.  Without the module every Ceres fit fails alike.
  for (int m = 0; m < 3; ++m) {
    if (m == static_cast<int>(tavfit::Method::Ceres) && !TAVFIT_HAVE_CERES) continue;
    EXPECT_GT(succeeded[m], kFitFuncCount * 3 / 4) << "method " << m;
  }
}

}  // namespace
