// The Ceres method: trust-region Levenberg-Marquardt on dense QR with exact
// derivatives by automatic differentiation of the model templates.  Built as
// the module tavfit_ceres.so and loaded only when "-ceres" is given; see
// ceres_fit.h for the boundary.
#include "ceres_fit.h"

#include <ceres/ceres.h>
#include <glog/logging.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "models.h"
#include "problem.h"

static_assert(TAVFIT_CERES_MAX_PARMS == kMaxParms, "the module and the program agree on the slots");

namespace {

// Stopping rules tight enough that the solver stops at the minimum, not near
// it: Ceres' defaults leave these problems 3 to 6 digits short.
constexpr double kFunctionTolerance = 1e-16;
constexpr double kGradientTolerance = 1e-15;
constexpr double kParameterTolerance = 1e-12;

inline double scalar(double v) { return v; }
template <int N>
inline double scalar(const ceres::Jet<double, N> &v) {
  return v.a;
}

// All points in one residual block: model minus data, over the free parameters.
struct Residuals {
  FitFuncId id;
  int numSlots;
  const int *hold;
  const double *slots;
  int numData;
  const double *x, *y, *x2;
  const double *sigma;   // nullptr: unweighted
  const Bounds *bounds;  // nullptr: none
  bool *modelUndefined;  // set when a step enters XY2's excluded region
  const TavfitFormulaOp *formula;  // a typed formula, or nullptr
  int formulaLength;

  template <typename Real>
  bool operator()(const Real *free, Real *residual) const {
    Real full[kMaxParms];
    expand_free(numSlots, hold, slots, free, full);
    to_model(bounds, numSlots, full);
    // The guard the double evaluator applies, on the value part.
    if (id == kXy2 && xy2_excluded(scalar(full[1]), scalar(full[3]))) {
      *modelUndefined = true;
      return false;
    }
    const Points points = {x, y, x2, numData, sigma};
    if (formula != nullptr) {
      for (int i = 0; i < numData; ++i)
        residual[i] = points.residual(i, formula_value(formula, formulaLength, x[i], x2[i], full));
      return true;
    }
    for (int i = 0; i < numData; ++i) residual[i] = points.residual(i, model_value(id, x[i], x2[i], full));
    return true;
  }
};

// Ends the solve at the next iteration once the model has been undefined
// (the other methods stop there too, and a failed evaluation alone would only
// make Ceres shrink its step and carry on), or once the cost, the gradient or
// the step norm is no longer a finite number: Ceres would report convergence,
// as its tolerance tests pass on NaN.
class Watch : public ceres::IterationCallback {
 public:
  explicit Watch(const bool *modelUndefined) : modelUndefined_(modelUndefined) {}
  ceres::CallbackReturnType operator()(const ceres::IterationSummary &s) override {
    if (*modelUndefined_) return ceres::SOLVER_ABORT;
    // The largest gradient component tells an overflow (the 2-norm overflows
    // first, at finite gradients), the 2-norm a NaN (which a maximum may skip).
    const char *what = !std::isfinite(s.cost) ? "cost"
                       : !std::isfinite(s.gradient_max_norm) || std::isnan(s.gradient_norm)
                           ? "gradient"
                       : !std::isfinite(s.step_norm) ? "step norm"
                                                     : nullptr;
    if (what == nullptr) return ceres::SOLVER_CONTINUE;
    failure_ = std::string("The ") + what + " is not a finite number at iteration " +
               std::to_string(s.iteration) + ".";
    return ceres::SOLVER_ABORT;
  }
  // Why the solve was ended for a non-finite value, or nullptr.
  const char *failure() const { return failure_.empty() ? nullptr : failure_.c_str(); }

 private:
  const bool *modelUndefined_;
  std::string failure_;
};

// Automatic differentiation needs the parameter count at compile time.
using CostMaker = ceres::CostFunction *(*)(Residuals *, int);

template <int M>
ceres::CostFunction *make_cost(Residuals *functor, int numResiduals) {
  return new ceres::AutoDiffCostFunction<Residuals, ceres::DYNAMIC, M>(functor, numResiduals);
}

constexpr CostMaker kCostMakers[kMaxParms + 1] = {
    nullptr,        make_cost<1>, make_cost<2>, make_cost<3>, make_cost<4>, make_cost<5>,
    make_cost<6>,   make_cost<7>, make_cost<8>, make_cost<9>, make_cost<10>};

// As much of text as fits, always terminated.
void copy_text(char *dest, size_t size, const char *text) {
  const size_t length = std::min(std::strlen(text), size - 1);
  std::memcpy(dest, text, length);
  dest[length] = '\0';
}

template <typename Result>
int finish(Result *result, int status, const char *message) {
  result->status = status;
  if (message != nullptr) copy_text(result->message, sizeof result->message, message);
  return status;
}

// Ceres writes through glog; nothing of it may reach the user's terminal.
// glog's flags are process-wide: set once, by whichever fit comes first.
void silence_logging() {
  static std::once_flag once;
  std::call_once(once, [] {
    FLAGS_logtostderr = true;  // never create log files
    FLAGS_minloglevel = 3;     // only FATAL, which aborts anyway
    FLAGS_stderrthreshold = 3;
  });
}

ceres::Solver::Options solver_options(int maxIterations, Watch *watch) {
  ceres::Solver::Options options;
  options.minimizer_type = ceres::TRUST_REGION;
  options.trust_region_strategy_type = ceres::LEVENBERG_MARQUARDT;
  options.linear_solver_type = ceres::DENSE_QR;
  options.max_num_iterations = maxIterations;
  options.function_tolerance = kFunctionTolerance;
  options.gradient_tolerance = kGradientTolerance;
  options.parameter_tolerance = kParameterTolerance;
  options.num_threads = 1;
  options.logging_type = ceres::SILENT;
  options.minimizer_progress_to_stdout = false;
  options.callbacks.push_back(watch);
  return options;
}

// The solve's figures into result (a CeresFitResult or CeresGlobalResult),
// and its status; kCeresConverged only at a converged solution.
template <typename Result>
int ending(const ceres::Solver::Summary &summary, bool modelUndefined, const Watch &watch,
           Result *result) {
  result->iterations = summary.num_successful_steps + summary.num_unsuccessful_steps;
  result->initialCost = summary.initial_cost;
  result->finalCost = summary.final_cost;
  copy_text(result->termination, sizeof result->termination,
            ceres::TerminationTypeToString(summary.termination_type));
  copy_text(result->message, sizeof result->message, summary.message.c_str());
  if (modelUndefined) return finish(result, kCeresModelUndefined, kXy2ExcludedText);
  if (watch.failure() != nullptr) return finish(result, kCeresSolverFailure, watch.failure());
  if (summary.termination_type == ceres::NO_CONVERGENCE)
    return finish(result, kCeresNoConvergence, nullptr);
  if (summary.termination_type != ceres::CONVERGENCE)
    return finish(result, kCeresSolverFailure, nullptr);
  return finish(result, kCeresConverged, nullptr);
}

// The bounds of a problem's slots, when it has them (all three arrays).
template <typename Problem>
bool take_bounds(const Problem &in, Bounds *bounds) {
  if (in.boundKind == nullptr || in.lower == nullptr || in.upper == nullptr) return false;
  for (int i = 0; i < in.numSlots; ++i) {
    bounds->kind[i] = in.boundKind[i];
    bounds->lower[i] = in.lower[i];
    bounds->upper[i] = in.upper[i];
  }
  return true;
}

int fit(const CeresFitProblem &in, CeresFitResult *result) {
  const bool typed = in.formula != nullptr && in.formulaLength > 0;
  if (!typed && !valid_fit_func(in.fitFunc))
    return finish(result, kCeresBadProblem, "Undefined Fit Function");
  if (in.numSlots < 0 || in.numSlots > kMaxParms || in.numData < 1 || in.maxIterations < 0)
    return finish(result, kCeresBadProblem, "invalid problem");
  const FreeSlots freeSlots = free_slots(in.numSlots, in.hold);
  const int m = freeSlots.count;
  result->numFree = m;
  if (m == 0) return finish(result, kCeresBadProblem, "no free parameter");
  if (in.numData < m) return finish(result, kCeresBadProblem, "Fewer data points than free parameters");

  double *free = result->freeParms;
  gather_free(freeSlots, in.slots, free);
  for (int j = 0; j < m; ++j)
    if (!std::isfinite(free[j])) return finish(result, kCeresBadProblem, "non-finite start value");

  Bounds bounds;
  const bool bounded = take_bounds(in, &bounds);
  bool modelUndefined = false;
  auto *functor = new Residuals{typed ? kFormulaId : static_cast<FitFuncId>(in.fitFunc),
                                in.numSlots, in.hold, in.slots, in.numData, in.x, in.y, in.x2,
                                in.sigma, bounded ? &bounds : nullptr, &modelUndefined,
                                typed ? in.formula : nullptr, typed ? in.formulaLength : 0};
  ceres::Problem problem;  // owns the cost function, which owns the functor
  problem.AddResidualBlock(kCostMakers[m](functor, in.numData), nullptr, free);

  Watch watch(&modelUndefined);
  ceres::Solver::Options options = solver_options(in.maxIterations, &watch);
  ceres::Solver::Summary summary;
  ceres::Solve(options, &problem, &summary);
  const int status = ending(summary, modelUndefined, watch, result);
  // Ask for a covariance only at a converged solution: Ceres 2.1 crashes on
  // the Jacobian of a failed solve.
  if (status != kCeresConverged) return status;

  // A pseudo-inverse that drops only the directions below eps of the largest
  // singular value of J: the default limit refuses badly scaled but well
  // determined problems (Pontius).  A dropped direction leaves a variance of
  // exactly 0, which the caller reports.
  ceres::Covariance::Options covOptions;
  covOptions.algorithm_type = ceres::DENSE_SVD;
  covOptions.min_reciprocal_condition_number = DBL_EPSILON * DBL_EPSILON;
  covOptions.null_space_rank = -1;
  covOptions.num_threads = 1;
  ceres::Covariance covariance(covOptions);
  const std::vector<const double *> blocks = {free};
  double inverse[kMaxParms * kMaxParms];
  if (!covariance.Compute(blocks, &problem) || !covariance.GetCovarianceBlock(free, free, inverse))
    return finish(result, kCeresNoCovariance, nullptr);
  const double sse = 2 * summary.final_cost;  // Ceres' cost is half the sum of squares
  // Absolute sigmas: the covariance is the inverse itself.
  const double scale = in.absoluteSigma ? 1.0 : sse / (in.numData - m);
  for (int k = 0; k < m * m; ++k) result->covar[k] = inverse[k] * scale;
  result->undetermined = -1;
  for (int j = m - 1; j >= 0; --j)
    if (inverse[j * m + j] == 0.0) result->undetermined = j;
  return finish(result, kCeresConverged, nullptr);
}

// One curve of a global fit: its residuals over the shared free values and
// its own, two parameter blocks of which either may be absent.
struct CurveResiduals {
  FitFuncId id;
  int numSlots;
  const double *slots;  // this curve's held values
  const FreeSlots *free;
  const int *shared;    // per slot
  const int *index;     // per free parameter: its place in its block
  int sharedBlock, ownBlock;  // their places among the blocks, -1 when absent
  int numData;
  const double *x, *y, *x2, *sigma;
  const Bounds *bounds;
  bool *modelUndefined;
  const TavfitFormulaOp *formula;  // a typed formula, or nullptr
  int formulaLength;

  template <typename Real>
  bool operator()(Real const *const *blocks, Real *residual) const {
    Real full[kMaxParms];
    for (int k = 0; k < numSlots; ++k) full[k] = Real(slots[k]);
    for (int j = 0; j < free->count; ++j) {
      const int k = free->slot[j];
      full[k] = blocks[shared[k] != 0 ? sharedBlock : ownBlock][index[j]];
    }
    to_model(bounds, numSlots, full);
    if (id == kXy2 && xy2_excluded(scalar(full[1]), scalar(full[3]))) {
      *modelUndefined = true;
      return false;
    }
    const Points points = {x, y, x2, numData, sigma};
    for (int i = 0; i < numData; ++i)
      residual[i] = points.residual(
          i, formula != nullptr ? formula_value(formula, formulaLength, x[i], x2[i], full)
                                : model_value(id, x[i], x2[i], full));
    return true;
  }
};

int global_fit(const CeresGlobalProblem &in, CeresGlobalResult *result) {
  const bool typed = in.formula != nullptr && in.formulaLength > 0;
  if (!typed && !valid_fit_func(in.fitFunc))
    return finish(result, kCeresBadProblem, "Undefined Fit Function");
  if (in.numSlots < 1 || in.numSlots > kMaxParms || in.numCurves < 1 || in.maxIterations < 0)
    return finish(result, kCeresBadProblem, "invalid problem");
  const FreeSlots free = free_slots(in.numSlots, in.hold);
  int index[kMaxParms], s = 0, u = 0;
  for (int j = 0; j < free.count; ++j) index[j] = in.shared[free.slot[j]] != 0 ? s++ : u++;
  if (s + u == 0) return finish(result, kCeresBadProblem, "no free parameter");
  Bounds bounds;
  const bool bounded = take_bounds(in, &bounds);

  bool modelUndefined = false;
  ceres::Problem problem;
  // The Schur solvers eliminate the curves' own blocks first, which leaves a
  // system of the shared parameters alone.
  auto ordering = std::make_shared<ceres::ParameterBlockOrdering>();
  double *sharedValues = in.values;
  if (s > 0) ordering->AddElementToGroup(sharedValues, 1);
  for (int c = 0; c < in.numCurves; ++c) {
    const int first = in.curveStart[c], count = in.curveStart[c + 1] - first;
    if (count < 1) return finish(result, kCeresBadProblem, "a curve without points");
    auto *functor = new CurveResiduals{typed ? kFormulaId : static_cast<FitFuncId>(in.fitFunc),
                                       in.numSlots,
                                       in.slots + size_t(c) * in.numSlots,
                                       &free,
                                       in.shared,
                                       index,
                                       s > 0 ? 0 : -1,
                                       u > 0 ? (s > 0 ? 1 : 0) : -1,
                                       count,
                                       in.x + first,
                                       in.y + first,
                                       in.x2 + first,
                                       in.sigma != nullptr ? in.sigma + first : nullptr,
                                       bounded ? &bounds : nullptr,
                                       &modelUndefined,
                                       typed ? in.formula : nullptr,
                                       typed ? in.formulaLength : 0};
    auto *cost = new ceres::DynamicAutoDiffCostFunction<CurveResiduals, 4>(functor);
    std::vector<double *> blocks;
    if (s > 0) {
      cost->AddParameterBlock(s);
      blocks.push_back(sharedValues);
    }
    if (u > 0) {
      double *own = in.values + s + size_t(c) * u;
      cost->AddParameterBlock(u);
      blocks.push_back(own);
      ordering->AddElementToGroup(own, 0);
    }
    cost->SetNumResiduals(count);
    problem.AddResidualBlock(cost, nullptr, blocks);
  }

  Watch watch(&modelUndefined);
  ceres::Solver::Options options = solver_options(in.maxIterations, &watch);
  if (s > 0 && u > 0) {
    options.linear_solver_type = ceres::DENSE_SCHUR;
    options.linear_solver_ordering = ordering;
  } else if (u > 0) { options.linear_solver_type = ceres::SPARSE_NORMAL_CHOLESKY;
  }
  std::string why;
  if (!options.IsValid(&why)) return finish(result, kCeresBadProblem, why.c_str());
  ceres::Solver::Summary summary;
  ceres::Solve(options, &problem, &summary);
  return ending(summary, modelUndefined, watch, result);
}

}  // namespace

#define TAVFIT_EXPORT __attribute__((visibility("default")))

extern "C" TAVFIT_EXPORT int tavfit_ceres_abi_version(void) { return TAVFIT_CERES_ABI_VERSION; }

extern "C" TAVFIT_EXPORT int tavfit_ceres_fit(const CeresFitProblem *problem, CeresFitResult *result) {
  std::memset(result, 0, sizeof *result);
  silence_logging();
  try {
    return fit(*problem, result);
  } catch (const std::exception &e) {
    return finish(result, kCeresSolverFailure, e.what());
  } catch (...) {
    return finish(result, kCeresSolverFailure, "unknown error");
  }
}

extern "C" TAVFIT_EXPORT int tavfit_ceres_global_fit(const CeresGlobalProblem *problem,
                                                     CeresGlobalResult *result) {
  std::memset(result, 0, sizeof *result);
  silence_logging();
  try {
    return global_fit(*problem, result);
  } catch (const std::exception &e) {
    return finish(result, kCeresSolverFailure, e.what());
  } catch (...) {
    return finish(result, kCeresSolverFailure, "unknown error");
  }
}
