// The fit-function catalogue and the set-up of a run.
#include "program.h"

#include <algorithm>
#include <iterator>

int get_fit_func(const char *word) { return catalogue_id(word); }

void fill_catalogue() {
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
  const CatalogueEntry &model = catalogue_entry(fitFunc);
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
    fatal_fmt("%s needs X Y X2 lines; the data file has X Y lines.", model.keyword);
}
