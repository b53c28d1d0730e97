// The Ceres method seen from the program: finds and loads the module, hands
// it the run state, prints the solver summary and stores the results.
#include "tavfit.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "ceres_fit.h"
#include "file_checksum.h"
#include "params.h"

#ifdef TAVFIT_CERES_MODULE_STAMPED
#include "ceres_module_stamp.h"
#endif

#ifndef TAVFIT_MODULE_DIR
#define TAVFIT_MODULE_DIR "/usr/local/lib/tavfit"
#endif
#ifndef TAVFIT_MODULE_RELDIR
#define TAVFIT_MODULE_RELDIR "../lib/tavfit"
#endif

namespace {

constexpr const char *kModuleName = "tavfit_ceres.so";

// Directory of the running program, or "" when it cannot be told.
std::string program_dir() {
  std::error_code unreadable;  // leaves the path empty
  return std::filesystem::read_symlink("/proc/self/exe", unreadable).parent_path();
}

#ifdef TAVFIT_CERES_MODULE_STAMPED
[[noreturn]] void refuse_module(const std::string &path, const char *reason) {
  fatal_fmt("Unable to load the Ceres module: %s: %s", path.c_str(), reason);
}

// Refuses any file but the module this program was built with, before the
// loader maps it: a truncated or damaged module would crash the run inside
// the loader (a bus error or a segmentation fault), and a FIFO would hang it.
void check_module(const std::string &path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) refuse_module(path, std::strerror(errno));
  struct stat st;
  if (fstat(fd, &st) != 0) refuse_module(path, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) refuse_module(path, "not a regular file");
  std::uint64_t checksum = 0, size = static_cast<std::uint64_t>(st.st_size);
  // The size first: a truncated file is not worth reading.
  if (size == TAVFIT_CERES_MODULE_SIZE && !file_checksum(fd, &checksum, &size))
    refuse_module(path, std::strerror(errno));
  close(fd);
  if (size != TAVFIT_CERES_MODULE_SIZE) {
    char reason[128];
    std::snprintf(reason, sizeof reason,
                  "%llu bytes, not the %llu of the module this program was built with",
                  static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(TAVFIT_CERES_MODULE_SIZE));
    refuse_module(path, reason);
  }
  if (checksum != TAVFIT_CERES_MODULE_CHECKSUM)
    refuse_module(path, "its contents differ from the module this program was built with");
}
#endif

// The module next to the program (a build tree), under the library directory
// relative to it (an installed tree, wherever it was unpacked), or under the
// library directory it was configured for.  A program built without the
// Ceres method has no module of its own, so it looks for none.
TavfitCeresFitFn load_module() {
  const std::string dir = program_dir();
#ifdef TAVFIT_CERES_MODULE_STAMPED
  const std::string candidates[] = {dir + "/" + kModuleName,
                                    dir + "/" TAVFIT_MODULE_RELDIR "/" + kModuleName,
                                    std::string(TAVFIT_MODULE_DIR "/") + kModuleName};
  for (const std::string &path : candidates) {
    if (dir.empty() && path[0] != '/') continue;
    if (access(path.c_str(), F_OK) != 0) continue;
    check_module(path);
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) fatal_fmt("Unable to load the Ceres module: %s", dlerror());
    auto version =
        reinterpret_cast<TavfitCeresAbiVersionFn>(dlsym(module, "tavfit_ceres_abi_version"));
    auto fit = reinterpret_cast<TavfitCeresFitFn>(dlsym(module, "tavfit_ceres_fit"));
    if (version == nullptr || fit == nullptr || version() != TAVFIT_CERES_ABI_VERSION)
      fatal_fmt("The Ceres module '%s' does not belong to this program.", path.c_str());
    return fit;  // the module stays loaded until the process ends
  }
#endif
  fatal_fmt("Ceres module %s not found next to the program or in %s.", kModuleName,
            TAVFIT_MODULE_DIR);
}

// A parameter's catalogue label without its padding ("A1.......:" -> "A1").
std::string parm_name(int slot) {
  std::string label = fitParmStr[fitFunc][slot];
  while (!label.empty() && (label.back() == '.' || label.back() == ':')) label.pop_back();
  return label;
}

void print_summary(const CeresFitResult &r) {
  const int m = r.numFree;
  std::printf("\n");
  std::printf("Ceres Levenberg-Marquardt returned %s in %d iter\n", r.termination, r.iterations);
  std::printf("   %s\n", r.message);
  std::printf("Initial cost: %g, final cost: %g\n", r.initialCost, r.finalCost);
  std::printf("Solution:\n   ");
  for (int j = 0; j < m; ++j) std::printf("%.7g ", r.freeParms[j]);
  std::printf("\n");
  std::printf("Covariance of the fit:\n   ");
  for (int row = 0; row < m; ++row) {
    for (int col = 0; col < m; ++col) std::printf("%g ", r.covar[row * m + col]);
    std::printf("\n   ");
  }
  std::printf("\n");
}

// Reason numbers of the termination record: the module's status plus one, so
// that 0 keeps its meaning of "every parameter held".
int termination_reason(int status) { return status + 1; }

// The solver's figures, by name, for the termination record.
void record_termination(const CeresFitResult &r) {
  set_termination(r.status == kCeresConverged || r.status == kCeresNoCovariance,
                  termination_reason(r.status), r.message);
  fitTermination.infoCount = 3;
  fitTermination.infoName[0] = "initial_cost";
  fitTermination.info[0] = r.initialCost;
  fitTermination.infoName[1] = "final_cost";
  fitTermination.info[1] = r.finalCost;
  fitTermination.infoName[2] = "iterations";
  fitTermination.info[2] = r.iterations;
}

// Model values at the parameters now in fitParms, and their RMSE.
void set_fitted_values() {
  set_results();
  calc_rmse(fitParms, &rmse);
}

}  // namespace

int do_ceres() {
  const int P = fitParmNum[fitFunc];
  const FreeSlots freeSlots = free_slots(P, holdConstFlag);
  const int m = freeSlots.count;
  for (int i = 0; i < P; ++i) fitStdDev[i] = 0.0;
  itCount = 0;

  if (m == 0) {
    // Nothing for the solver to do: report the given parameters as they stand.
    set_termination(false, 0, "every parameter held, nothing to fit");
    show_msg(kNote, "ceres: all parameters held constant, nothing to fit");
    set_fitted_values();
    return 0;
  }
  if (numData < m) fatal("ceres: Fewer data points than free parameters");
  // Free values only: held ones are the model's constants, and one held at
  // inf can be a sound limit (T2 = inf: no decay), as in the other methods.
  for (int j = 0; j < m; ++j)
    if (!std::isfinite(fitParms[freeSlots.slot[j]]))
      fatal_fmt("The start value of %s is not a finite number.",
                parm_name(freeSlots.slot[j]).c_str());

  const TavfitCeresFitFn fit = load_module();
  const CeresFitProblem problem = {fitFunc, P,     holdConstFlag, fitParms,
                                   numData, xData, yData,         tData,
                                   maxIt < 0 ? 0 : maxIt};
  static CeresFitResult result;  // the termination record points into it
  fit(&problem, &result);
  record_termination(result);
  switch (result.status) {
    case kCeresConverged:
    case kCeresNoCovariance:
      break;
    case kCeresNoConvergence:
      fatal_fmt("Maximum iterations reached without convergence: %d.", maxIt);
    case kCeresModelUndefined:
      fatal(result.message);
    default:  // kCeresSolverFailure, kCeresBadProblem
      fatal_fmt("ceres: %s", result.message);
  }

  itCount = result.iterations;
  scatter_free(freeSlots, result.freeParms, fitParms);
  for (int j = 0; j < m; ++j) fitStdDev[freeSlots.slot[j]] = std::sqrt(result.covar[j * m + j]);
  for (int r = 0; r < m; ++r)
    for (int c = 0; c < m; ++c) fitCovar[r][c] = result.covar[r * m + c];
  set_fitted_values();
  print_summary(result);

  if (result.status == kCeresNoCovariance)
    fatal("ceres: singular matrix, cannot compute covariance matrix");
  if (result.undetermined >= 0)
    fatal_fmt("ceres: zero variance of parameter %s, the data do not determine it",
              parm_name(freeSlots.slot[result.undetermined]).c_str());
  return 0;
}
