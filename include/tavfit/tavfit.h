// tavfit: least-squares fits of NMR and biophysical models, as a library.
//
// A fit is a value: a Problem (the model, the curve, the start values and
// which parameters are held) goes in, a FitResult comes out, and nothing else
// is touched.  The library keeps no state between fits, never prints and
// never ends the process: a failure is a result whose `ok` is false and
// whose `message` says why.  Fits of different problems may run at once on
// several threads; each gives the same bits as it would alone.
//
//   const tavfit::Model *model = tavfit::find_model("T1_RELAX");
//   tavfit::Curve curve{x, y};
//   tavfit::Problem problem{*model, curve, {900, 2, 1}};
//   tavfit::FitResult r = tavfit::fit(problem, tavfit::Method::Levmar);
//   if (r.ok) use(r.value, r.sd);
//
// The command-line program tavfit is built on these calls: the same problem
// gives the same values and standard deviations, to the last bit, as the
// program's JSON file.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tavfit {

class Formula;  // a typed formula as parsed; its parts are the library's own

// A model: one of the built-in ones, from find_model() or models(), or a
// formula typed at run time, from parse_model().  The fields describe the
// model for reports and user interfaces.
struct Model {
  std::string keyword;                  // "T1_RELAX", as -fit takes it; empty for a formula
  std::string label;                    // "T1 Relaxation"; a formula as typed
  std::string description;              // one line, as the verbose report shows it
  std::string formula;                  // what is computed, lines separated by '\n'
  std::vector<std::string> parameters;  // parameter names, in start-value order
  bool uses_x2 = false;                 // the model needs a second abscissa X2
  int id = -1;                          // the built-in model's number, 0 to 34; -1 for a formula
  bool uses_x = true;                   // false for a formula without x
  // A formula's parsed form, which the fit evaluates; null for a built-in
  // model.  Shared, never changed: copies of a Model share it.
  std::shared_ptr<const Formula> program;
};

// The built-in model with this keyword (exact and case-sensitive), or nullptr.
const Model *find_model(const std::string &keyword);
// All built-in models, in the order -list shows them.
const std::vector<Model> &models();

// The most parameters a model can have.
constexpr int kMaxParameters = 10;

// Why parse_model refused a formula: the message, and the column (from 0,
// in bytes of the text) it points at.
struct FormulaError {
  std::string message;
  int column = 0;
};

// A model from a formula typed at run time, "A*exp(-(x/tau)^beta) + C":
// variables x and x2; every other name that is no function or constant is a
// parameter, in order of first appearance; + - * / ^ (right-associative),
// unary minus, parentheses, numbers as C's strtod reads them, the constants
// pi and e, the functions exp log log10 sqrt abs sin cos tan asin acos atan
// sinh cosh tanh erf pow min max, and if(cond, a, b) with the comparisons
// < <= > >= == != (a where cond is not 0, else b).  Every method fits it
// as a built-in model, -ceres and the check with exact derivatives.
// A formula that cannot be parsed, or has no parameter or more than
// kMaxParameters, gives a Model without a program (which fit() refuses),
// and *error says why when error is not nullptr.
Model parse_model(const std::string &formula, FormulaError *error = nullptr);

// The measured points: y at x (and, for models of two variables, x2).  Any
// number of points; x2 is either empty (0.0 for every point) or as long as x.
//
// sigma, when not empty, holds each point's standard deviation (positive and
// finite, as long as x): every method then minimises chi-square,
// sum(((f - y) / sigma)^2).  By default the sigmas are relative (only their
// ratios are known), and the covariance is scaled by the reduced chi-square,
// as it is by SSE / (n - p) without them; with absolute_sigma it is not.
struct Curve {
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> x2 = {};
  std::vector<double> sigma = {};
  bool absolute_sigma = false;
};

// What to fit.  start holds one value per model parameter; a held parameter
// keeps its start value.  held is empty (every parameter free) or holds one
// flag per parameter.
//
// lower and upper are empty (no bounds) or hold one bound per parameter,
// -INFINITY or INFINITY where a side is open; bounds of held parameters are
// not used.  Every method fits within them: a parameter whose bound holds the
// least-squares minimum ends exactly on it (FitResult::at_bound), the others
// are fitted through lmfit's transformation to an unconstrained variable
// (p = lo + (sin q + 1)(hi - lo)/2, or lo - 1 + sqrt(q^2 + 1), or
// hi + 1 - sqrt(q^2 + 1)), whose slope carries their standard deviations
// back.  Which bounds hold is found with the exact Jacobian: where a descent
// kept within the bounds ends, from the start values, then from each answer.
// A start outside its bounds, a lower bound above the upper, equal bounds or
// a bound that is NaN are refused, naming the parameter.
struct Problem {
  Model model;
  Curve curve;
  std::vector<double> start;
  std::vector<bool> held = {};
  std::vector<double> lower = {};
  std::vector<double> upper = {};
};

// The fitting methods.
enum class Method {
  Tavrin,  // damped Gauss-Newton: forward differences, a tenth of each step
  Levmar,  // Levenberg-Marquardt with a forward-difference Jacobian
  Ceres,   // Ceres Solver's Levenberg-Marquardt with exact derivatives
};

// How to fit.
struct Options {
  // Tavrin: the largest number of parameter updates; Levmar and Ceres: of
  // solver iterations, accepted and rejected steps alike.
  int max_iterations = 500;
};

// Why a method stopped, in its own terms.
struct Termination {
  bool recorded = false;   // false when the method failed before it could say
  bool converged = false;  // the method's own convergence test was met
  // Tavrin: 1 relative change below 1e-5, 2 RMSE below 1e-8 (exact data),
  // 3 iteration limit.  Levmar: the solver's reason 1 to 7.  Ceres: 1
  // converged, 2 iteration limit, 3 solver failure, 4 model undefined,
  // 5 converged without a covariance, 6 problem refused.  0: nothing to fit.
  int reason = 0;
  std::string text;        // the reason in words
  std::string type;        // Ceres' name of the ending ("CONVERGENCE"), else empty
  int returned = 0;        // Levmar: the solver's return value (iterations, or -1)
  // The solver's own figures, by name (Levmar: its nine info entries; Ceres:
  // initial_cost, final_cost, iterations).
  std::vector<std::pair<std::string, double>> info;
};

// Whether an answer is the least-squares fit.  After every fit that ends with
// free parameters, the library goes on from the answer to the least-squares
// minimum with the model's exact derivatives (Levenberg-Marquardt on the
// exact Jacobian; at an answer that is the minimum already, the first
// Gauss-Newton step is negligible and it stops there), and measures the
// answer against it.
struct Check {
  // False when nothing was checked: a failed fit, nothing free, no degree of
  // freedom left, or a model not defined along the way.
  bool done = false;
  // The answer is the least-squares fit: within kCheckDistance standard
  // deviations of the minimum, its SDs within kCheckSdError of the exact
  // ones, and every free parameter determined by the data.
  bool at_minimum = true;
  double distance_sd = 0.0;        // max over the free parameters of |value - minimum| / exact SD
  int distance_parameter = -1;     // the parameter that maximum belongs to
  double sd_relative_error = 0.0;  // max of |sd - exact SD| / exact SD
  int sd_parameter = -1;           // the parameter that maximum belongs to
  // At the minimum: the exact SDs, sqrt(SSE/(n - p) ((J^T J)^-1)_kk), one per
  // parameter (NaN where held, infinite where the data do not determine it),
  // the values, and the sum of squares.
  std::vector<double> exact_sd;
  std::vector<double> minimum;
  double minimum_sse = 0.0;
  std::vector<int> undetermined;   // parameters the data do not determine there
};
constexpr double kCheckDistance = 0.1;  // standard deviations
constexpr double kCheckSdError = 0.1;   // relative

// A warning or a note a method gave on its way, in order.
struct Message {
  enum Level { Warning, Note };
  Level level;
  std::string text;
};

// What a fit gives back.
struct FitResult {
  bool ok = false;
  std::string message;       // why the fit failed; empty when ok
  std::vector<double> value; // one per model parameter: fitted, or held
  std::vector<double> sd;    // standard deviations; 0 for a held parameter
  // Per parameter: the value ends on one of its bounds, which holds the
  // least-squares minimum.  The standard deviations and the covariance are
  // then those of the Jacobian at the answer with that parameter counted
  // free (as lmfit's least_squares gives them); the bound one's says little
  // of its uncertainty, as the minimum lies beyond the bound.  Empty when
  // the fit was refused before it began.
  std::vector<bool> at_bound;
  // Covariance of the free parameters, row-major, free parameters in
  // parameter order; NaN where the method has none (Tavrin before its first
  // update).
  std::vector<double> covariance;
  std::vector<int> free;     // the parameter number of each free parameter
  std::vector<double> fitted;  // the model at each point, with value
  double sse = 0.0;          // sum of squared residuals at value (chi-square with sigma)
  double rmse = 0.0;         // sqrt(sum((f - y)^2) / number of points), unweighted
  int iterations = 0;
  Termination termination;
  std::vector<Message> messages;
  // The method got as far as its solver summary (Levmar and Ceres print one;
  // its figures are termination, value and covariance).
  bool has_summary = false;
  Check check;  // the answer against the least-squares minimum (when ok)
};

// Fits problem with method.  Returns a result whose ok is false, with a
// message, when the problem is malformed (sizes that do not match the model)
// or the fit fails; value, sd and the rest then hold what the method had.
FitResult fit(const Problem &problem, Method method = Method::Tavrin,
              const Options &options = Options());

// Several curves of one model fitted at once, as one least-squares problem:
// each shared parameter takes one value for all curves, every other free
// parameter a value per curve.  held, shared, lower and upper hold one entry
// per parameter (held, lower and upper may be empty, as in Problem); start
// holds one row of start values per curve, and a shared parameter starts at
// the first curve's value.  A held parameter keeps each curve's start value
// (a held shared one, the first curve's).
struct GlobalProblem {
  Model model;
  std::vector<Curve> curves;
  std::vector<std::vector<double>> start;
  std::vector<bool> held = {};
  std::vector<bool> shared = {};
  std::vector<double> lower = {};
  std::vector<double> upper = {};
};

// The global fit against the same model fitted to each curve alone: an
// F-test of the extra sum of squares, which tells whether the data allow the
// parameters to be shared.  A small p says they do not.
struct SeparateFits {
  bool done = false;
  std::string reason;            // why there is no test, when not done
  int failed_curve = -1;         // the curve whose own fit failed, or -1
  double chi_square = 0.0;       // sum of the separate fits' chi-square (SSE without sigma)
  int dof = 0;                   // their degrees of freedom, n - curves * free parameters
  double f = 0.0;                // ((chi2_global - chi2) / (dof_global - dof)) / (chi2 / dof)
  int dof_numerator = 0;         // dof_global - dof
  double p = 0.0;                // P(F' >= f) for F' with (dof_numerator, dof) degrees of freedom
};

// What a global fit gives back.  Every figure is of the one problem; the
// standard deviations and covariances come from its exact Jacobian at the
// answer (solved by its block structure), scaled by chi2 / dof unless the
// sigmas are absolute, whatever the method.
struct GlobalResult {
  bool ok = false;
  std::string message;           // why the fit failed; empty when ok
  // One per curve: value and sd of every parameter (the shared ones the same
  // in each), the covariance over its free parameters, fitted, sse and rmse
  // of its own points.  check is not done.
  std::vector<FitResult> curves;
  std::vector<int> shared_free;         // the free shared parameters, in parameter order
  std::vector<double> shared_covariance;  // their covariance, row-major
  int n = 0;                     // points of all curves
  int free_parameters = 0;       // shared free + curves x other free
  int dof = 0;                   // n - free_parameters
  double chi_square = 0.0;       // sum of squared (weighted) residuals of all curves
  double aic = 0.0;              // n ln(chi_square / n) + 2 free_parameters
  double bic = 0.0;              // n ln(chi_square / n) + free_parameters ln(n)
  int iterations = 0;
  Termination termination;
  std::vector<Message> messages;
  SeparateFits separate;         // done only for a fit that is ok
};

// Fits all curves of problem at once with method.  A malformed problem (no
// shared parameter, sizes that do not match the model) or a failed fit gives
// ok false and a message.  Levmar solves the normal equations of all
// parameters at once and refuses more than kMaxLevmarGlobalParameters free
// ones; Tavrin and Ceres solve them by their block structure, at any size.
GlobalResult fit_global(const GlobalProblem &problem, Method method = Method::Tavrin,
                        const Options &options = Options());
constexpr int kMaxLevmarGlobalParameters = 500;

// Goodness of fit and what follows from the covariance, for a result.
struct Statistics {
  int n = 0;                  // points
  int p = 0;                  // free parameters
  int dof = 0;                // n - p
  double sse = 0.0;           // sum of squared residuals, sum((f - y)^2)
  // With sigma, the weighted forms: chi2 = sum(((f - y) / sigma)^2) stands
  // for sse below, and the mean of y is weighted by 1 / sigma^2.  Without,
  // chi_square is sse.
  double chi_square = 0.0;
  double reduced_chi_square;  // chi_square / dof; NaN when dof < 1
  // With absolute sigma: the probability of a chi-square this large or
  // larger with dof degrees of freedom; NaN otherwise.
  double chi_square_p;
  double residual_std_error;  // sqrt(chi_square / dof); NaN when dof < 1
  double r_squared;           // 1 - chi_square / weighted sum of squared deviations of y from its mean
  double adj_r_squared;       // 1 - (1 - R^2) (n - 1) / dof
  double aic;                 // n ln(chi_square / n) + 2 p
  double bic;                 // n ln(chi_square / n) + p ln(n)
  double t975;                // Student's t(0.975, dof); NaN when dof < 1
  std::vector<double> correlation;  // row-major over the free parameters
  std::vector<double> ci95_low;     // per parameter: value - t975 sd; NaN when held
  std::vector<double> ci95_high;
  std::vector<double> residuals;    // per point: fitted - y
};

// The statistics of result, a fit of problem.  The figures of the points
// (residuals, sse and what follows) are NaN unless result.fitted holds one
// value per point, as fit() gives it.
Statistics statistics(const Problem &problem, const FitResult &result);

// The value of model at (x, x2) with the parameters p (one per parameter),
// NaN where the model is not defined.
double evaluate(const Model &model, double x, double x2, const std::vector<double> &p);

}  // namespace tavfit
