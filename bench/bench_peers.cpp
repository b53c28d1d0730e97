// Whole-process comparison with peers, side by side in one run:
//   - start-up: tavfit ending at once ("no fit function") against the GSL
//     driver ending at once (unknown model); target: ratio at most 1;
//   - -levmar fits of the 12- and 1500-point T1 curves against the GSL
//     driver on the same curves and start values; target: at most 0.8;
//   - the TAVRIN fit of the 1500-point curve against its evaluation floor,
//     (passes x points x (free parameters + 2)) model evaluations times the
//     time of one evaluation measured here; target: at most 1.5 x the floor;
//     and against gnuplot's `fit` where gnuplot is installed: at least 8 x
//     faster;
//   - the README's batch recipe (xargs, two jobs) on generated small curves,
//     tavfit against the same recipe with the GSL driver; target: at least
//     as many curves per second.
// The commands of a pair run in turn (A B A B ...), and each ratio is the
// median of the ratios of the pairs, so a drift in the machine's speed during
// the run moves both sides alike.  Wall time runs from spawn to reaping; CPU
// time (user + system) is the kernel's account of the child.
//
// usage: bench_peers [--pairs N] [--curves N] [--no-header]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_common.h"
#include "models.h"
#include "program.h"

#ifndef TAVFIT_BIN
#define TAVFIT_BIN "tavfit"
#endif
#ifndef GSL_FIT_BIN
#define GSL_FIT_BIN ""  // not built: libgsl-dev was missing
#endif
#ifndef TAVFIT_PEER_DATA
#define TAVFIT_PEER_DATA "."  // the folder of t1_12.dat and t1_1500.dat
#endif

extern char **environ;

namespace {

using Args = std::vector<std::string>;

struct Sample {
  double wallMs;
  double cpuMs;
  int status;  // exit status, -1 when the child did not start or exit normally
};

// Runs one command with standard input empty and both outputs on /dev/null.
Sample run_once(const Args &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = bench::Clock::now();
  pid_t pid;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return {0, 0, -1};
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return {0, 0, -1};
  const double wall = bench::seconds_since(start) * 1e3;
  const double cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-3;
  return {wall, cpu, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

struct PairResult {
  bool ok;
  double wallA, wallB, cpuA, cpuB;  // medians
  double wallRatio, cpuRatio;       // medians of the pair ratios A/B
};

// Runs A and B in turn, `warmup` untimed pairs first; every run must end
// with its expected exit status.
PairResult run_pairs(const char *name, const Args &a, int statusA, const Args &b, int statusB,
                     int warmup, int pairs) {
  std::vector<double> wa, wb, ca, cb, wr, cr;
  for (int i = 0; i < warmup + pairs; ++i) {
    const Sample sa = run_once(a);
    const Sample sb = run_once(b);
    if (sa.status != statusA || sb.status != statusB) {
      std::fprintf(stderr, "bench_peers: %s: exit status %d and %d, expected %d and %d\n", name,
                   sa.status, sb.status, statusA, statusB);
      return {false, 0, 0, 0, 0, 0, 0};
    }
    if (i < warmup) continue;
    wa.push_back(sa.wallMs);
    wb.push_back(sb.wallMs);
    ca.push_back(sa.cpuMs);
    cb.push_back(sb.cpuMs);
    wr.push_back(sa.wallMs / sb.wallMs);
    // CPU time is counted in clock ticks on some kernels: a zero pair says
    // nothing about the ratio.
    if (sa.cpuMs > 0 && sb.cpuMs > 0) cr.push_back(sa.cpuMs / sb.cpuMs);
  }
  return {true,
          bench::median(wa),
          bench::median(wb),
          bench::median(ca),
          bench::median(cb),
          bench::median(wr),
          cr.empty() ? NAN : bench::median(cr)};
}

// One line per comparison: both medians, the ratio and the verdict.
void print_ratio(const char *name, const PairResult &r, const char *targetText, bool met) {
  std::printf("%-44s %9.3g ms %9.3g ms %8.3f  %-8s %s\n", name, r.wallA, r.wallB, r.wallRatio,
              targetText, met ? "ok" : "MISSED");
  std::printf("%-44s %9.3g ms %9.3g ms %8.3f\n", "  (cpu time, user + system)", r.cpuA, r.cpuB,
              r.cpuRatio);
  std::fflush(stdout);
}

bool executable_on_path(const std::string &name, std::string *path) {
  const char *dirs = std::getenv("PATH");
  std::stringstream in(dirs != nullptr ? dirs : "/usr/bin:/bin");
  for (std::string dir; std::getline(in, dir, ':');) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) {
      *path = candidate;
      return true;
    }
  }
  return false;
}

std::string last_line(const std::string &path) {
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line))
    if (!line.empty()) last = line;
  return last;
}

// Median time of one T1_RELAX evaluation through fnf, over the x values of
// the loaded curve, as the TAVRIN engine calls it.
double evaluation_ns(const double *p) {
  volatile double sink = 0.0;
  const int repeats = 400;
  std::vector<double> ns;
  for (int s = 0; s < 15; ++s) {
    double sum = 0.0;
    const auto start = bench::Clock::now();
    for (int r = 0; r < repeats; ++r) {
      for (int i = 0; i < numData; ++i) {
        double v;
        fnf(kT1Relax, &v, xData[i], tData[i], p);
        sum += v;
      }
    }
    ns.push_back(bench::seconds_since(start) * 1e9 / (double(repeats) * numData));
    sink = sum;
  }
  (void)sink;
  return bench::median(ns);
}

// Small T1 curves for the batch recipe, 12 points each, shaped like the
// example curve (Mo 1000, W 1.9, T1 1.3 s) with 0.5 % noise.
void write_curves(const std::string &dir, int count) {
  mkdir(dir.c_str(), 0755);
  std::mt19937_64 rng(20261206);
  std::normal_distribution<double> noise(0.0, 5.0);
  std::uniform_real_distribution<double> t1(1.0, 1.6);
  const double x[12] = {0.01, 0.05, 0.1, 0.2, 0.35, 0.5, 0.75, 1, 1.5, 2, 3.5, 6};
  for (int c = 0; c < count; ++c) {
    char name[64];
    std::snprintf(name, sizeof name, "/curve%04d.dat", c);
    std::ofstream out(dir + name);
    const double tau = t1(rng);
    for (double xi : x) out << xi << ' ' << 1000.0 * (1 - 1.9 * std::exp(-xi / tau)) + noise(rng)
                            << '\n';
  }
}

// The README's xargs recipe, two jobs; `command` is the fit command of one
// curve, with $1 the curve and $name its name.
Args batch_recipe(const std::string &dir, const std::string &command) {
  const std::string script =
      "cd '" + dir + "' && rm -rf results && mkdir -p results && "
      "printf '%s\\0' curves/*.dat | xargs -0 -n 1 -P 2 sh -c '\n"
      "  name=$(basename \"$1\" .dat)\n  " +
      command +
      "\n  status=$?\n"
      "  echo \"$status\" > \"results/$name.status\"\n"
      "  exit \"$status\"' sh";
  return {"sh", "-c", script};
}

}  // namespace

int main(int argc, char **argv) {
  int pairs = 41;
  int curves = 1000;
  bool header = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc) {
      pairs = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--curves") == 0 && i + 1 < argc) {
      curves = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--no-header") == 0) {
      header = false;
    }
  }
  const std::string tavfit = TAVFIT_BIN;
  const std::string gsl = GSL_FIT_BIN;
  const std::string data12 = std::string(TAVFIT_PEER_DATA) + "/t1_12.dat";
  const std::string data1500 = std::string(TAVFIT_PEER_DATA) + "/t1_1500.dat";
  const std::string start = "80:1.5:1";

  char dirTemplate[] = "/tmp/tavfit-peers-XXXXXX";
  const char *dirName = mkdtemp(dirTemplate);
  if (dirName == nullptr) {
    std::perror("bench_peers: mkdtemp");
    return 1;
  }
  const std::string dir = dirName;
  const std::string out = dir + "/fit.out", shortOut = dir + "/fit.short";
  auto tavfit_fit = [&](const std::string &data, bool levmar) {
    Args args = {tavfit, "-d", data, "-fit", "T1_RELAX", "-parms", start, "-o", out,
                 "-short", shortOut};
    if (levmar) args.push_back("-levmar");
    return args;
  };

  if (header) {
    std::printf("%-44s %12s %12s %8s  %-8s %s\n", "comparison (A vs B, medians)", "A", "B",
                "A/B", "target", "status");
  }
  bool ok = true;
  const bool haveGsl = !gsl.empty() && access(gsl.c_str(), X_OK) == 0;
  if (!haveGsl) {
    std::printf("GSL driver not built (libgsl-dev missing): no comparisons with it\n");
  } else {
    PairResult r = run_pairs("start-up", {tavfit}, 1, {gsl, "NO_SUCH_MODEL", data12, start}, 2,
                             3, pairs);
    if (r.ok) print_ratio("start-up only: tavfit vs GSL driver", r, "<= 1", r.wallRatio <= 1.0);
    ok = ok && r.ok;
    r = run_pairs("levmar 12", tavfit_fit(data12, true), 0, {gsl, "T1_RELAX", data12, start}, 0,
                  3, pairs);
    if (r.ok) print_ratio("12 points: tavfit -levmar vs GSL driver", r, "<= 0.8",
                          r.wallRatio <= 0.8);
    ok = ok && r.ok;
    r = run_pairs("levmar 1500", tavfit_fit(data1500, true), 0,
                  {gsl, "T1_RELAX", data1500, start}, 0, 3, pairs);
    if (r.ok) print_ratio("1500 points: tavfit -levmar vs GSL driver", r, "<= 0.8",
                          r.wallRatio <= 0.8);
    ok = ok && r.ok;
  }

  // TAVRIN at 1500 points against its evaluation floor.
  {
    std::vector<double> wall;
    for (int i = 0; i < 3 + pairs; ++i) {
      const Sample s = run_once(tavfit_fit(data1500, false));
      if (s.status != 0) {
        std::fprintf(stderr, "bench_peers: TAVRIN fit: exit status %d\n", s.status);
        ok = false;
        break;
      }
      if (i >= 3) wall.push_back(s.wallMs);
    }
    const int iterations = std::atoi(last_line(shortOut).c_str());
    fitFunc = kT1Relax;
    dataFname = data1500;
    init_vars();
    const double p[kMaxParms] = {100.0, 1.9, 1.5};
    const double ns = evaluation_ns(p);
    const int passes = iterations + 1;  // the first pass only linearises
    const int freeParms = 3;
    const double floorMs = double(passes) * numData * (freeParms + 2) * ns * 1e-6;
    const double wallMs = bench::median(wall);
    const double ratio = wallMs / floorMs;
    std::printf("%-44s %9.3g ms %9.3g ms %8.3f  %-8s %s\n",
                "1500 points: tavfit TAVRIN vs its floor", wallMs, floorMs, ratio, "<= 1.5",
                ratio <= 1.5 ? "ok" : "MISSED");
    std::printf("  floor: %d passes x %d points x (%d free + 2) evaluations x %.3g ns\n", passes,
                numData, freeParms, ns);
    std::fflush(stdout);
  }

  std::string gnuplot;
  if (!executable_on_path("gnuplot", &gnuplot)) {
    std::printf("gnuplot not installed: no comparison with its fit\n");
  } else {
    const std::string script = "set fit quiet; set fit logfile '/dev/null'; "
                               "f(x) = Mo*(1 - W*exp(-x/T1)); Mo = 80; W = 1.5; T1 = 1; "
                               "fit f(x) '" + data1500 + "' via Mo, W, T1";
    const PairResult r = run_pairs("gnuplot", tavfit_fit(data1500, false), 0,
                                   {gnuplot, "-e", script}, 0, 2, std::max(5, pairs / 3));
    if (r.ok) {
      print_ratio("1500 points: tavfit TAVRIN vs gnuplot fit", r, "<= 0.125",
                  r.wallRatio <= 0.125);
      std::printf("  gnuplot / tavfit: %.1f x (target: at least 8 x)\n", 1.0 / r.wallRatio);
    }
    ok = ok && r.ok;
  }

  if (haveGsl) {
    write_curves(dir + "/curves", curves);
    const Args tavfitBatch = batch_recipe(
        dir, "\"" + tavfit + "\" -d \"$1\" -fit T1_RELAX -parms 900:2:1 \\\n"
             "      -o \"results/$name.out\" -short \"results/$name.short\""
             " > \"results/$name.msg\" 2>&1");
    const Args gslBatch = batch_recipe(
        dir, "\"" + gsl + "\" T1_RELAX \"$1\" 900:2:1 > \"results/$name.out\""
             " 2> \"results/$name.msg\"");
    const PairResult r = run_pairs("batch", tavfitBatch, 0, gslBatch, 0, 1, 5);
    if (r.ok) {
      char name[64];
      std::snprintf(name, sizeof name, "batch of %d curves, 2 jobs: tavfit vs GSL", curves);
      print_ratio(name, r, "<= 1", r.wallRatio <= 1.0);
      std::printf("  curves per second: tavfit %.0f, GSL driver %.0f\n", curves / r.wallA * 1e3,
                  curves / r.wallB * 1e3);
    }
    ok = ok && r.ok;
  }

  std::system(("rm -rf '" + dir + "'").c_str());
  return ok ? 0 : 1;
}
