// The JSON result file: every figure of the run by name, at full precision,
// and a failure document when the run ends with a fatal message.
#include "program.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "version.h"

namespace {

using Json = nlohmann::ordered_json;

// The document written last; a fatal ending after it keeps every figure and
// only changes the status.
Json written;
bool haveWritten = false;

// JSON has no NaN or infinity.
Json number(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

// Message texts may end in a newline of their own; a field does not need it.
std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

Json warnings() {
  Json list = Json::array();
  for (const RunMessage &message : run_messages())
    list.push_back({{"level", message.level == kNote ? "note" : "warning"},
                    {"text", trimmed(message.text)}});
  return list;
}

// What is known before the fit: the head of every document.
Json head(const char *status) {
  Json doc;
  doc["tavfit"] = kTavfitVersion;
  doc["status"] = status;
  doc["message"] = nullptr;
  doc["warnings"] = warnings();
  const bool loaded = numData != kUnsetMarker && numData > 0;
  doc["input"] = {{"path", dataFname},
                  {"points", loaded ? Json(numData) : Json(nullptr)},
                  {"columns", loaded ? Json(numDataCol) : Json(nullptr)}};
  if (fitFunc >= 0 && fitFunc < kNumFitFuncs) {
    const CatalogueEntry &model = catalogue_entry(fitFunc);
    doc["model"] = {{"keyword", model.keyword}, {"label", model.label}, {"formula", model.formula}};
  } else if (fitFunc == kFormulaFunc) {
    // A typed formula has no keyword; its label is the formula as typed.
    doc["model"] = {{"keyword", nullptr},
                    {"label", typedModel.label},
                    {"formula", typedModel.formula},
                    {"read_as", typedModel.description}};
  } else {
    doc["model"] = nullptr;
  }
  doc["method"] = method_name(fitMethod);
  doc["max_iterations"] = maxIt;
  return doc;
}

Json termination() {
  if (!fitTermination.recorded) return nullptr;
  Json info = nullptr;
  if (!fitTermination.info.empty()) {
    info = Json::object();
    for (const auto &figure : fitTermination.info) info[figure.first] = number(figure.second);
  }
  return {{"converged", fitTermination.converged},
          {"reason", fitTermination.reason},
          {"text", fitTermination.text},
          {"info", info}};
}

// The answer against the least-squares minimum, null when nothing was checked.
Json check() {
  const tavfit::Check &c = fitCheck;
  if (!c.done) return nullptr;
  auto name = [](int slot) { return slot < 0 ? Json(nullptr) : Json(parm_name(fitParmStr[fitFunc][slot])); };
  Json exact = Json::array(), undetermined = Json::array();
  for (double sd : c.exact_sd) exact.push_back(number(sd));
  for (int slot : c.undetermined) undetermined.push_back(name(slot));
  Json doc = {{"at_minimum", c.at_minimum},
              {"distance_sd", number(c.distance_sd)},
              {"parameter", name(c.distance_parameter)},
              {"sd_relative_error", number(c.sd_relative_error)},
              {"sd_parameter", name(c.sd_parameter)},
              {"exact_sd", exact},
              {"undetermined", undetermined}};
  if (!c.at_minimum) {
    Json values = Json::array();
    for (double v : c.minimum) values.push_back(number(v));
    doc["minimum"] = {{"sse", number(c.minimum_sse)}, {"values", values}};
  }
  return doc;
}

// A matrix over the free parameters (row-major), with their names.
Json free_matrix(const std::vector<double> &matrix) {
  const FreeSlots freeSlots = free_slots(numParms, holdConstFlag);
  const int m = freeSlots.count;
  Json names = Json::array();
  Json rows = Json::array();
  for (int i = 0; i < m; ++i) {
    names.push_back(parm_name(fitParmStr[fitFunc][freeSlots.slot[i]]));
    Json row = Json::array();
    for (int j = 0; j < m; ++j) row.push_back(number(matrix[i * m + j]));
    rows.push_back(row);
  }
  return {{"names", names}, {"matrix", rows}};
}

Json full_document() {
  const tavfit::Statistics &r = fit_results();
  Json doc = head("ok");
  doc["iterations"] = itCount;

  Json parameters = Json::array();
  for (int k = 0; k < fitParmNum[fitFunc]; ++k) {
    const bool held = holdConstFlag[k] != 0;
    Json ci = nullptr;
    if (!held) ci = Json::array({number(r.ci95_low[k]), number(r.ci95_high[k])});
    if (!held && !(std::isfinite(r.ci95_low[k]) && std::isfinite(r.ci95_high[k]))) ci = nullptr;
    parameters.push_back({{"name", parm_name(fitParmStr[fitFunc][k])},
                          {"start", number(startParms[k])},
                          {"held", held},
                          {"value", number(fitParms[k])},
                          {"sd", number(fitStdDev[k])},
                          {"ci95", ci}});
    if (boundsGiven != 0) {
      Json &p = parameters.back();
      p["lower"] = std::isfinite(lowerBound[k]) ? number(lowerBound[k]) : Json(nullptr);
      p["upper"] = std::isfinite(upperBound[k]) ? number(upperBound[k]) : Json(nullptr);
      p["at_bound"] = fitAtBound[k] != 0;
    }
  }
  doc["parameters"] = parameters;

  doc["statistics"] = {{"n", r.n},
                       {"free_parameters", r.p},
                       {"dof", r.dof},
                       {"sse", number(r.sse)},
                       {"rmse", number(rmse)},
                       {"residual_std_error", number(r.residual_std_error)},
                       {"r_squared", number(r.r_squared)},
                       {"adj_r_squared", number(r.adj_r_squared)},
                       {"aic", number(r.aic)},
                       {"bic", number(r.bic)},
                       {"t975", number(r.t975)}};
  if (sigmaMode != kSigmaNone) {
    // The sums above are then chi-square's: sse is the unweighted one.
    Json &s = doc["statistics"];
    s["sigma"] = sigmaMode == kSigmaAbsolute ? "absolute" : "relative";
    s["chi_square"] = number(r.chi_square);
    s["reduced_chi_square"] = number(r.reduced_chi_square);
    if (sigmaMode == kSigmaAbsolute) s["chi_square_p"] = number(r.chi_square_p);
  }
  std::vector<double> covariance;
  for (int i = 0; i < r.p; ++i) covariance.insert(covariance.end(), fitCovar[i], fitCovar[i] + r.p);
  doc["covariance"] = free_matrix(covariance);
  doc["correlation"] = free_matrix(r.correlation);
  doc["termination"] = termination();
  doc["check"] = check();

  Json points = Json::array();
  for (int i = 0; i < numData; ++i) {
    Json point = {{"x", number(xData[i])}, {"y", number(yData[i])}};
    if (numDataCol == 3) point["x2"] = number(tData[i]);
    if (!sData.empty()) point["sigma"] = number(sData[i]);
    point["fit"] = number(fxData[i]);
    point["residual"] = number(r.residuals[i]);
    points.push_back(point);
  }
  doc["points"] = points;
  return doc;
}

// Indented text, with every array or object that holds only numbers and
// strings on one line when it fits: one line per point and per matrix row.
std::string layout(const Json &doc) {
  // Paths and texts come from the user; bytes that are not UTF-8 are replaced
  // rather than ending the run.
  const std::string text = doc.dump(2, ' ', false, Json::error_handler_t::replace);
  constexpr size_t kMaxLine = 120;
  std::vector<std::string> lines;
  struct Open {
    size_t line;
    bool flat;
  };
  std::vector<Open> opens;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t first = line.find_first_not_of(' ');
    const char head = first == std::string::npos ? ' ' : line[first];
    const char tail = line.empty() ? ' ' : line.back();
    if (tail == '{' || tail == '[') {
      if (!opens.empty()) opens.back().flat = false;
      opens.push_back({lines.size(), true});
      lines.push_back(line);
    } else if ((head == '}' || head == ']') && !opens.empty()) {
      const Open open = opens.back();
      opens.pop_back();
      std::string joined = lines[open.line];
      for (size_t i = open.line + 1; i < lines.size(); ++i)
        joined += (i == open.line + 1 ? "" : " ") + lines[i].substr(lines[i].find_first_not_of(' '));
      joined += line.substr(first);
      if (open.flat && joined.size() <= kMaxLine) {
        lines.resize(open.line);
        lines.push_back(joined);
      } else {
        lines.push_back(line);
      }
    } else {
      lines.push_back(line);
    }
  }
  std::string out;
  for (const std::string &line : lines) out += line + "\n";
  return out;
}

// Returns false when the document cannot be written completely.  A file that
// standard output writes to gets the document through the stream, after
// the reports, instead of a second open that would write over them.
bool save(const std::string &path, const Json &doc) {
  const std::string text = layout(doc);
  if (is_stdout_file(path.c_str())) {
    if (standard_output_closed()) return false;
    return std::fputs(text.c_str(), stdout) >= 0;  // a failure shows at exit
  }
  return write_whole_file(path, text);
}

void write_failure(const std::string &text) {
  Json doc = haveWritten ? written : head("failed");
  doc["status"] = "failed";
  doc["message"] = trimmed(text);
  doc["warnings"] = warnings();
  if (!haveWritten) doc["termination"] = termination();
  save(jsonFname, doc);  // the run is ending anyway; nothing more to report
}

// What a run that ends before its end leaves (a signal, a kill): written
// before any work, replaced by the result or by the failure's own document.
void write_pending() {
  if (!replaceable_file(jsonFname)) return;  // a pipe or device gets one document only
  Json doc = head("failed");
  doc["message"] = "The run did not finish (interrupted or killed).";
  doc["termination"] = nullptr;
  save(jsonFname, doc);
}

}  // namespace

void watch_failures_for_json(const std::string &path, const std::string &data) {
  jsonFname = path;
  // The data-file check refuses this path; nothing may be written to it.
  if (!data.empty() && same_output_file(path, data)) return;
  static bool watching = false;
  if (!watching) add_fatal_hook(write_failure);
  watching = true;
  write_pending();
}

void refresh_pending_json() {
  if (!jsonFname.empty()) write_pending();
}

void compose_json() {
  written = full_document();
  haveWritten = true;
}

void write_json(const char *path) {
  if (!save(path, written)) fatal_fmt("Unable to write output file '%s'.", path);
}

void write_global_json(const char *path, const GlobalRun &run) {
  const tavfit::GlobalProblem &problem = run.problem;
  const tavfit::GlobalResult &r = run.result;
  const std::vector<std::string> &names = problem.model.parameters;
  const bool weighted = !problem.curves.empty() && !problem.curves[0].sigma.empty();
  const char *chi2 = weighted ? "chi_square" : "sse";
  auto held = [&](size_t k) { return !problem.held.empty() && problem.held[k]; };
  auto bounds = [&](Json &p, size_t k) {
    if (boundsGiven == 0) return;
    p["lower"] = std::isfinite(problem.lower[k]) ? number(problem.lower[k]) : Json(nullptr);
    p["upper"] = std::isfinite(problem.upper[k]) ? number(problem.upper[k]) : Json(nullptr);
  };
  Json doc = head("ok");
  doc["iterations"] = r.iterations;
  Json shared = Json::array();
  for (size_t k = 0; k < names.size(); ++k) {
    if (!problem.shared[k]) continue;
    shared.push_back({{"name", names[k]},
                      {"start", number(problem.start[0][k])},
                      {"held", held(k)},
                      {"value", number(r.curves[0].value[k])},
                      {"sd", number(r.curves[0].sd[k])}});
    bounds(shared.back(), k);
  }
  Json sharedNames = Json::array(), rows = Json::array();
  const size_t s = r.shared_free.size();
  for (size_t a = 0; a < s; ++a) {
    sharedNames.push_back(names[r.shared_free[a]]);
    Json row = Json::array();
    for (size_t b = 0; b < s; ++b) row.push_back(number(r.shared_covariance[a * s + b]));
    rows.push_back(row);
  }
  const tavfit::SeparateFits &t = r.separate;
  Json separate = {{"done", t.done}};
  if (t.done) {
    separate[chi2] = number(t.chi_square);
    separate["dof"] = t.dof;
    separate["f"] = number(t.f);
    separate["dof_numerator"] = t.dof_numerator;
    separate["p"] = number(t.p);
  } else {
    separate["reason"] = t.failed_curve >= 0 ? "The fit of curve '" + run.curves[t.failed_curve] +
                                                   "' alone failed."
                                             : t.reason;
  }
  doc["global"] = {{"curves", run.curves.size()},
                   {"shared", shared},
                   {"shared_covariance", {{"names", sharedNames}, {"matrix", rows}}},
                   {"n", r.n},
                   {"free_parameters", r.free_parameters},
                   {"dof", r.dof},
                   {chi2, number(r.chi_square)},
                   {"aic", number(r.aic)},
                   {"bic", number(r.bic)},
                   {"termination", {{"converged", r.termination.converged},
                                    {"reason", r.termination.reason},
                                    {"text", r.termination.text}}},
                   {"separate_fits", separate}};
  Json curves = Json::array();
  for (size_t c = 0; c < run.curves.size(); ++c) {
    const tavfit::FitResult &fit = r.curves[c];
    Json parameters = Json::array();
    for (size_t k = 0; k < names.size(); ++k) {
      parameters.push_back({{"name", names[k]},
                            {"shared", static_cast<bool>(problem.shared[k])},
                            {"start", number(problem.start[problem.shared[k] ? 0 : c][k])},
                            {"held", held(k)},
                            {"value", number(fit.value[k])},
                            {"sd", number(fit.sd[k])}});
      bounds(parameters.back(), k);
    }
    const tavfit::Problem one = {problem.model, problem.curves[c], {}};
    const tavfit::Statistics st = tavfit::statistics(one, fit);
    curves.push_back({{"curve", run.curves[c]},
                      {"n", problem.curves[c].x.size()},
                      {"parameters", parameters},
                      {chi2, number(fit.sse)},
                      {"rmse", number(fit.rmse)},
                      {"r_squared", number(st.r_squared)}});
  }
  doc["curves"] = curves;
  written = doc;
  haveWritten = true;
  write_json(path);
}
