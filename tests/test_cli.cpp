// Command line (get_args), keyword lookup (get_fit_func) and the catalogue.
// Option order, -itmax, -d taking "-o" and unknown words are end-to-end cases.
#include <cctype>
#include <cstdio>
#include <sstream>

#include <gtest/gtest.h>

#include "support.h"
#include "program.h"

namespace {

// Each row: the -parms words in order, then the ten slots in the -parms
// notation; every slot starts held at 9 so that untouched ones show.
TEST(CommandLine, ParmsFieldsSetValuesAndHoldFlags) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{"1:=2.5:3"}, "1:=2.5:3:=9:=9:=9:=9:=9:=9:=9"},
      {{"1::3"}, "1:3:=9:=9:=9:=9:=9:=9:=9:=9"},
      {{"="}, "=0:=9:=9:=9:=9:=9:=9:=9:=9:=9"},
      {{""}, "=9:=9:=9:=9:=9:=9:=9:=9:=9:=9"},
      {{":::"}, "=9:=9:=9:=9:=9:=9:=9:=9:=9:=9"},
      {{":1e2x:=-.5e1:abc:"}, "100:=-5:0:=9:=9:=9:=9:=9:=9:=9"},
      {{"1:2:3:4:5:6:7:8:9:=10:=11:=12"}, "1:2:3:4:5:6:7:8:9:=10"},
      {{"1:2:3", "=5"}, "=5:2:3:=9:=9:=9:=9:=9:=9:=9"},
  };
  for (const auto &[words, want] : rows) {
    double values[kMaxParms];
    int hold[kMaxParms];
    for (int k = 0; k < kMaxParms; ++k) values[k] = 9.0, hold[k] = 1;
    for (const std::string &word : words) read_parms(word.c_str(), values, hold);
    std::ostringstream slots;
    for (int k = 0; k < kMaxParms; ++k) slots << (k ? ":" : "") << (hold[k] ? "=" : "") << values[k];
    EXPECT_EQ(slots.str(), want) << words[0];
  }
  double values[kMaxParms];
  int hold[kMaxParms];
  EXPECT_EQ(read_parms("1:2:3:4:5:6:7:8:9:10:11:12", values, hold), 12);
}

TEST(Messages, PrintedRecordedAndFormattedWhole) {
  clear_run_messages();
  testing::internal::CaptureStdout();
  show_msg(kWarning, "w");
  show_msg(kNote, "n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            " Warning, Error Detected!\n Message: w\n Note: n\n");
  ASSERT_EQ(run_messages().size(), 2u);
  EXPECT_EQ(run_messages()[0].level, kWarning);
  EXPECT_EQ(run_messages()[1].level, kNote);
  EXPECT_EQ(run_messages()[1].text, "n");
  EXPECT_EQ(format_msg("%s", ""), "");
  EXPECT_EQ(format_msg("%d:%s", 7, std::string(300, 'x').c_str()), "7:" + std::string(300, 'x'));
}

void echo_hook(const std::string &text) { std::fprintf(stderr, "[%s]", text.c_str()); }

TEST(MessagesDeathTest, FatalRunsTheHooksInOrderThenExitsOne) {
  EXPECT_EXIT((add_fatal_hook(echo_hook), add_fatal_hook(echo_hook), fatal_fmt("no %s", "fit")),
              testing::ExitedWithCode(1), "^\\[no fit\\]\\[no fit\\]$");
}

// The model listing: keyword, label, description and parameter labels per id.
struct ModelRow { std::string keyword, label, note; std::vector<std::string> parms; };
std::vector<ModelRow> model_listing() {
  std::vector<ModelRow> rows;
  std::istringstream in(tavtest::read_file(tavtest::test_data("models.tsv")));
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    ModelRow row;
    std::string parms, label;
    std::getline(fields, row.keyword, '\t'), std::getline(fields, row.label, '\t');
    std::getline(fields, row.note, '\t'), std::getline(fields, parms);
    for (std::istringstream words(parms); words >> label;) row.parms.push_back(label);
    rows.push_back(row);
  }
  return rows;
}

// Which keyword picks which model is pinned by the report header case below;
// here, that nothing but the exact keyword matches.
TEST(FitFunc, OnlyTheExactKeywordMatches) {
  for (const ModelRow &model : model_listing()) {
    std::string lower = model.keyword;
    for (char &c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(get_fit_func(lower.c_str()), -1) << lower;
  }
  for (const char *word : {"LIN", "LINE1", "SUM_EXPO", "_SUM_EXPON", " LINE", ""})
    EXPECT_EQ(get_fit_func(word), -1) << "'" << word << "'";
}

// Every model through the binary, all parameters held: the verbose report names
// it with its label and description and lists its parameter labels in order.
TEST(Catalogue, VerboseReportHeaderOfEveryModel) {
  const std::string dir = tavtest::make_temp_dir();
  tavtest::write_file(dir + "/pts.dat", "1 2 1\n2 3 1\n");  // X2 for XY1 and XY2
  const double held[kMaxParms] = {1, 1, 1, 5, 1, 1, 1, 1, 1, 1};  // XY2 needs DKd2 > 4 DKd1
  for (const ModelRow &model : model_listing()) {
    const tavtest::RunResult run = tavtest::run_tavfit(
        {"-d", "pts.dat", "-fit", model.keyword, "-parms", "=1:=1:=1:=5:=1:=1:=1:=1:=1:=1"}, dir);
    std::string want = "\nFunction...: " + model.label + "\nDescription: " + model.note +
                       "\nParameters.: " + std::to_string(model.parms.size()) +
                       "\nFit Method.: TAVRIN\n\nParameter   Hold Constant      Value     StdDev\n";
    for (size_t k = 0; k < model.parms.size(); ++k)
      want += model.parms[k] + "       yes     " + format_msg(" %10.5g %10.5g\n", held[k], 0.0);
    EXPECT_NE(run.out.find(want + "\nRMSE"), std::string::npos) << model.keyword << ":\n" << run.out;
  }
}

}  // namespace
