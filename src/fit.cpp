// The library's fit: one wrapper around the methods for what all of them do
// alike (checking the problem, nothing free, too few points, the free
// parameters, the model values and the sum of squares at the answer), the
// table of the methods, and the built-in models as Model values.
#include <cmath>
#include <cstdint>
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

namespace tavfit {
namespace {

std::vector<Model> make_models() {
  std::vector<Model> all;
  for (int id = 0; id < kFitFuncCount; ++id) all.push_back(builtin_model(id));
  return all;
}

FitResult failed(FitResult result, std::string message) {
  result.ok = false;
  result.message = std::move(message);
  return result;
}

// The problem's shape against its model; "" when it fits.
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
  if (!curve.sigma.empty() && curve.sigma.size() != curve.x.size())
    return "The curve's sigma and x differ in length.";
  for (size_t k = 0; k < curve.sigma.size(); ++k)
    if (!(curve.sigma[k] > 0.0 && std::isfinite(curve.sigma[k])))
      return with_int("The sigma of point ", static_cast<long long>(k + 1),
                      " is not a positive finite number.");
  if (curve.x.size() > static_cast<size_t>(INT32_MAX)) return "The curve has too many points.";
  return "";
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

FitResult fit(const Problem &problem, Method method, const Options &options) {
  FitResult result;
  const int id = problem.model.id;
  // The catalogue decides what a model is: a Model whose fields were changed
  // by hand cannot make a method read beyond its parameters.
  if (!valid_fit_func(id) ||
      problem.model.parameters.size() != static_cast<size_t>(catalogue_entry(id).parmNum))
    return failed(result, "Undefined Fit Function");
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
  const FitProblem fp = {static_cast<FitFuncId>(id),
                         P,
                         {problem.curve.x.data(), problem.curve.y.data(), x2, n, sigma},
                         slots,
                         hold,
                         free_slots(P, hold),
                         options.max_iterations,
                         sigma != nullptr && problem.curve.absolute_sigma};
  // The start values stay in slots for the held parameters; the free ones are
  // fitted in a copy.
  double fitted[kMaxParms];
  std::copy(slots, slots + P, fitted);

  const MethodRow &row = method_row(method);
  const int m = fp.free.count;
  MethodOutput out;
  if (row.checkStart != nullptr) row.checkStart(fp, out);
  if (!out.failed && m == 0) {
    out.terminate(false, 0, "every parameter held, nothing to fit");
    if (row.allHeldNote != nullptr) out.note(row.allHeldNote);
  } else if (!out.failed && n < m && row.fewerPointsText != nullptr) {
    out.fail(row.fewerPointsText);
  } else if (!out.failed) {
    row.fit(fp, fitted, out);
  }

  result.value.assign(fitted, fitted + P);
  result.sd.assign(P, 0.0);
  for (int j = 0; j < m; ++j) {
    result.free.push_back(fp.free.slot[j]);
    result.sd[fp.free.slot[j]] = out.sd[j];
  }
  result.covariance.assign(out.covariance, out.covariance + m * m);
  result.iterations = out.iterations;
  result.termination = std::move(out.termination);
  result.messages = std::move(out.messages);
  result.has_summary = out.hasSummary;
  result.fitted.assign(n, NAN);
  result.sse = result.rmse = NAN;
  if (out.failed) return failed(std::move(result), std::move(out.failure));

  const Points points = fp.points;
  if (!model_values(fp.id, points, fitted, result.fitted.data()))
    return failed(std::move(result), kXy2ExcludedText);
  result.sse = squared_residuals(points, result.fitted.data());
  // In the units of y, also when the fit weighs the points.
  const Points unweighted = {points.x, points.y, points.x2, n};
  const double sum = points.sigma == nullptr ? result.sse
                                             : squared_residuals(unweighted, result.fitted.data());
  result.rmse = std::sqrt(sum / n);
  result.check = check_answer(fp, fitted, result.sd.data());
  result.ok = true;
  return result;
}

double evaluate(const Model &model, double x, double x2, const std::vector<double> &p) {
  const int id = model.id;
  if (!valid_fit_func(id) || p.size() != static_cast<size_t>(catalogue_entry(id).parmNum))
    return NAN;
  double slots[kMaxParms] = {};
  std::copy(p.begin(), p.end(), slots);
  const FitFuncId fid = static_cast<FitFuncId>(id);
  return model_defined(fid, slots) ? model_value(fid, x, x2, slots) : NAN;
}

}  // namespace tavfit
