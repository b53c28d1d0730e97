// A global fit from the command line (-batch with -share): every curve of
// the table in memory, one problem for the library's fit_global, and its
// writers: the results file (a row per curve), a summary on standard
// output, the JSON document and the plot of all curves.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "methods.h"
#include "program.h"

namespace {

// The shared parameters' slots, from the -share list of names.
std::vector<bool> shared_slots(const tavfit::Model &model) {
  std::vector<bool> shared(model.parameters.size(), false);
  size_t at = 0;
  for (;;) {
    const size_t end = shareNames.find(':', at);
    const std::string name = shareNames.substr(at, end == std::string::npos ? end : end - at);
    const auto found = std::find(model.parameters.begin(), model.parameters.end(), name);
    if (found == model.parameters.end()) {
      std::string names;
      for (const std::string &p : model.parameters) names += (names.empty() ? "" : ", ") + p;
      fatal_fmt("-share: %s has no parameter '%s'; its parameters are %s.", model_name().c_str(),
                name.c_str(), names.c_str());
    }
    shared[found - model.parameters.begin()] = true;
    if (end == std::string::npos) return shared;
    at = end + 1;
  }
}

// The summary of the fit, as lines of text.
std::string summary(const GlobalRun &run, bool weighted) {
  const tavfit::GlobalResult &r = run.result;
  const tavfit::Model &model = run.problem.model;
  std::string names;
  for (size_t k = 0; k < model.parameters.size(); ++k)
    if (run.problem.shared[k]) names += (names.empty() ? "" : ", ") + model.parameters[k];
  std::string text = format_msg("Global fit of %zu curves, %s with %s, shared: %s.\n",
                                run.curves.size(),
                                fitFunc == kFormulaFunc ? model.formula.c_str() : model.keyword.c_str(),
                                method_name(fitMethod), names.c_str());
  const tavfit::FitResult &first = r.curves[0];
  for (size_t k = 0; k < model.parameters.size(); ++k) {
    if (!run.problem.shared[k]) continue;
    const bool held = !run.problem.held.empty() && run.problem.held[k];
    text += held ? format_msg("  %-10s %14.6g (held)\n", model.parameters[k].c_str(), first.value[k])
                 : format_msg("  %-10s %14.6g +/- %.3g\n", model.parameters[k].c_str(),
                              first.value[k], first.sd[k]);
  }
  text += format_msg("  n = %d, free parameters = %d, %s = %.6g, AIC = %.6g, BIC = %.6g\n", r.n,
                     r.free_parameters, weighted ? "chi-square" : "SSE", r.chi_square, r.aic, r.bic);
  const tavfit::SeparateFits &t = r.separate;
  if (t.done)
    text += format_msg("  Against the curves fitted alone: F = %.4g with (%d, %d) degrees of "
                       "freedom, p = %.3g.\n",
                       t.f, t.dof_numerator, t.dof, t.p);
  else if (t.failed_curve >= 0)
    text += format_msg("  No F-test against the curves fitted alone: the fit of curve '%s' alone "
                       "failed.\n",
                       run.curves[t.failed_curve].c_str());
  else
    text += "  No F-test against the curves fitted alone: " + t.reason + "\n";
  return text;
}

}  // namespace

int run_global() {
  if (!logFname.empty() && !is_stdout_file(logFname.c_str())) write_whole_file(logFname, "");
  numParms = fitParmNum[fitFunc];
  GlobalRun run;
  tavfit::GlobalProblem &problem = run.problem;
  problem.model = run_model();
  problem.shared = shared_slots(problem.model);
  for (int k = 0; k < numParms; ++k) problem.held.push_back(holdConstFlag[k] == 1);
  if (boundsGiven != 0) {
    problem.lower.assign(lowerBound, lowerBound + numParms);
    problem.upper.assign(upperBound, upperBound + numParms);
  }
  const std::vector<double> defaults(fitParms, fitParms + numParms);
  std::unordered_map<std::string, std::vector<double>> starts;
  if (!startsFname.empty())
    read_start_table(startsFname.c_str(), problem.model.parameters, defaults, &starts);

  for (auto &curve : read_batch_curves()) {
    std::vector<double> start = defaults;
    if (!startsFname.empty()) {
      const auto found = starts.find(curve.first);
      if (found != starts.end())
        start = found->second;
      else if (parmsOption == 0)
        fatal_fmt("The starts file has no row for curve '%s'.", curve.first.c_str());
    }
    curve.second.absolute_sigma = sigmaMode == kSigmaAbsolute;
    run.curves.push_back(std::move(curve.first));
    problem.curves.push_back(std::move(curve.second));
    problem.start.push_back(std::move(start));
  }
  if (run.curves.empty()) fatal("The table holds no curve.");
  size_t points = 0;
  for (const tavfit::Curve &curve : problem.curves) points += curve.x.size();
  dataFname = batchFname;  // for the JSON document's input
  numData = static_cast<int>(std::min<size_t>(points, INT_MAX));
  numDataCol = tableColumns.x2.given() ? 3 : 2;

  run.result = tavfit::fit_global(problem, method_of(fitMethod), tavfit::Options{maxIt});
  const tavfit::GlobalResult &r = run.result;

  ResultsLayout layout;
  results_format(resultsFname, &layout.format);
  layout.parameters = problem.model.parameters;
  for (size_t k = 0; k < layout.parameters.size(); ++k)
    if (problem.shared[k]) layout.shared.push_back(layout.parameters[k]);
  layout.sigma = sigmaMode != kSigmaNone;
  layout.absoluteSigma = sigmaMode == kSigmaAbsolute;
  layout.bounds = boundsGiven != 0;
  layout.names = layout.columns();
  std::string rows = layout.header();
  const tavfit::FitResult none;
  for (size_t c = 0; c < run.curves.size(); ++c)
    append_global_row(layout, run.curves[c], problem.curves[c], r, r.ok ? r.curves[c] : none,
                      &rows);
  if (!write_whole_file(resultsFname, rows))
    fatal_fmt("Unable to write output file '%s'.", resultsFname.c_str());
  for (const tavfit::Message &m : r.messages)
    show_msg(m.level == tavfit::Message::Warning ? kWarning : kNote, m.text.c_str());
  if (!r.ok) fatal("The global fit failed: " + r.message);
  report_bounds(r.curves[0]);  // only shared parameters end held on a bound

  // With the rows on standard output, the summary goes to standard error.
  const std::string text = summary(run, sigmaMode != kSigmaNone);
  if (is_stdout_file(resultsFname.c_str())) {
    std::fflush(stdout);
    write_all(STDERR_FILENO, text);
  } else {
    std::fputs(text.c_str(), stdout);
  }
  if (!plotFname.empty()) write_global_plot(plotFname.c_str(), run);
  if (!jsonFname.empty()) write_global_json(jsonFname.c_str(), run);
  return 0;
}
