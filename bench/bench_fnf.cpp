// In-process benchmarks of the model evaluator and the two fitting methods on
// the 1500-point T1_RELAX curve, for the built-in model and then for the same
// model typed as a formula, "Mo*(1-W*exp(-x/T1))" (targets: twice the
// built-in one's times):
//   - one fnf evaluation of T1_RELAX (target: under 30 ns): one point alone,
//     as the plot's curve evaluates it;
//   - one evaluation within a pass over all points, as every fit evaluates
//     the model (a formula a block of points at a time);
//   - one calc_deriv pass over all points (information);
//   - a whole TAVRIN fit, do_iterations (information);
//   - the check of its answer against the least-squares minimum, which every
//     fit now includes (target: under 5 % of the TAVRIN fit);
//   - a whole levmar fit, do_levmar, its summary sent to /dev/null (information).
//
// usage: bench_fnf [--samples N] [--no-header] [DATAFILE]
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"
#include "models.h"
#include "methods.h"
#include "program.h"
#include "tavrin.h"

#ifndef TAVFIT_BENCH_DATA
#define TAVFIT_BENCH_DATA "t1_relax_1500.dat"
#endif

namespace {

const double kTrue[3] = {1000.0, 1.9, 1.3};   // the curve's own parameters
const double kStart[3] = {800.0, 1.52, 1.04};  // 20 % below them

volatile double sink;  // keeps every timed result alive

void set_start_values() {
  for (int i = 0; i < kMaxParms; ++i) {
    fitParms[i] = i < 3 ? kStart[i] : 0.0;
    fitStdDev[i] = 0.0;
    holdConstFlag[i] = 0;
  }
  itCount = 0;
  rmse = 0.0;
}

// Runs f with standard output sent to /dev/null (the levmar summary).
template <typename F>
void quietly(F f) {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  if (saved < 0 || null < 0) {
    f();
  } else {
    dup2(null, STDOUT_FILENO);
    close(null);
    f();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
  }
  if (saved >= 0) close(saved);
}

// What the formula's targets are measured against.
struct Times {
  double evaluation = 0, pass = 0, tavrin = 0, levmar = 0;
};

// The cases for model id (kFormulaFunc: typedModel), labelled label; with
// limit, the targets are twice its times.
Times run_cases(const char *label, int id, const Times *limit, int samples) {
  const int n = numData;
  const tavfit::Formula *formula = id == kFormulaFunc ? typedModel.program.get() : nullptr;
  const FitFuncId problemId = formula != nullptr ? kFormulaId : static_cast<FitFuncId>(id);
  Times times;
  char name[64];

  // fnf: every x of the curve in turn, many times per sample.
  {
    const int repeats = 2000;  // 3 million evaluations per sample
    double p[kMaxParms] = {kTrue[0], kTrue[1], kTrue[2]};
    std::vector<double> ns;
    for (int s = 0; s < samples; ++s) {
      double sum = 0.0;
      const auto start = bench::Clock::now();
      for (int r = 0; r < repeats; ++r) {
        for (int i = 0; i < n; ++i) {
          double v;
          fnf(id, &v, xData[i], 0.0, p);
          sum += v;
        }
      }
      ns.push_back(bench::seconds_since(start) * 1e9 / (double(repeats) * n));
      sink = sum;
    }
    std::snprintf(name, sizeof name, "fnf %s, one evaluation", label);
    times.evaluation = bench::median(ns);
    bench::print_row(name, times.evaluation, bench::minimum(ns), "ns",
                     limit != nullptr ? 2 * limit->evaluation : 30);
  }

  // model_values: the model at every point of the curve, as every fit and
  // every statistic evaluates it; per point.
  {
    const int repeats = 2000;
    double p[kMaxParms] = {kTrue[0], kTrue[1], kTrue[2]};
    const Points points = {xData.data(), yData.data(), tData.data(), n};
    std::vector<double> values(n), ns;
    for (int s = 0; s < samples; ++s) {
      double sum = 0.0;
      const auto start = bench::Clock::now();
      for (int r = 0; r < repeats; ++r) {
        model_values(problemId, formula, points, p, values.data());
        sum += values[r % n];
      }
      ns.push_back(bench::seconds_since(start) * 1e9 / (double(repeats) * n));
      sink = sum;
    }
    std::snprintf(name, sizeof name, "%s over the points, one evaluation", label);
    times.pass = bench::median(ns);
    bench::print_row(name, times.pass, bench::minimum(ns), "ns",
                     limit != nullptr ? 2 * limit->pass : 0);
  }

  // calc_deriv: one linearisation over all points, three free parameters.
  {
    const int repeats = 200;
    set_start_values();
    const int hold[3] = {0, 0, 0};
    FitProblem problem = {problemId, 3, {xData.data(), yData.data(), tData.data(), n}, fitParms, hold,
                          free_slots(3, hold), 500};
    problem.formula = formula;
    MethodOutput out;
    TavrinState st = tavrin_state(problem, out);
    std::vector<double> us;
    for (int s = 0; s < samples; ++s) {
      const auto start = bench::Clock::now();
      for (int r = 0; r < repeats; ++r) calc_deriv(st, fitParms);
      us.push_back(bench::seconds_since(start) * 1e6 / repeats);
      sink = st.cVec[0];
    }
    std::snprintf(name, sizeof name, "calc_deriv pass %s, 1500 points, 3 free", label);
    bench::print_row(name, bench::median(us), bench::minimum(us), "us", 0);
  }

  // do_iterations: a whole TAVRIN fit from 20 % off, in process (its check
  // included), then the check alone on its answer.
  double tavrinMs = 0.0;
  {
    std::vector<double> ms;
    int iterations = 0;
    for (int s = 0; s < samples; ++s) {
      set_start_values();
      double elapsed = 0.0;
      quietly([&elapsed] {  // the check's warning on TAVRIN's answer
        const auto start = bench::Clock::now();
        do_iterations(fitParms, fitStdDev);
        elapsed = bench::seconds_since(start);
      });
      ms.push_back(elapsed * 1e3);
      iterations = itCount;
      sink = fitParms[2];
    }
    std::snprintf(name, sizeof name, "do_iterations %s, TAVRIN fit (%d iter)", label, iterations);
    tavrinMs = bench::median(ms);
    times.tavrin = tavrinMs;
    bench::print_row(name, tavrinMs, bench::minimum(ms), "ms",
                     limit != nullptr ? 2 * limit->tavrin : 0);
  }
  {
    const int hold[3] = {0, 0, 0};
    FitProblem problem = {problemId, 3, {xData.data(), yData.data(), tData.data(), n}, fitParms, hold,
                          free_slots(3, hold), 500};
    problem.formula = formula;
    std::vector<double> ms;
    for (int s = 0; s < samples; ++s) {
      const auto start = bench::Clock::now();
      const tavfit::Check check = check_answer(problem, fitParms, fitStdDev);
      ms.push_back(bench::seconds_since(start) * 1e3);
      sink = check.distance_sd;
    }
    std::snprintf(name, sizeof name, "check of that answer (%.1f %% of the fit)",
                  100 * bench::median(ms) / (tavrinMs - bench::median(ms)));
    bench::print_row(name, bench::median(ms), bench::minimum(ms), "ms", 0);
  }

  // do_levmar: a whole levmar fit from 20 % off, in process.
  {
    std::vector<double> ms;
    int iterations = 0;
    for (int s = 0; s < samples; ++s) {
      set_start_values();
      double elapsed = 0.0;
      quietly([&elapsed] {
        const auto start = bench::Clock::now();
        do_levmar();
        elapsed = bench::seconds_since(start);
      });
      ms.push_back(elapsed * 1e3);
      iterations = itCount;
      sink = fitParms[2];
    }
    std::snprintf(name, sizeof name, "do_levmar %s, levmar fit (%d iter)", label, iterations);
    times.levmar = bench::median(ms);
    bench::print_row(name, times.levmar, bench::minimum(ms), "ms",
                     limit != nullptr ? 2 * limit->levmar : 0);
  }
  return times;
}

}  // namespace

int main(int argc, char **argv) {
  int samples = 15;
  bool header = true;
  std::string data = TAVFIT_BENCH_DATA;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--samples") == 0 && i + 1 < argc) {
      samples = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--no-header") == 0) {
      header = false;
    } else {
      data = argv[i];
    }
  }

  // Set up the run state as the program does after "-d DATA -fit T1_RELAX".
  fitMethod = kMethodTavrin;
  maxIt = 500;
  fitFunc = kT1Relax;
  dataFname = data;
  init_vars();
  if (header) bench::print_header();
  // The built-in model, then the same model typed as a formula, whose
  // targets are twice the built-in one's times.
  const Times builtin = run_cases("T1_RELAX", kT1Relax, nullptr, samples);
  typedModel = tavfit::parse_model("Mo*(1-W*exp(-x/T1))");
  fitFunc = kFormulaFunc;
  fill_catalogue();
  run_cases("formula", kFormulaFunc, &builtin, samples);
  return 0;
}
