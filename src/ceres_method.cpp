// The Ceres method: finds, checks and loads the module tavfit_ceres.so, once
// per process, and fits through its plain C interface (ceres_fit.h).  Only
// fits that use this method load the module, so no other fit loads Ceres and
// the two dozen libraries it brings.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "catalogue.h"
#include "ceres_fit.h"
#include "file_checksum.h"
#include "methods.h"

#ifdef TAVFIT_CERES_MODULE_STAMPED
#include "ceres_module_stamp.h"
#endif

#ifndef TAVFIT_MODULE_DIR
#define TAVFIT_MODULE_DIR "/usr/local/lib/tavfit"
#endif
#ifndef TAVFIT_MODULE_RELDIR
#define TAVFIT_MODULE_RELDIR "../lib/tavfit"
#endif
#ifndef TAVFIT_PACKAGE_MODULE_DIR
#define TAVFIT_PACKAGE_MODULE_DIR TAVFIT_MODULE_DIR
#endif

namespace {

constexpr const char *kModuleName = "tavfit_ceres.so";

// The module's fit, or why there is none.
struct Module {
  TavfitCeresFitFn fit = nullptr;
  TavfitCeresGlobalFitFn global = nullptr;
  std::string failure;
};

// Directory of the running program, or "" when it cannot be told.
std::string program_dir() {
  std::error_code unreadable;  // leaves the path empty
  return std::filesystem::read_symlink("/proc/self/exe", unreadable).parent_path();
}

#ifdef TAVFIT_CERES_MODULE_STAMPED
// Refuses any file but the module this program was built with, before the
// loader maps it: a truncated or damaged module would crash the process
// inside the loader (a bus error or a segmentation fault), and a FIFO would
// hang it.  Returns why the file is refused, or "".
std::string check_module(const std::string &path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat st;
  std::uint64_t checksum = 0, size = 0;
  std::string why;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a regular file";
  } else {
    size = static_cast<std::uint64_t>(st.st_size);
    // The size first: a truncated file is not worth reading.
    if (size == TAVFIT_CERES_MODULE_SIZE && !file_checksum(fd, &checksum, &size))
      why = std::strerror(errno);
  }
  close(fd);
  if (!why.empty()) return why;
  if (size != TAVFIT_CERES_MODULE_SIZE)
    return std::to_string(size) + " bytes, not the " +
           std::to_string(static_cast<std::uint64_t>(TAVFIT_CERES_MODULE_SIZE)) +
           " of the module this program was built with";
  if (checksum != TAVFIT_CERES_MODULE_CHECKSUM)
    return "its contents differ from the module this program was built with";
  return "";
}
#endif

// The module next to the program (a build tree), under the library directory
// relative to it (an installed tree, wherever it was unpacked), under the
// library directory it was configured for, or where the Debian package puts
// it (for programs built on the installed library).  A build without the Ceres method
// has no module of its own, so it looks for none.
Module load_module() {
  Module module;
  const std::string dir = program_dir();
#ifdef TAVFIT_CERES_MODULE_STAMPED
  const std::string candidates[] = {dir + "/" + kModuleName,
                                    dir + "/" TAVFIT_MODULE_RELDIR "/" + kModuleName,
                                    std::string(TAVFIT_MODULE_DIR "/") + kModuleName,
                                    std::string(TAVFIT_PACKAGE_MODULE_DIR "/") + kModuleName};
  for (const std::string &path : candidates) {
    if (dir.empty() && path[0] != '/') continue;
    if (access(path.c_str(), F_OK) != 0) continue;
    const std::string refused = check_module(path);
    if (!refused.empty()) {
      module.failure = "Unable to load the Ceres module: " + path + ": " + refused;
      return module;
    }
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      module.failure = std::string("Unable to load the Ceres module: ") + dlerror();
      return module;
    }
    auto version =
        reinterpret_cast<TavfitCeresAbiVersionFn>(dlsym(handle, "tavfit_ceres_abi_version"));
    auto fit = reinterpret_cast<TavfitCeresFitFn>(dlsym(handle, "tavfit_ceres_fit"));
    auto global =
        reinterpret_cast<TavfitCeresGlobalFitFn>(dlsym(handle, "tavfit_ceres_global_fit"));
    if (version == nullptr || fit == nullptr || global == nullptr ||
        version() != TAVFIT_CERES_ABI_VERSION) {
      module.failure = "The Ceres module '" + path + "' does not belong to this program.";
      return module;
    }
    module.fit = fit;  // the module stays loaded until the process ends
    module.global = global;
    return module;
  }
#endif
  module.failure = std::string("Ceres module ") + kModuleName +
                   " not found next to the program or in " TAVFIT_MODULE_DIR ".";
  return module;
}

// Loaded by the first fit that needs it, whichever thread that is; the
// others wait for it.
const Module &module() {
  static const Module loaded = load_module();
  return loaded;
}

std::string parameter_name(const FitProblem &problem, int slot) {
  if (problem.formula != nullptr) return problem.formula->parameters[slot];
  return parm_name(catalogue_entry(problem.id).parm[slot].label);
}

// How the module's solve ended (a CeresFitResult or CeresGlobalResult), into
// out: the termination and the failure its status makes; false on failure.
template <typename Result>
bool module_ending(const Result &r, int maxIterations, MethodOutput &out) {
  // Reason numbers: the module's status plus one, so that 0 keeps its
  // meaning of "every parameter held".
  out.terminate(r.status == kCeresConverged || r.status == kCeresNoCovariance, r.status + 1,
                r.message);
  out.termination.type = r.termination;
  out.termination.info = {{"initial_cost", r.initialCost},
                          {"final_cost", r.finalCost},
                          {"iterations", r.iterations}};
  switch (r.status) {
    case kCeresConverged:
    case kCeresNoCovariance:
      return true;
    case kCeresNoConvergence:
      out.fail(with_int("Maximum iterations reached without convergence: ", maxIterations, "."));
      return false;
    case kCeresModelUndefined:
      out.fail(r.message);
      return false;
    default:  // kCeresSolverFailure, kCeresBadProblem
      out.fail(std::string("ceres: ") + r.message);
      return false;
  }
}

}  // namespace

void ceres_fit(const FitProblem &problem, double *slots, MethodOutput &out) {
  const FreeSlots &freeSlots = problem.free;
  const int m = freeSlots.count;
  // Free values only: held ones are the model's constants, and one held at
  // inf can be a sound limit (T2 = inf: no decay), as in the other methods.
  for (int j = 0; j < m; ++j)
    if (!std::isfinite(slots[freeSlots.slot[j]]))
      return out.fail("The start value of " + parameter_name(problem, freeSlots.slot[j]) +
                      " is not a finite number.");
  const Module &loaded = module();
  if (loaded.fit == nullptr) return out.fail(loaded.failure);

  const CeresFitProblem in = {problem.id,       problem.numParms,       problem.hold,
                              slots,            problem.points.n,       problem.points.x,
                              problem.points.y, problem.points.x2,
                              problem.maxIterations < 0 ? 0 : problem.maxIterations,
                              problem.points.sigma,   problem.absoluteSigma ? 1 : 0,
                              problem.bounds ? problem.bounds->kind : nullptr,
                              problem.bounds ? problem.bounds->lower : nullptr,
                              problem.bounds ? problem.bounds->upper : nullptr,
                              problem.formula ? problem.formula->code.data() : nullptr,
                              problem.formula ? static_cast<int>(problem.formula->code.size()) : 0};
  CeresFitResult r;
  loaded.fit(&in, &r);
  if (!module_ending(r, problem.maxIterations, out)) return;
  out.iterations = r.iterations;
  scatter_free(freeSlots, r.freeParms, slots);
  for (int j = 0; j < m; ++j) out.sd[j] = std::sqrt(r.covar[j * m + j]);
  for (int k = 0; k < m * m; ++k) out.covariance[k] = r.covar[k];
  out.hasSummary = true;
  if (r.status == kCeresNoCovariance)
    return out.fail("ceres: singular matrix, cannot compute covariance matrix");
  if (r.undetermined >= 0)
    out.fail("ceres: zero variance of parameter " +
             parameter_name(problem, freeSlots.slot[r.undetermined]) +
             ", the data do not determine it");
}

void ceres_global_fit(const CeresGlobalProblem &problem, MethodOutput &out) {
  const Module &loaded = module();
  if (loaded.global == nullptr) return out.fail(loaded.failure);
  CeresGlobalResult r;
  loaded.global(&problem, &r);
  if (module_ending(r, problem.maxIterations, out)) out.iterations = r.iterations;
}
