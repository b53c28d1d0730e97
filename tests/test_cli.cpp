// Command line (get_args), keyword lookup (get_fit_func) and the catalogue.
#include <cctype>
#include <climits>
#include <regex>

#include <gtest/gtest.h>

#include "support.h"
#include "tavfit.h"

namespace {

// Runs get_args on the words (program name excluded) without resetting first.
void parse(std::vector<std::string> words) {
  words.insert(words.begin(), "tavfit");
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  get_args(static_cast<int>(words.size()), argv.data());
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override { tavtest::reset_run_state(); }
};

TEST_F(CommandLine, StartValuesAreSetBeforeTheWords) {
  fitMethod = kMethodLevmar;
  maxIt = 7;
  debugLevel = 1;
  parse({"-fit", "LINE"});
  EXPECT_EQ(fitMethod, kMethodTavrin);
  EXPECT_EQ(maxIt, 500);
  EXPECT_EQ(debugLevel, 0);
  EXPECT_EQ(fitFunc, 0);
}

TEST_F(CommandLine, ParmsFieldsSetValuesAndHoldFlags) {
  struct Row { std::vector<std::string> words; std::vector<double> values; std::vector<int> holds; };
  const std::vector<Row> rows = {
      {{"-parms", "1:=2.5:3"}, {1, 2.5, 3, 9}, {0, 1, 0, 1}},
      {{"-parms", "1::3"}, {1, 3, 9, 9}, {0, 0, 1, 1}},
      {{"-parms", "="}, {0, 9, 9, 9}, {1, 1, 1, 1}},
      {{"-parms", ""}, {9, 9, 9, 9}, {1, 1, 1, 1}},
      {{"-parms", ":::"}, {9, 9, 9, 9}, {1, 1, 1, 1}},
      {{"-parms", ":1e2x:=-.5e1:abc:"}, {100, -5, 0, 9}, {0, 1, 0, 1}},
      {{"-parms", "1:2:3", "-parms", "=5"}, {5, 2, 3, 9}, {1, 0, 0, 1}},
  };
  for (const Row &row : rows) {
    tavtest::reset_run_state();
    for (int k = 0; k < kMaxParms; ++k) fitParms[k] = 9.0, holdConstFlag[k] = 1;
    std::vector<std::string> words = row.words;
    words.insert(words.end(), {"-fit", "LINE"});
    parse(words);
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(fitParms[k], row.values[k]) << row.words.back() << " slot " << k;
      EXPECT_EQ(holdConstFlag[k], row.holds[k]) << row.words.back() << " slot " << k;
    }
  }
}

TEST_F(CommandLine, ParmsFieldsBeyondTheTenthAreIgnored) {
  parse({"-parms", "1:2:3:4:5:6:7:8:9:=10:=11:=12", "-fit", "LINE"});
  for (int k = 0; k < kMaxParms; ++k) EXPECT_EQ(fitParms[k], k + 1.0);
  EXPECT_EQ(holdConstFlag[9], 1);
}

TEST_F(CommandLine, ItmaxReadsLeadingDigitsAndClamps) {
  const std::vector<std::pair<std::string, int>> rows = {
      {"12abc", 12}, {"abc", 0}, {" -7", -7}, {"+3", 3}, {"0x10", 0},
      {"2147483647", INT_MAX}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}};
  for (const auto &row : rows) {
    parse({"-itmax", row.first, "-fit", "LINE"});
    EXPECT_EQ(maxIt, row.second) << "'" << row.first << "'";
  }
}

TEST_F(CommandLine, ValueIsTheNextWordWhateverItIs) {
  parse({"-d", "-o", "-fit", "LINE"});
  EXPECT_EQ(dataFname, "-o");
  EXPECT_EQ(outVerbFname, "");
  const std::string longName(300, 'n');
  parse({"-x", "-D", "-dx", "-d", longName, "-debug", "-fit", "CUBIC"});
  EXPECT_EQ(dataFname, longName);
  EXPECT_EQ(debugLevel, 1);
  EXPECT_EQ(fitFunc, 2);
}

TEST_F(CommandLine, LastMethodAndFitWin) {
  parse({"-tavrin", "-levmar", "-fit", "LINE", "-fit", "Z_SUM_EXPON"});
  EXPECT_EQ(fitMethod, kMethodLevmar);
  EXPECT_EQ(fitFunc, 34);
  parse({"-levmar", "-tavrin", "-fit", "LINE"});
  EXPECT_EQ(fitMethod, kMethodTavrin);
  EXPECT_EXIT(parse({"-fit", "LINE", "-fit", "line"}), ::testing::ExitedWithCode(1), "");
}

const char *const kKeywords[kNumFitFuncs] = {
    "LINE", "QUADRATIC", "CUBIC", "SUM_EXPON", "EXP1", "EXP2", "SINU_3P", "SINU_4P", "SIGMOID",
    "SUM_LOREN", "T1_RELAX", "T2_RELAX", "R2_DIMER", "R2X_DIMER", "PH_TITR", "XY1", "XY2",
    "GAUSS", "Z_DISP", "Z_UCD", "Z_MELT_MON", "Z_MELT_DIM", "Z_CHEM_TRI", "Z_CHEM_MON_TRI",
    "Z_CP_MONOMER", "Z_CP_DIM", "Z_CP_TRIMER", "Z_SIG_DIM", "Z_AMIDE_PH", "CRYSTAL", "LORENTZ",
    "ISODESMIC", "UREA", "PH_TITR2", "Z_SUM_EXPON"};
const int kParmNums[kNumFitFuncs] = {2, 3, 4, 5, 3, 3, 3, 4, 4, 6, 3, 2, 3, 5, 4, 2, 4, 4,
                                     6, 5, 7, 8, 8, 8, 8, 9, 9, 8, 4, 3, 3, 3, 3, 5, 4};

TEST(FitFunc, EveryKeywordGivesItsIdAndNothingElseMatches) {
  for (int id = 0; id < kNumFitFuncs; ++id) {
    EXPECT_EQ(get_fit_func(kKeywords[id]), id) << kKeywords[id];
    std::string lower = kKeywords[id];
    for (char &c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(get_fit_func(lower.c_str()), -1) << lower;
  }
  for (const char *word : {"LIN", "LINE1", "SUM_EXPO", "_SUM_EXPON", " LINE", ""})
    EXPECT_EQ(get_fit_func(word), -1) << "'" << word << "'";
}

TEST(Catalogue, CountsAndParameterLabels) {
  tavtest::reset_run_state();
  const std::regex kLabel("[^.:]+\\.*:");
  for (int id = 0; id < kCatalogueSlots; ++id) {
    const int count = id < kNumFitFuncs ? kParmNums[id] : 0;
    EXPECT_EQ(fitParmNum[id], count) << id;
    EXPECT_EQ(fitLabel[id] == nullptr, id >= kNumFitFuncs) << id;
    for (int k = 0; k < kMaxParms; ++k) {
      // The name, padded with '.' to nine characters, then ':'.
      const std::string label = fitParmStr[id][k] != nullptr ? fitParmStr[id][k] : "";
      if (k >= count) EXPECT_EQ(label, "") << id << "/" << k;
      else EXPECT_TRUE(label.size() == 10 && std::regex_match(label, kLabel)) << label;
    }
  }
  EXPECT_STREQ(fitParmStr[16][2], "Shift-LM2:");
  EXPECT_STREQ(fitParmStr[27][7], "Temp.....:");
  EXPECT_STREQ(fitLabel[34], "Variant of sum of 2 exponentials");
  EXPECT_STREQ(fitNote[3], "Notes: A4 + A0*EXP(-x/A1) + A2*EXP(-x/A3)");
}

}  // namespace
