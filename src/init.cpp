// The fit-function catalogue and the set-up of a run.
#include "program.h"

#include "methods.h"

#include <algorithm>
#include <iterator>

namespace {

// The catalogue row of the typed formula, and the texts it points into.
CatalogueEntry formulaEntry;
std::vector<std::string> formulaLabels;

void set_formula_entry() {
  const tavfit::Model &m = typedModel;
  formulaLabels.clear();
  for (const std::string &name : m.parameters) {
    // As the built-in labels: the name padded with '.' to nine characters.
    std::string label = name;
    if (label.size() < 9) label.append(9 - label.size(), '.');
    formulaLabels.push_back(label + ":");
  }
  formulaEntry = CatalogueEntry();
  formulaEntry.keyword = "";
  formulaEntry.label = m.label.c_str();
  formulaEntry.note = m.description.c_str();
  formulaEntry.parmNum = static_cast<int>(m.parameters.size());
  for (int k = 0; k < formulaEntry.parmNum; ++k) {
    formulaEntry.parm[k].label = formulaLabels[k].c_str();
    formulaEntry.parm[k].meaning = "";
    formulaEntry.parm[k].unit = "";
    formulaEntry.parm[k].start = "";
  }
  formulaEntry.formula = m.formula.c_str();
  formulaEntry.x = {nullptr, nullptr};
  formulaEntry.y = {nullptr, nullptr};
  formulaEntry.x2 = {m.uses_x2 ? "X2" : nullptr, nullptr};
  formulaEntry.held = "";
  formulaEntry.start = "";
}

}  // namespace

int get_fit_func(const char *word) { return catalogue_id(word); }

tavfit::Model run_model() {
  return fitFunc == kFormulaFunc ? typedModel : builtin_model(fitFunc);
}

const CatalogueEntry &run_entry() {
  return fitFunc == kFormulaFunc ? formulaEntry : catalogue_entry(fitFunc);
}

std::string model_name() {
  return fitFunc == kFormulaFunc ? "The formula" : catalogue_entry(fitFunc).keyword;
}

std::string formula_fault_text(const std::string &formula, const tavfit::FormulaError &fault) {
  // The caret's line keeps the formula's tabs, so that it lines up.
  std::string under;
  for (int k = 0; k < fault.column && k < static_cast<int>(formula.size()); ++k)
    under += formula[k] == '\t' ? '\t' : ' ';
  return fault.message + ":\n   " + formula + "\n   " + under + "^";
}

void read_formula(const char *text) {
  tavfit::FormulaError fault;
  tavfit::Model model = tavfit::parse_model(text, &fault);
  if (model.program == nullptr) fatal(formula_fault_text(text, fault));
  typedModel = std::move(model);
}

void fill_catalogue() {
  if (typedModel.program != nullptr) {
    set_formula_entry();
    fitLabel[kFormulaFunc] = formulaEntry.label;
    fitNote[kFormulaFunc] = formulaEntry.note;
    fitParmNum[kFormulaFunc] = formulaEntry.parmNum;
    for (int k = 0; k < formulaEntry.parmNum; ++k)
      fitParmStr[kFormulaFunc][k] = formulaEntry.parm[k].label;
  }
  for (int id = 0; id < kNumFitFuncs; ++id) {
    const CatalogueEntry &entry = catalogue_entry(id);
    fitLabel[id] = entry.label;
    fitNote[id] = entry.note;
    fitParmNum[id] = entry.parmNum;
    std::transform(std::begin(entry.parm), std::end(entry.parm), fitParmStr[id],
                   [](const CatalogueParm &parm) { return parm.label; });
  }
}

void init_vars() {
  // The log is an empty file, written as every output is, whole; a log that
  // cannot be written is given up without a message.
  if (!logFname.empty() && !is_stdout_file(logFname.c_str())) write_whole_file(logFname, "");
  fill_catalogue();
  numParms = fitParmNum[fitFunc];
  // The reader has already warned when the file cannot be opened.
  bool hasX2 = false;
  const CatalogueEntry &model = run_entry();
  const bool withSigma = sigmaMode != kSigmaNone;
  if (tableColumns.x.given()) {
    TableData table;
    if (!read_table(dataFname.c_str(), tableColumns, &table))
      exit_failed(format_msg("Unable to open file: '%s'", dataFname.c_str()));
    xData = std::move(table.x);
    yData = std::move(table.y);
    tData = std::move(table.x2);
    sData = std::move(table.sigma);
    numData = static_cast<int>(xData.size());
    hasX2 = tableColumns.x2.given();
    numDataCol = hasX2 ? 3 : 2;
  } else {
    std::vector<std::vector<double> *> columns = {&xData, &yData, &tData};
    if (withSigma) columns.push_back(&sData);
    for (std::vector<double> *v : columns) v->resize(kMaxData);
    if (read_crv_data(dataFname.c_str(), xData.data(), yData.data(), tData.data(), &numData,
                      &numDataCol, &hasX2, withSigma ? sData.data() : nullptr,
                      model.x2.meaning != nullptr) == 0)
      exit_failed(format_msg("Unable to open file: '%s'", dataFname.c_str()));
    for (std::vector<double> *v : columns) v->resize(numData);
  }
  // A sigma column weighs the fit only when asked: a table may carry one
  // that was not meant for this fit.
  if (!withSigma && !sData.empty()) {
    show_msg(kWarning,
             "The table's sigma column is not used; -sigma or -sigma-absolute weighs the fit with it.");
    sData.clear();
  }
  fxData.resize(numData);
  // Without X2 the model would see X2 = 0 at every point, and the fit fail
  // for a reason that hides this one.
  if (model.x2.meaning != nullptr && !hasX2)
    fatal_fmt("%s needs X Y X2 lines; the data file has X Y lines.", model_name().c_str());
}
