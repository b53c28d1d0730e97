// The fitting methods as the program runs them: the run state becomes a
// problem for the library, the library fits it, and the program says what
// the method said where it always has, then puts the result back.
#include <algorithm>
#include <cmath>

#include "methods.h"
#include "program.h"

namespace {

Points run_points() { return {xData.data(), yData.data(), tData.data(), numData}; }

void print_solution(const tavfit::FitResult &r) {
  std::printf("Solution:\n   ");
  for (int slot : r.free) std::printf("%.7g ", r.value[slot]);
  std::printf("\n");
}

void print_covariance(const tavfit::FitResult &r) {
  const size_t m = r.free.size();
  std::printf("Covariance of the fit:\n   ");
  for (size_t row = 0; row < m; ++row) {
    for (size_t col = 0; col < m; ++col) std::printf("%g ", r.covariance[row * m + col]);
    std::printf("\n   ");
  }
  std::printf("\n");
}

void print_levmar_summary(const tavfit::FitResult &r) {
  const std::vector<std::pair<std::string, double>> &info = r.termination.info;
  std::printf("\n");
  std::printf("Levenberg-Marquardt returned %d in %g iter, reason %g\n", r.termination.returned,
              info[5].second, info[6].second);
  print_solution(r);
  std::printf("Minimization info:\n   ");
  for (const auto &figure : info) std::printf("%g ", figure.second);
  std::printf("\n");
  print_covariance(r);
}

void print_ceres_summary(const tavfit::FitResult &r) {
  const std::vector<std::pair<std::string, double>> &info = r.termination.info;
  std::printf("\n");
  std::printf("Ceres Levenberg-Marquardt returned %s in %d iter\n", r.termination.type.c_str(),
              r.iterations);
  std::printf("   %s\n", r.termination.text.c_str());
  std::printf("Initial cost: %g, final cost: %g\n", info[0].second, info[1].second);
  print_solution(r);
  print_covariance(r);
}

std::string parameter(int slot) { return parm_name(fitParmStr[fitFunc][slot]); }


// Says how an answer that is not the least-squares fit falls short: as
// warnings, or with -strict as the fatal message of its first shortcoming.
void report_check(const tavfit::FitResult &r) {
  const tavfit::Check &c = r.check;
  if (!c.done || c.at_minimum) return;
  std::vector<std::string> shortcomings;
  if (c.distance_sd > tavfit::kCheckDistance)
    shortcomings.push_back(format_msg(
        "the fit stopped %.3g standard deviations of %s short of the least-squares minimum; the "
        "sum of squares falls from %.5g to %.5g there. Refit with -ceres or from other start "
        "values.",
        c.distance_sd, parameter(c.distance_parameter).c_str(), r.sse, c.minimum_sse));
  if (c.sd_relative_error > tavfit::kCheckSdError)
    shortcomings.push_back(format_msg(
        "the standard deviations are up to %.0f %% off those of the exact derivatives (%s: "
        "%.3g, exact %.3g); -ceres reports exact ones.",
        100 * c.sd_relative_error, parameter(c.sd_parameter).c_str(), r.sd[c.sd_parameter],
        c.exact_sd[c.sd_parameter]));
  if (!c.undetermined.empty()) {
    std::string names;
    for (size_t k = 0; k < c.undetermined.size(); ++k)
      names += (k == 0 ? "" : k + 1 == c.undetermined.size() ? " and " : ", ") +
               parameter(c.undetermined[k]);
    shortcomings.push_back("the data do not determine " + names +
                           " near the fitted values: the sum of squares does not change along "
                           "them there, and their standard deviations mean nothing. Refit from "
                           "other start values, hold parameters, or fit data that tell them apart.");
  }
  if (strictCheck != 0) fatal(shortcomings.front());
  for (const std::string &text : shortcomings) show_msg(kWarning, text.c_str());
}

// Runs method on the run state and puts the result back into it (p and
// stdDev are fitParms and fitStdDev); a failure ends the run.
int run_method(int method, double *p, double *stdDev) {
  const tavfit::Problem problem = run_problem();
  tavfit::Options options;
  options.max_iterations = maxIt;
  const tavfit::FitResult r = tavfit::fit(problem, method_of(method), options);
  if (r.value.empty()) fatal(r.message);  // refused before any fit: bounds that do not hold
  for (const tavfit::Message &message : r.messages)
    show_msg(message.level == tavfit::Message::Note ? kNote : kWarning, message.text.c_str());
  for (int k = 0; k < numParms; ++k) {
    p[k] = r.value[k];
    stdDev[k] = r.sd[k];
  }
  const size_t m = r.free.size();
  for (size_t row = 0; row < m; ++row)
    for (size_t col = 0; col < m; ++col) fitCovar[row][col] = r.covariance[row * m + col];
  std::copy(r.fitted.begin(), r.fitted.end(), fxData.begin());
  rmse = r.rmse;
  itCount = r.iterations;
  fitTermination = r.termination;
  if (r.has_summary) {
    if (method == kMethodLevmar) print_levmar_summary(r);
    if (method == kMethodCeres) print_ceres_summary(r);
  }
  if (!r.ok) fatal(r.message);
  fitCheck = r.check;
  for (int k = 0; k < numParms; ++k) fitAtBound[k] = r.at_bound[k] ? 1 : 0;
  report_bounds(r);
  report_check(r);
  return 0;
}

tavfit::Statistics statistics;

}  // namespace

// A parameter that ends at a bound: the data would put it beyond.
void report_bounds(const tavfit::FitResult &r) {
  for (int slot : r.free)
    if (r.at_bound[slot]) {
      const bool lower = std::fabs(r.value[slot] - lowerBound[slot]) <=
                         std::fabs(r.value[slot] - upperBound[slot]);
      show_msg(kWarning,
               format_msg("%s ends at its %s bound, %g; its standard deviation there does not "
                          "measure its uncertainty.",
                          parameter(slot).c_str(), lower ? "lower" : "upper",
                          lower ? lowerBound[slot] : upperBound[slot])
                   .c_str());
    }
}

tavfit::Method method_of(int method) {
  switch (method) {
    case kMethodLevmar: return tavfit::Method::Levmar;
    case kMethodCeres: return tavfit::Method::Ceres;
    default: return tavfit::Method::Tavrin;
  }
}

int method_code(tavfit::Method method) {
  switch (method) {
    case tavfit::Method::Levmar: return kMethodLevmar;
    case tavfit::Method::Ceres: return kMethodCeres;
    default: return kMethodTavrin;
  }
}

tavfit::Problem run_problem() {
  // One model made, not the catalogue's 35: a one-curve run has no use for them.
  tavfit::Problem problem = {run_model(), {}, {}, {}};
  // Every method sees the X2 the data reader stored, 0.0 on lines without
  // a third number, also for a file of two data columns.
  problem.curve.x = xData;
  problem.curve.y = yData;
  problem.curve.x2 = tData;
  problem.curve.sigma = sData;
  problem.curve.absolute_sigma = sigmaMode == kSigmaAbsolute;
  if (boundsGiven != 0) {
    problem.lower.assign(lowerBound, lowerBound + numParms);
    problem.upper.assign(upperBound, upperBound + numParms);
  }
  problem.start.assign(fitParms, fitParms + numParms);
  for (int k = 0; k < numParms; ++k) problem.held.push_back(holdConstFlag[k] == 1);
  return problem;
}

int do_iterations(double *p, double *stdDev) {
  if (numData == kUnsetMarker) fatal("Do not have valid data to process yet.");
  return run_method(kMethodTavrin, p, stdDev);
}

int do_levmar() { return run_method(kMethodLevmar, fitParms, fitStdDev); }

int do_ceres() { return run_method(kMethodCeres, fitParms, fitStdDev); }

void set_results() {
  // The X2 the fit used: 0.0 on lines without a third number, the stored
  // third number on four-field lines, whose file counts two data columns.
  const tavfit::Formula *formula = fitFunc == kFormulaFunc ? typedModel.program.get() : nullptr;
  const FitFuncId id = formula != nullptr ? kFormulaId : static_cast<FitFuncId>(fitFunc);
  if (!model_values(id, formula, run_points(), fitParms, fxData.data())) fatal(kXy2ExcludedText);
}

int fnf(int id, double *out, double x, double x2, const double *p) {
  if (id == kFormulaFunc && typedModel.program != nullptr) {
    *out = formula_value(*typedModel.program, x, x2, p);
    return 0;
  }
  if (!valid_fit_func(id)) fatal("Undefined Fit Function");
  if (!model_defined(static_cast<FitFuncId>(id), p)) fatal(kXy2ExcludedText);
  *out = model_value(static_cast<FitFuncId>(id), x, x2, p);
  return 0;
}

void compute_results() {
  tavfit::FitResult result;
  result.value.assign(fitParms, fitParms + numParms);
  result.sd.assign(fitStdDev, fitStdDev + numParms);
  const FreeSlots freeSlots = free_slots(numParms, holdConstFlag);
  const int m = freeSlots.count;
  result.free.assign(freeSlots.slot, freeSlots.slot + m);
  for (int row = 0; row < m; ++row)
    for (int col = 0; col < m; ++col) result.covariance.push_back(fitCovar[row][col]);
  result.fitted = fxData;
  statistics = tavfit::statistics(run_problem(), result);
}

const tavfit::Statistics &fit_results() { return statistics; }

const char *method_name(int method) { return method_row(method_of(method)).keyword; }
