// Command line (get_args), keyword lookup (get_fit_func) and the catalogue.
// Option order, -itmax, -d taking "-o" and unknown words are end-to-end cases.
#include <cctype>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "support.h"
#include "tavfit.h"

namespace {

// Each row: the command-line words, then the ten slots in the -parms notation;
// every slot starts held at 9 so that untouched ones show.
TEST(CommandLine, ParmsFieldsSetValuesAndHoldFlags) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{"-parms", "1:=2.5:3"}, "1:=2.5:3:=9:=9:=9:=9:=9:=9:=9"},
      {{"-parms", "1::3"}, "1:3:=9:=9:=9:=9:=9:=9:=9:=9"},
      {{"-parms", "="}, "=0:=9:=9:=9:=9:=9:=9:=9:=9:=9"},
      {{"-parms", ""}, "=9:=9:=9:=9:=9:=9:=9:=9:=9:=9"},
      {{"-parms", ":::"}, "=9:=9:=9:=9:=9:=9:=9:=9:=9:=9"},
      {{"-parms", ":1e2x:=-.5e1:abc:"}, "100:=-5:0:=9:=9:=9:=9:=9:=9:=9"},
      {{"-parms", "1:2:3:4:5:6:7:8:9:=10:=11:=12"}, "1:2:3:4:5:6:7:8:9:=10"},
      {{"-parms", "1:2:3", "-parms", "=5"}, "=5:2:3:=9:=9:=9:=9:=9:=9:=9"},
  };
  for (auto [words, want] : rows) {
    tavtest::reset_run_state();
    for (int k = 0; k < kMaxParms; ++k) fitParms[k] = 9.0, holdConstFlag[k] = 1;
    words.insert(words.begin(), "tavfit");
    words.insert(words.end(), {"-fit", "LINE"});
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(&word[0]);
    get_args(static_cast<int>(argv.size()), argv.data());
    std::ostringstream slots;
    for (int k = 0; k < kMaxParms; ++k)
      slots << (k ? ":" : "") << (holdConstFlag[k] ? "=" : "") << fitParms[k];
    EXPECT_EQ(slots.str(), want) << words[2];
  }
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
    std::string lower = kKeywords[id];
    for (char &c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(get_fit_func(kKeywords[id]), id) << kKeywords[id];
    EXPECT_EQ(get_fit_func(lower.c_str()), -1) << lower;
  }
  for (const char *word : {"LIN", "LINE1", "SUM_EXPO", "_SUM_EXPON", " LINE", ""})
    EXPECT_EQ(get_fit_func(word), -1) << "'" << word << "'";
}

// Each label is the name padded with '.' to nine characters, then ':'.
TEST(Catalogue, CountsAndParameterLabels) {
  tavtest::reset_run_state();
  const std::regex kLabel("[^.:]{1,9}\\.*:");
  for (int id = 0; id < kCatalogueSlots; ++id) {
    EXPECT_EQ(fitParmNum[id], id < kNumFitFuncs ? kParmNums[id] : 0) << id;
    for (int k = 0; k < kMaxParms; ++k) {
      const std::string label = fitParmStr[id][k] != nullptr ? fitParmStr[id][k] : "";
      EXPECT_TRUE(k < fitParmNum[id] ? label.size() == 10 && std::regex_match(label, kLabel)
                                     : label.empty()) << id << "/" << k;
    }
  }
}

}  // namespace
