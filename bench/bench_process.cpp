// Whole-process benchmark: runs the tavfit binary on the 1500-point T1_RELAX
// curve, start values 20 % off, as a script would, and reports the wall time
// of each run from spawn to exit:
//   - the default TAVRIN fit (target: median under 25 ms);
//   - the same fit with -levmar (target: median under 10 ms);
//   - start-up and exit alone, tavfit without arguments (information);
//   - the three methods side by side on the 12- and 1500-point T1 curves of
//     bench/t1_12.dat and bench/t1_1500.dat from 80:1.5:1 (information; the
//     -ceres runs only when the Ceres module was built).
// Standard output and standard error go to /dev/null; the two reports go to
// files in a temporary directory.  Every run must exit with status 0 and leave
// a complete short report.
//
// usage: bench_process [--runs N] [--warmup N] [--no-header] [TAVFIT [DATAFILE]]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_common.h"

#ifndef TAVFIT_BIN
#define TAVFIT_BIN "tavfit"
#endif
#ifndef TAVFIT_BENCH_DATA
#define TAVFIT_BENCH_DATA "t1_relax_1500.dat"
#endif
#ifndef TAVFIT_BENCH_DIR
#define TAVFIT_BENCH_DIR "."
#endif

extern char **environ;

namespace {

// Runs argv[0] with stdout and stderr on /dev/null; returns the exit status,
// or -1 when it could not be started or did not exit normally.
int run_quiet(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int count_lines(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) ++lines;
  return lines;
}

// Times `runs` runs after `warmup` untimed ones; false if any run ended with
// another status than `expected` or (when shortReport is given) left an
// incomplete short report.
bool time_runs(const char *name, const std::vector<std::string> &args, int expected,
               const std::string &shortReport, int warmup, int runs, double target) {
  std::vector<double> ms;
  for (int i = 0; i < warmup + runs; ++i) {
    const auto start = bench::Clock::now();
    const int status = run_quiet(args);
    const double elapsed = bench::seconds_since(start) * 1e3;
    if (status != expected) {
      std::fprintf(stderr, "bench_process: %s: tavfit exited with status %d\n", name, status);
      return false;
    }
    if (i >= warmup) ms.push_back(elapsed);
  }
  // T1_RELAX has three parameters: 3 + 2 lines.
  if (!shortReport.empty() && count_lines(shortReport) != 5) {
    std::fprintf(stderr, "bench_process: %s: incomplete short report %s\n", name,
                 shortReport.c_str());
    return false;
  }
  bench::print_row(name, bench::median(ms), bench::minimum(ms), "ms", target);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int runs = 51;
  int warmup = 3;
  bool header = true;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--warmup") == 0 && i + 1 < argc) {
      warmup = std::max(0, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--no-header") == 0) {
      header = false;
    } else {
      positional.push_back(argv[i]);
    }
  }
  const std::string tavfit = positional.size() > 0 ? positional[0] : TAVFIT_BIN;
  const std::string data = positional.size() > 1 ? positional[1] : TAVFIT_BENCH_DATA;

  char dirTemplate[] = "/tmp/tavfit-bench-XXXXXX";
  const char *dir = mkdtemp(dirTemplate);
  if (dir == nullptr) {
    std::perror("bench_process: mkdtemp");
    return 1;
  }
  const std::string verbose = std::string(dir) + "/fit.out";
  const std::string shortReport = std::string(dir) + "/fit.short";

  const std::vector<std::string> tavrin = {tavfit,  "-d",     data,       "-fit",
                                           "T1_RELAX", "-parms", "800:1.52:1.04",
                                           "-o",    verbose, "-short", shortReport};
  std::vector<std::string> levmar = tavrin;
  levmar.push_back("-levmar");

  if (header) bench::print_header();
  bool ok = time_runs("tavfit process, TAVRIN fit", tavrin, 0, shortReport, warmup, runs, 25);
  ok = time_runs("tavfit process, -levmar fit", levmar, 0, shortReport, warmup, runs, 10) && ok;
  // Start-up and exit alone: no arguments, so the run ends at once with the
  // fatal "no fit function" message and status 1.
  ok = time_runs("tavfit process, start-up only (no fit)", {tavfit}, 1, "", warmup, runs, 0) &&
       ok;

  // The three methods on the same curves.  The Ceres module sits next to the
  // program when it was built.
  const std::string program = tavfit.substr(0, tavfit.rfind('/') + 1);
  const bool haveCeres = access((program + "tavfit_ceres.so").c_str(), R_OK) == 0;
  for (const char *curve : {"t1_12", "t1_1500"}) {
    for (const char *method : {"-tavrin", "-levmar", "-ceres"}) {
      if (std::strcmp(method, "-ceres") == 0 && !haveCeres) continue;
      const std::string name = std::string("process, ") + curve + " " + method;
      const std::vector<std::string> args = {
          tavfit, "-d", std::string(TAVFIT_BENCH_DIR "/") + curve + ".dat", "-fit", "T1_RELAX",
          "-parms", "80:1.5:1", "-o", verbose, "-short", shortReport, method};
      ok = time_runs(name.c_str(), args, 0, shortReport, warmup, runs, 0) && ok;
    }
  }

  std::remove(verbose.c_str());
  std::remove(shortReport.c_str());
  rmdir(dir);
  return ok ? 0 : 1;
}
