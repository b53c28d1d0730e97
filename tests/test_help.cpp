// The information words (-h, -version, -list, -describe) and the catalogue's
// meanings and units behind them.  Exact texts of -list and -describe are
// end-to-end cases (tests/e2e/info_*).
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "methods.h"
#include "support.h"
#include "program.h"

namespace {

bool filled(const char *text) { return text != nullptr && text[0] != '\0'; }

// True when name occurs in text as a whole token, not inside a longer name.
bool names(const std::string &text, const std::string &name) {
  auto inName = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
    const bool startsToken = at == 0 || !inName(text[at - 1]);
    const size_t end = at + name.size();
    if (startsToken && (end == text.size() || !inName(text[end]))) return true;
  }
  return false;
}

// The start values of a row, read as -parms reads them.
std::vector<double> start_values(int id) {
  double values[kMaxParms] = {};
  int hold[kMaxParms] = {};
  read_parms(catalogue_entry(id).start, values, hold);
  return std::vector<double>(values, values + catalogue_entry(id).parmNum);
}

TEST(Catalogue, EveryModelSaysWhatItsVariablesAndParametersMean) {
  for (int id = 0; id < kNumFitFuncs; ++id) {
    const CatalogueEntry &entry = catalogue_entry(id);
    const std::string formula = entry.formula;
    SCOPED_TRACE(entry.keyword);
    EXPECT_TRUE(filled(entry.x.meaning) && filled(entry.x.unit));
    EXPECT_TRUE(filled(entry.y.meaning) && filled(entry.y.unit));
    EXPECT_EQ(entry.x2.meaning == nullptr, entry.x2.unit == nullptr);
    EXPECT_TRUE(filled(entry.held) && filled(entry.start));
    EXPECT_EQ(formula.rfind("Y = ", 0), 0u);
    EXPECT_EQ(names(formula, "X2"), entry.x2.meaning != nullptr);
    for (int k = 0; k < kMaxParms; ++k) {
      const CatalogueParm &parm = entry.parm[k];
      if (k >= entry.parmNum) {
        EXPECT_TRUE(parm.label == nullptr && parm.meaning == nullptr) << k;
        continue;
      }
      EXPECT_TRUE(filled(parm.meaning) && filled(parm.unit) && filled(parm.start)) << k;
      EXPECT_TRUE(names(formula, parm_name(parm.label))) << parm_name(parm.label);
    }
    // The typical start has one field per parameter, each wholly a number.
    int fields = 0;
    std::istringstream start(entry.start);
    for (std::string field; std::getline(start, field, ':');) fields += !field.empty();
    EXPECT_EQ(fields, entry.parmNum);
    clear_run_messages();
    start_values(id);
    EXPECT_TRUE(run_messages().empty()) << entry.start;
  }
}

// The catalogue says a model uses X2 exactly when its value depends on X2.
TEST(Catalogue, X2IsDocumentedForTheModelsThatReadIt) {
  for (int id = 0; id < kNumFitFuncs; ++id) {
    const tavfit::Model &model = tavfit::models()[id];
    const double a = tavfit::evaluate(model, 2e-3, 5e-4, start_values(id));
    const double b = tavfit::evaluate(model, 2e-3, 1e-3, start_values(id));
    const bool readsX2 = !(a == b || (std::isnan(a) && std::isnan(b)));
    EXPECT_EQ(readsX2, model.uses_x2) << model.keyword;
  }
}

// Descriptions fit an 80-column terminal; only the example command stays whole.
TEST(HelpText, DescriptionsFitTheTerminal) {
  for (int id = 0; id < kNumFitFuncs; ++id) {
    std::istringstream in(description_text(id));
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("  tavfit ", 0) != 0) {
        EXPECT_LE(line.size(), 79u) << line;
      }
    }
  }
}

// The manual page's own description counts the methods and names each by its
// option, so that a method added to the table cannot go unmentioned there.
TEST(ManualPage, DescriptionNamesEveryMethod) {
  const std::string h2m =
      tavtest::read_file(std::string(TAVFIT_TEST_DATA) + "/../../dist/tavfit.h2m");
  const size_t begin = h2m.find("[>DESCRIPTION]");
  ASSERT_NE(begin, std::string::npos);
  const std::string description = h2m.substr(begin, h2m.find("\n[", begin) - begin);
  const char *const counts[] = {"One", "Two", "Three", "Four", "Five"};
  ASSERT_LE(kMethodCount, 5);
  EXPECT_NE(description.find(std::string(counts[kMethodCount - 1]) + " fitting methods"),
            std::string::npos);
  for (int k = 0; k < kMethodCount; ++k)  // "-ceres" as groff writes it: "\-ceres"
    EXPECT_NE(description.find(std::string("\\") + kMethods[k].option), std::string::npos)
        << kMethods[k].option;
}

// Each word, anywhere among other options, prints and exits 0 without
// creating, emptying or reading a file.
TEST(InformationWords, PrintExitZeroAndTouchNoFile) {
  const std::vector<std::pair<std::string, std::string>> words = {
      {"-h", "Usage: tavfit"},          {"-help", "Usage: tavfit"},
      {"--help", "-describe KEYWORD"},  {"-version", "tavfit 1.1.0\n"},
      {"--version", "LAPACK/BLAS"},     {"-list", "Z_SUM_EXPON     4  A0 A1 A2 A3"},
      {"-describe", "T1_RELAX: T1 Relaxation\n"},
  };
  for (const auto &[word, text] : words) {
    const std::string dir = tavtest::make_temp_dir();
    tavtest::write_file(dir + "/keep.txt", "kept\n");
    std::vector<std::string> args = {"-o", "v.txt", "-short", "keep.txt", "-log", "l.txt",
                                     "-d", "missing.dat", "-fit", "LINE", word};
    if (word == "-describe") args.push_back("T1_RELAX");
    args.push_back("-parms");
    const tavtest::RunResult run = tavtest::run_tavfit(args, dir);
    EXPECT_EQ(run.status, 0) << word;
    EXPECT_NE(run.out.find(text), std::string::npos) << word << "\n" << run.out;
    EXPECT_EQ(run.err, "") << word;
    EXPECT_FALSE(tavtest::file_exists(dir + "/v.txt") || tavtest::file_exists(dir + "/l.txt"));
    EXPECT_EQ(tavtest::read_file(dir + "/keep.txt"), "kept\n") << word;
  }
}

// A text that cannot reach its reader is a failure, not a success.
TEST(InformationWords, UnwritableStandardOutputExitsOne) {
  if (!tavtest::file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const std::string command = std::string(TAVFIT_BIN) + " -list > /dev/full 2>/dev/null";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
}

}  // namespace
