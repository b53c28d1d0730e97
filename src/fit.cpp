// The library's fit: one wrapper around the methods for what all of them do
// alike (checking the problem, nothing free, too few points, the free
// parameters, the model values and the sum of squares at the answer), the
// table of the methods, and the built-in models as Model values.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "catalogue.h"
#include "methods.h"

const MethodRow kMethods[] = {
    {tavfit::Method::Tavrin, "TAVRIN", "-tavrin",
     "fit with TAVRIN, damped Gauss-Newton (the default)", tavrin_fit, tavrin_check_start,
     nullptr, nullptr},
    {tavfit::Method::Levmar, "LEVMAR", "-levmar", "fit with Levenberg-Marquardt", levmar_fit,
     nullptr, "levmar: all parameters held constant, nothing to fit",
     "levmar: Fewer data points than free parameters"},
    {tavfit::Method::Ceres, "CERES", "-ceres",
     "fit with Ceres Solver: exact derivatives, most digits", ceres_fit, nullptr,
     "ceres: all parameters held constant, nothing to fit",
     "ceres: Fewer data points than free parameters"},
};
const int kMethodCount = sizeof kMethods / sizeof kMethods[0];

const MethodRow &method_row(tavfit::Method method) {
  for (const MethodRow &row : kMethods)
    if (row.method == method) return row;
  return kMethods[0];
}

std::string with_int(const char *before, long long value, const char *after) {
  return before + std::to_string(value) + after;
}

tavfit::Model builtin_model(int id) {
  const CatalogueEntry &entry = catalogue_entry(id);
  tavfit::Model model;
  model.keyword = entry.keyword;
  model.label = entry.label;
  model.description = entry.note;
  model.formula = entry.formula;
  for (int k = 0; k < entry.parmNum; ++k) model.parameters.push_back(parm_name(entry.parm[k].label));
  model.uses_x2 = entry.x2.meaning != nullptr;
  model.id = id;
  return model;
}

static_assert(tavfit::kMaxParameters == kMaxParms, "the library's limit is the slots'");

namespace tavfit {
namespace {

std::vector<Model> make_models() {
  std::vector<Model> all;
  for (int id = 0; id < kFitFuncCount; ++id) all.push_back(builtin_model(id));
  return all;
}

// "At point 3 (x = 0.5)", with x2 where the points have one.
std::string format_point(int k, const Points &points) {
  char text[128];
  std::snprintf(text, sizeof text, "At point %d (x = %.15g", k + 1, points.x[k]);
  std::string s = text;
  if (points.x2[k] != 0.0) {
    std::snprintf(text, sizeof text, ", x2 = %.15g", points.x2[k]);
    s += text;
  }
  return s + ")";
}

FitResult failed(FitResult result, std::string message) {
  result.ok = false;
  result.message = std::move(message);
  return result;
}

}  // namespace

std::string malformed(const Problem &problem) {
  const size_t P = problem.model.parameters.size();
  const Curve &curve = problem.curve;
  if (problem.start.size() != P)
    return with_int("The problem has ", static_cast<long long>(problem.start.size()),
                    " start values for ") +
           with_int("", static_cast<long long>(P), " parameters.");
  if (!problem.held.empty() && problem.held.size() != P)
    return with_int("The problem has ", static_cast<long long>(problem.held.size()),
                    " hold flags for ") +
           with_int("", static_cast<long long>(P), " parameters.");
  if (curve.y.size() != curve.x.size() || (!curve.x2.empty() && curve.x2.size() != curve.x.size()))
    return "The curve's x, y and x2 differ in length.";
  if (curve.x.empty()) return "The curve has no points.";
  if ((!problem.lower.empty() && problem.lower.size() != P) ||
      (!problem.upper.empty() && problem.upper.size() != P))
    return with_int("The problem's bounds are not one per parameter (", static_cast<long long>(P),
                    ").");
  if (!curve.sigma.empty() && curve.sigma.size() != curve.x.size())
    return "The curve's sigma and x differ in length.";
  for (size_t k = 0; k < curve.sigma.size(); ++k)
    if (!(curve.sigma[k] > 0.0 && std::isfinite(curve.sigma[k])))
      return with_int("The sigma of point ", static_cast<long long>(k + 1),
                      " is not a positive finite number.");
  if (curve.x.size() > static_cast<size_t>(INT32_MAX)) return "The curve has too many points.";
  return "";
}

// Bounds on held parameters are not looked at.
std::string take_bounds(const Problem &problem, const int *hold, Bounds *box, bool *any) {
  *any = false;
  for (size_t k = 0; k < problem.start.size(); ++k) {
    if (hold[k] != 0) continue;
    const double lo = problem.lower.empty() ? -INFINITY : problem.lower[k];
    const double hi = problem.upper.empty() ? INFINITY : problem.upper[k];
    const std::string &name = problem.model.parameters[k];
    if (std::isnan(lo) || std::isnan(hi)) return "A bound of " + name + " is not a number.";
    if (lo > hi) return "The lower bound of " + name + " is above its upper bound.";
    const int kind =
        (std::isfinite(lo) ? Bounds::kLower : 0) | (std::isfinite(hi) ? Bounds::kUpper : 0);
    if (kind == Bounds::kNone) continue;
    if (lo == hi) return "The bounds of " + name + " leave it no room; hold it instead.";
    if (!(problem.start[k] >= lo && problem.start[k] <= hi))
      return "The start value of " + name + " lies outside its bounds.";
    box->kind[k] = kind;
    box->lower[k] = lo;
    box->upper[k] = hi;
    *any = true;
  }
  return "";
}

namespace {

// One run of the method on fp, from fitted (in: start values, out: answer).
void run_method(const MethodRow &row, const FitProblem &fp, double *fitted, MethodOutput &out) {
  const int m = fp.free.count;
  if (row.checkStart != nullptr) row.checkStart(fp, out);
  if (!out.failed && m == 0) {
    out.terminate(false, 0, "every parameter held, nothing to fit");
    if (row.allHeldNote != nullptr) out.note(row.allHeldNote);
  } else if (!out.failed && fp.points.n < m && row.fewerPointsText != nullptr) {
    out.fail(row.fewerPointsText);
  } else if (!out.failed) {
    row.fit(fp, fitted, out);
  }
}

// The method's answer within the box, with the parameters of onBound held on
// their bounds and every other bounded one fitted through lmfit's
// transformation (see Bounds), so that no method sees a constraint.  Values
// come back in fitted; deviations (sd, per slot) and the covariance (over
// fp's free parameters) in the model's terms.  start: where a bounded free
// parameter starts when its own start lies on a bound, where the
// transformation has no slope to move it by, and with fromStart where every
// free parameter starts.
void run_within(const MethodRow &row, const FitProblem &fp, const Bounds &box,
                const bool *onBound, const double *start, bool fromStart, double *fitted,
                double *sd, std::vector<double> &covariance, MethodOutput &out) {
  const int P = fp.numParms, m = fp.free.count;
  int hold[kMaxParms];
  double slots[kMaxParms];
  Bounds inner;
  bool transformed = false;
  for (int k = 0; k < P; ++k) {
    hold[k] = fp.hold[k] != 0 || onBound[k] ? 1 : 0;
    slots[k] = fromStart && fp.hold[k] == 0 ? start[k] : fp.start[k];
    if (onBound[k]) {
      slots[k] = std::fabs(start[k] - box.lower[k]) <= std::fabs(start[k] - box.upper[k])
                     ? box.lower[k] : box.upper[k];
    } else if (hold[k] == 0 && box.kind[k] != Bounds::kNone) {
      if (slots[k] == box.lower[k] || slots[k] == box.upper[k]) slots[k] = start[k];
      inner.kind[k] = box.kind[k];
      inner.lower[k] = box.lower[k];
      inner.upper[k] = box.upper[k];
      slots[k] = inner.internal(k, slots[k]);
      transformed = true;
    }
  }
  FitProblem within = fp;
  within.start = slots;
  within.hold = hold;
  within.free = free_slots(P, hold);
  within.bounds = transformed ? &inner : nullptr;
  std::copy(slots, slots + P, fitted);
  if (within.free.count > 0)
    run_method(row, within, fitted, out);
  else
    out.terminate(true, 0, "every free parameter ends on a bound");

  double slope[kMaxParms];
  for (int j = 0; j < within.free.count; ++j) {
    const int k = within.free.slot[j];
    slope[j] = inner.kind[k] != Bounds::kNone ? inner.slope(k, fitted[k]) : 1.0;
  }
  to_model(within.bounds, P, fitted);
  std::fill(sd, sd + P, 0.0);
  if (within.free.count < m) {
    // Held on a bound, a parameter is free all the same: the deviations and
    // covariance of all of them, from the exact Jacobian at the answer.
    double exactSd[kMaxParms], cov[kMaxParms * kMaxParms];
    covariance.assign(size_t(m) * m, NAN);
    if (!out.failed && exact_covariance(fp, fitted, exactSd, cov)) {
      for (int j = 0; j < m; ++j) sd[fp.free.slot[j]] = exactSd[j];
      covariance.assign(cov, cov + m * m);
    }
    return;
  }
  // The transformation's slope carries them from its variable, as lmfit does.
  for (int j = 0; j < m; ++j) sd[fp.free.slot[j]] = out.sd[j] * std::fabs(slope[j]);
  covariance.assign(out.covariance, out.covariance + m * m);
  for (int a = 0; a < m; ++a)
    for (int b = 0; b < m; ++b) covariance[a * m + b] *= slope[a] * slope[b];
}

}  // namespace

const std::vector<Model> &models() {
  static const std::vector<Model> all = make_models();
  return all;
}

const Model *find_model(const std::string &keyword) {
  const int id = catalogue_id(keyword.c_str());
  return id < 0 ? nullptr : &models()[id];
}

Model parse_model(const std::string &text, FormulaError *error) {
  Model model;
  auto formula = std::make_shared<Formula>();
  FormulaFault fault;
  if (!parse_formula(text, kMaxParms, formula.get(), &fault)) {
    if (error != nullptr) *error = {fault.message, fault.column};
    return model;
  }
  model.label = text;
  model.description = "y = " + formula->shown;
  model.formula = text;
  model.parameters = formula->parameters;
  model.uses_x = formula->usesX;
  model.uses_x2 = formula->usesX2;
  model.program = std::move(formula);
  return model;
}

std::string formula_start_fault(const FitProblem &fp) {
  if (fp.formula == nullptr) return "";
  std::vector<double> values(fp.points.n);
  model_values(fp.id, fp.formula, fp.points, fp.start, values.data());
  for (int k = 0; k < fp.points.n; ++k)
    if (!std::isfinite(values[k]))
      return format_point(k, fp.points) + ": the formula gives " +
             (std::isnan(values[k]) ? "NaN" : "an infinite value") + " at the start values.";
  return "";
}

int checked_model_id(const Model &model) {
  const Formula *formula = model.program.get();
  const int id = formula != nullptr ? kFormulaId : model.id;
  // The catalogue, or the parsed formula, decides what a model is: a Model
  // whose fields were changed by hand cannot make a method read beyond its
  // parameters.
  const size_t parameters = formula != nullptr  ? formula->parameters.size()
                            : valid_fit_func(id) ? catalogue_entry(id).parmNum
                                                 : 0;
  if ((formula == nullptr && !valid_fit_func(id)) || model.parameters.size() != parameters)
    return -1;
  return id;
}

FitResult fit(const Problem &problem, Method method, const Options &options) {
  FitResult result;
  const Formula *formula = problem.model.program.get();
  const int id = checked_model_id(problem.model);
  if (id < 0) return failed(result, "Undefined Fit Function");
  const std::string shape = malformed(problem);
  if (!shape.empty()) return failed(result, shape);

  const int P = static_cast<int>(problem.start.size());
  const int n = static_cast<int>(problem.curve.x.size());
  double slots[kMaxParms];
  int hold[kMaxParms];
  for (int k = 0; k < P; ++k) {
    slots[k] = problem.start[k];
    hold[k] = !problem.held.empty() && problem.held[k] ? 1 : 0;
  }
  const std::vector<double> zeros(problem.curve.x2.empty() ? n : 0, 0.0);
  const double *x2 = problem.curve.x2.empty() ? zeros.data() : problem.curve.x2.data();
  const double *sigma = problem.curve.sigma.empty() ? nullptr : problem.curve.sigma.data();
  Bounds box;
  bool bounded;
  const std::string badBounds = take_bounds(problem, hold, &box, &bounded);
  if (!badBounds.empty()) return failed(result, badBounds);
  FitProblem problemView = {static_cast<FitFuncId>(id),
                            P,
                            {problem.curve.x.data(), problem.curve.y.data(), x2, n, sigma},
                            slots,
                            hold,
                            free_slots(P, hold),
                            options.max_iterations,
                            sigma != nullptr && problem.curve.absolute_sigma};
  problemView.formula = formula;
  const FitProblem &fp = problemView;
  const std::string notANumber = formula_start_fault(fp);
  if (!notANumber.empty()) return failed(result, notANumber);
  const MethodRow &row = method_row(method);
  const int m = fp.free.count;
  // The start values stay in slots for the held parameters; the free ones are
  // fitted in a copy.
  double fitted[kMaxParms], sd[kMaxParms];
  bool onBound[kMaxParms] = {};
  MethodOutput out;
  std::vector<double> covariance;
  if (!bounded) {
    std::copy(slots, slots + P, fitted);
    run_method(row, fp, fitted, out);
    for (int j = 0; j < m; ++j) sd[fp.free.slot[j]] = out.sd[j];
    covariance.assign(out.covariance, out.covariance + m * m);
  } else {
    // An active set: the bounds that hold the minimum, first where the
    // descent from the start values ends, then where the check of each answer
    // ends, until the method's answer and the check's agree on them.  At most
    // one round more than free parameters, as each round settles one bound
    // in all but contrived cases.
    double start[kMaxParms] = {}, none[kMaxParms] = {};
    std::copy(slots, slots + P, start);
    bool ends[kMaxParms] = {};
    const tavfit::Check first = check_answer(fp, slots, none, &box, ends);
    if (first.done) {
      std::copy(ends, ends + P, onBound);
      std::copy(first.minimum.begin(), first.minimum.end(), start);
    }
    bool again = false;
    for (int round = 0;; ++round) {
      out = MethodOutput();
      run_within(row, fp, box, onBound, start, again, fitted, sd, covariance, out);
      // The transformation bends the path a method takes; one that fails on
      // it from the start values goes again from where the descent within
      // the bounds ended, once, and says so.
      if (out.failed && round == 0 && first.done && !again) {
        const std::string failure = out.failure;
        again = true;
        out = MethodOutput();
        run_within(row, fp, box, onBound, start, again, fitted, sd, covariance, out);
        out.note("Within the bounds the fit failed from the start values (" + failure +
                 "); it was run again from where a descent within the bounds ended.");
      }
      if (out.failed || round > m) break;
      result.check = check_answer(fp, fitted, sd, &box, ends);
      if (!result.check.done || std::equal(ends, ends + P, onBound)) break;
      std::copy(ends, ends + P, onBound);
      std::copy(result.check.minimum.begin(), result.check.minimum.end(), start);
    }
  }

  result.value.assign(fitted, fitted + P);
  result.sd.assign(P, 0.0);
  result.at_bound.assign(P, false);
  for (int j = 0; j < m; ++j) {
    const int k = fp.free.slot[j];
    result.free.push_back(k);
    result.sd[k] = sd[k];
    result.at_bound[k] = onBound[k];
  }
  result.covariance = std::move(covariance);
  result.iterations = out.iterations;
  result.termination = std::move(out.termination);
  result.messages = std::move(out.messages);
  result.has_summary = out.hasSummary;
  result.fitted.assign(n, NAN);
  result.sse = result.rmse = NAN;
  if (out.failed) return failed(std::move(result), std::move(out.failure));

  const Points points = fp.points;
  if (!model_values(fp.id, fp.formula, points, fitted, result.fitted.data()))
    return failed(std::move(result), kXy2ExcludedText);
  result.sse = squared_residuals(points, result.fitted.data());
  // In the units of y, also when the fit weighs the points.
  const Points unweighted = {points.x, points.y, points.x2, n};
  const double sum = points.sigma == nullptr ? result.sse
                                             : squared_residuals(unweighted, result.fitted.data());
  result.rmse = std::sqrt(sum / n);
  if (!bounded) result.check = check_answer(fp, fitted, result.sd.data());
  result.ok = true;
  return result;
}

double evaluate(const Model &model, double x, double x2, const std::vector<double> &p) {
  if (const Formula *formula = model.program.get()) {
    if (p.size() != formula->parameters.size()) return NAN;
    return formula_value(*formula, x, x2, p.data());
  }
  const int id = model.id;
  if (!valid_fit_func(id) || p.size() != static_cast<size_t>(catalogue_entry(id).parmNum))
    return NAN;
  double slots[kMaxParms] = {};
  std::copy(p.begin(), p.end(), slots);
  const FitFuncId fid = static_cast<FitFuncId>(id);
  return model_defined(fid, slots) ? model_value(fid, x, x2, slots) : NAN;
}

}  // namespace tavfit
