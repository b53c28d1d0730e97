// The fitting methods behind tavfit::fit, and the table that names them.
//
// A method sees a FitProblem that the shared wrapper (fit.cpp) has already
// checked: a valid model, at least one free parameter, and (where the method
// asks) no fewer points than free parameters.  It fits the free parameters
// in the slot array and fills a MethodOutput; it never prints or exits.  A
// fourth method is one file with its fit function and one row of kMethods.
#pragma once

#include <string>
#include <vector>

#include <tavfit/tavfit.h>

#include "problem.h"

// What a method gives back beyond the fitted slots.  Free-parameter order.
struct MethodOutput {
  double sd[kMaxParms] = {};
  double covariance[kMaxParms * kMaxParms] = {};  // m x m, row-major
  int iterations = 0;
  bool failed = false;
  std::string failure;       // the message of a failure
  bool hasSummary = false;   // got as far as the solver summary
  tavfit::Termination termination;
  std::vector<tavfit::Message> messages;

  void fail(std::string text) {
    failed = true;
    failure = std::move(text);
  }
  void note(std::string text) { messages.push_back({tavfit::Message::Note, std::move(text)}); }
  void warn(std::string text) { messages.push_back({tavfit::Message::Warning, std::move(text)}); }
  void terminate(bool converged, int reason, std::string text) {
    termination = tavfit::Termination();
    termination.recorded = true;
    termination.converged = converged;
    termination.reason = reason;
    termination.text = std::move(text);
  }
};

// Fits the free slots of slots (in: start values, out: fitted values; held
// slots untouched).
using MethodFitFn = void (*)(const FitProblem &problem, double *slots, MethodOutput &out);
// A check of the start values the method makes before anything else
// (nullptr: none).  Returns false after out.fail().
using MethodCheckFn = bool (*)(const FitProblem &problem, MethodOutput &out);

struct MethodRow {
  tavfit::Method method;
  const char *keyword;  // "TAVRIN", as reports and JSON name the method
  const char *option;   // "-tavrin"
  const char *help;     // its line in the help text
  MethodFitFn fit;
  MethodCheckFn checkStart;
  const char *allHeldNote;     // said when every parameter is held; nullptr: nothing
  const char *fewerPointsText; // failure when n < m; nullptr: the method runs anyway
};

// The methods, in help-text order.
extern const MethodRow kMethods[];
extern const int kMethodCount;
const MethodRow &method_row(tavfit::Method method);

// The three methods (tavrin.cpp, levmar.cpp, ceres_method.cpp).
void tavrin_fit(const FitProblem &problem, double *slots, MethodOutput &out);
bool tavrin_check_start(const FitProblem &problem, MethodOutput &out);
void levmar_fit(const FitProblem &problem, double *slots, MethodOutput &out);
void ceres_fit(const FitProblem &problem, double *slots, MethodOutput &out);

// How dlevmar_dif ended (its return value and info), into out: the
// termination, and a note or the failure its reason makes.
void levmar_ending(int result, const double *info, MethodOutput &out);

// The Ceres module's global fit (ceres_method.cpp), in place in
// problem.values; a failure to load the module fails out.
struct CeresGlobalProblem;
void ceres_global_fit(const CeresGlobalProblem &problem, MethodOutput &out);

namespace tavfit {
// The problem's shape against its model; "" when it fits.
std::string malformed(const Problem &problem);
// The bounds of the free parameters (hold flags per parameter) into box, any
// set when there is one; "" when they are sound, else why not.
std::string take_bounds(const Problem &problem, const int *hold, Bounds *box, bool *any);
// The id the methods know model by (kFormulaId for a typed formula), or -1
// when it is not a model the catalogue or its parsed formula makes.
int checked_model_id(const Model &model);
// A formula that gives no number at the start values cannot be fitted: said
// before any method runs, at its first such point; "" for a formula that
// does, and for a built-in model.
std::string formula_start_fault(const FitProblem &fp);
}  // namespace tavfit

// The check of a fitted answer (slots, with the SDs reported per slot)
// against the least-squares minimum of the problem (check.cpp), a problem
// without transformed bounds.  Within box (nullptr: none) the descent to the
// minimum keeps to the bounds, and onBound (per slot, or nullptr) says which
// free parameters it ends on a bound.
tavfit::Check check_answer(const FitProblem &problem, const double *slots, const double *sd,
                           const Bounds *box = nullptr, bool *onBound = nullptr);

// The standard deviations (sd) and the covariance (cov, m x m row-major) of
// the free parameters at slots from the exact Jacobian, scaled as the check
// scales them; false where there is no degree of freedom or the model is not
// defined there.
bool exact_covariance(const FitProblem &problem, const double *slots, double *sd, double *cov);

// The built-in model id as a Model value (what models() holds, made alone).
tavfit::Model builtin_model(int id);

// A message of the core, with the number as C's %d writes it.
std::string with_int(const char *before, long long value, const char *after);
