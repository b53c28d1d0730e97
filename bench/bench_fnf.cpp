// In-process benchmarks of the model evaluator and the two fitting methods on
// the 1500-point T1_RELAX curve:
//   - one fnf evaluation of T1_RELAX (target: under 30 ns);
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
  const int n = numData;
  if (header) bench::print_header();

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
          fnf(kT1Relax, &v, xData[i], 0.0, p);
          sum += v;
        }
      }
      ns.push_back(bench::seconds_since(start) * 1e9 / (double(repeats) * n));
      sink = sum;
    }
    bench::print_row("fnf T1_RELAX, one evaluation", bench::median(ns), bench::minimum(ns),
                     "ns", 30);
  }

  // calc_deriv: one linearisation over all points, three free parameters.
  {
    const int repeats = 200;
    set_start_values();
    const int hold[3] = {0, 0, 0};
    const FitProblem problem = {kT1Relax, 3, {xData.data(), yData.data(), tData.data(), n}, fitParms, hold,
                                free_slots(3, hold), 500};
    MethodOutput out;
    TavrinState st = tavrin_state(problem, out);
    std::vector<double> us;
    for (int s = 0; s < samples; ++s) {
      const auto start = bench::Clock::now();
      for (int r = 0; r < repeats; ++r) calc_deriv(st, fitParms);
      us.push_back(bench::seconds_since(start) * 1e6 / repeats);
      sink = st.cVec[0];
    }
    bench::print_row("calc_deriv pass, 1500 points, 3 free", bench::median(us),
                     bench::minimum(us), "us", 0);
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
    char name[64];
    std::snprintf(name, sizeof name, "do_iterations, TAVRIN fit (%d iter)", iterations);
    bench::print_row(name, bench::median(ms), bench::minimum(ms), "ms", 0);
    tavrinMs = bench::median(ms);
  }
  {
    const int hold[3] = {0, 0, 0};
    const FitProblem problem = {kT1Relax, 3, {xData.data(), yData.data(), tData.data(), n}, fitParms, hold,
                                free_slots(3, hold), 500};
    std::vector<double> ms;
    for (int s = 0; s < samples; ++s) {
      const auto start = bench::Clock::now();
      const tavfit::Check check = check_answer(problem, fitParms, fitStdDev);
      ms.push_back(bench::seconds_since(start) * 1e3);
      sink = check.distance_sd;
    }
    char name[64];
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
    char name[64];
    std::snprintf(name, sizeof name, "do_levmar, levmar fit (%d iter)", iterations);
    bench::print_row(name, bench::median(ms), bench::minimum(ms), "ms", 0);
  }
  return 0;
}
