// The fit-function catalogue and the set-up of a run.
#include "tavfit.h"

#include <cstdlib>
#include <cstring>

#include "models.h"

namespace {

struct CatalogueRow {
  const char *keyword;
  const char *label;
  const char *note;
  int parmNum;
  const char *parmStr[kMaxParms];
};

// Row i describes fit-function id i.  Parameter labels are the name padded
// with '.' to nine characters, then ':'.
constexpr CatalogueRow kCatalogue[] = {
    {"LINE", "Straight Line", "Notes: A0*x + A1", 2, {"A0.......:", "A1.......:"}},
    {"QUADRATIC", "Quadratic", "Notes: A0*x*x + A1*x + A2", 3,
     {"A0.......:", "A1.......:", "A2.......:"}},
    {"CUBIC", "Cubic Polynomial", "Notes: A0*x*x*x + A1*x*x + A2*x + A3", 4,
     {"A0.......:", "A1.......:", "A2.......:", "A3.......:"}},
    {"SUM_EXPON", "Sum of 2 Exponential decay", "Notes: A4 + A0*EXP(-x/A1) + A2*EXP(-x/A3)", 5,
     {"A0.......:", "A1.......:", "A2.......:", "A3.......:", "A4.......:"}},
    {"EXP1", "Exponential Recovery", "Notes: A0*(1-EXP(A1*x))+A2", 3,
     {"A0.......:", "A1.......:", "A2.......:"}},
    {"EXP2", "Exponential Decay", "Notes: A0*EXP(A1*x) + A2", 3,
     {"A0.......:", "A1.......:", "A2.......:"}},
    {"SINU_3P", "Sinusoidal 3 Parms", "Notes: a0*cos(x)^2 - a1*cos(x) + a2", 3,
     {"A0.......:", "A1.......:", "A2.......:"}},
    {"SINU_4P", "Sinusoidal 4 Parms", "Notes: a0*cos(a1 * x + a2) + a3", 4,
     {"A0.......:", "A1.......:", "A2.......:", "A3.......:"}},
    {"SIGMOID", "Sigmoidal", "Notes: a + b/(1+exp(-(x-c)/d))", 4,
     {"A0.......:", "A1.......:", "A2.......:", "A3.......:"}},
    {"SUM_LOREN", "Sum of Lorentzian Curves", "Notes: Mo*(loren1 - F*loren2)", 6,
     {"Vo(1)....:", "T1(1)....:", "Vo(2)....:", "T1(2)....:", "Mo.......:", "F........:"}},
    {"T1_RELAX", "T1 Relaxation", "Notes: Mo*(1 - W*EXP(-x/T1))", 3,
     {"Mo.......:", "W........:", "T1.......:"}},
    {"T2_RELAX", "T2 Relaxation", "Notes: Mo*EXP(-x/T2)", 2, {"Mo.......:", "T2.......:"}},
    {"R2_DIMER", "R2 Dimer", "Notes: (a0 * b) + c + d) / (4x)", 3,
     {"Kd.......:", "R2D......:", "R2M......:"}},
    {"R2X_DIMER", "R2X Dimer", "Notes: (Fm*R2M + Fd*R2D) + (Fm*Fm*Fd*Tau*DeltaSqu)", 5,
     {"Kd.......:", "R2D......:", "R2M......:", "TAU......:", "DELTASQU.:"}},
    {"PH_TITR", "PH Titration", "Notes: Sa+([H]^n/([H]^n+Ka^n))*(Sah-Sa)", 4,
     {"pKa......:", "Sa.......:", "Sah......:", "HC.......:"}},
    {"XY1", "Chemical Shift (XY1)", "Notes: X+Y <=> XY; obs X; vary Y", 2,
     {"Shift....:", "Dconst...:"}},
    {"XY2", "Chemical Shift (XY2)", "Notes: X+Y <=> XY; XY+Y <=> XY2; obs X", 4,
     {"Shift-LM1:", "DKd1.....:", "Shift-LM2:", "DKd2.....:"}},
    {"GAUSS", "Gaussian", "Notes: gaussian curve", 4,
     {"A0.......:", "A1.......:", "A2.......:", "A3.......:"}},
    {"Z_DISP", "Dispersion Curves", "Notes: Mo*(loren1 - F*loren2)", 6,
     {"Vo(1)....:", "T1(1)....:", "Vo(2)....:", "T1(2)....:", "Mo.......:", "F........:"}},
    {"Z_UCD", "UC-dimer", "Notes: m + a0^2*ka*exp(h*2M*(x^2-x0^2))", 5,
     {"A0.......:", "h........:", "M........:", "X0.......:", "Ka2......:"}},
    {"Z_MELT_MON", "Monomer Melting Curve", "Notes: Tamsell Monomer Melt curve", 7,
     {"a0.......:", "a1.......:", "a2.......:", "a3.......:", "a4.......:", "a5.......:",
      "a6.......:"}},
    {"Z_MELT_DIM", "Dimer Melting Curve", "Notes: Tamsell Dimer melt curve", 8,
     {"a0.......:", "a1.......:", "a2.......:", "a3.......:", "a4.......:", "a5.......:",
      "a6.......:", "a7.......:"}},
    {"Z_CHEM_TRI", "Denaturation Trimer", "Chemical Denaturation Trimer", 8,
     {"A0.......:", "A1.......:", "A2.......:", "A3.......:", "A4.......:", "A5.......:",
      "A6.......:", "RT.......:"}},
    {"Z_CHEM_MON_TRI", "Denaturation Monomer/Trimer", "Chemical Denaturation Monomer/Trimer", 8,
     {"A0.......:", "A1.......:", "A2.......:", "A3.......:", "A4.......:", "A5.......:",
      "A6.......:", "RT.......:"}},
    {"Z_CP_MONOMER", "Partial molar heat capacity of monomer",
     "Cp(temp) for unfolding of a monomer", 8,
     {"A0.......:", "A1.......:", "A2.......:", "A3.......:", "A4.......:", "A5.......:",
      "A6.......:", "A7.......:"}},
    {"Z_CP_DIM", "Partial molar heat capacity of dimer", "Cp(temp) for unfolding of a dimer", 9,
     {"A0.......:", "A1.......:", "A2.......:", "A3.......:", "A4.......:", "A5.......:",
      "A6.......:", "A7.......:", "A8.......:"}},
    {"Z_CP_TRIMER", "Partial molar heat capacity of trimer", "Cp(temp) for unfolding of a trimer",
     9,
     {"A0.......:", "A1.......:", "A2.......:", "A3.......:", "A4.......:", "A5.......:",
      "A6.......:", "A7.......:", "A8.......:"}},
    {"Z_SIG_DIM", "Sigmoidal fit for dimer", "Notes: Orrin Sigmoidal fit dimer", 8,
     {"r........:", "s........:", "c........:", "d........:", "a........:", "b........:",
      "P........:", "Temp.....:"}},
    {"Z_AMIDE_PH", "Amide pH dependence", "Notes: 1 / (1 + kex * T1)", 4,
     {"T1.......:", "kOH......:", "kH.......:", "kH2O.....:"}},
    {"CRYSTAL", "Single Crystal", "Notes: a0 + a1*cos(2x) + a2*sin(2x)", 3,
     {"A0.......:", "A1.......:", "A2.......:"}},
    {"LORENTZ", "Lorentzian", "Notes: Model for spectral lines", 3,
     {"Vo(1)....:", "T1(1)....:", "Mo.......:"}},
    {"ISODESMIC", "Isodesmic Model of Self Association", "Notes: FEBS 2001, Kestovar et al", 3,
     {"A0.......:", "A1.......:", "A2.......:"}},
    {"UREA", "Urea Sigmoidal", "Notes: Sigmoid derivative", 3,
     {"A0.......:", "A1.......:", "A2.......:"}},
    {"PH_TITR2", "PH Titration 2", "Notes: PH Titration with 2 pka terms", 5,
     {"Sah......:", "pKa1.....:", "Sa1......:", "pKa2.....:", "Sa2......:"}},
    {"Z_SUM_EXPON", "Variant of sum of 2 exponentials",
     "a0*(1.0 - exp(-x/a1)) + a2*(1.0 - exp(-x/a3))", 4,
     {"A0.......:", "A1.......:", "A2.......:", "A3.......:"}},
};

constexpr bool same_text(const char *a, const char *b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

// Row i must be fit function i as the model library names it.
constexpr bool catalogue_matches_ids() {
  for (int id = 0; id < kFitFuncCount; ++id)
    if (!same_text(kCatalogue[id].keyword, kFitFuncKeyword[id])) return false;
  return true;
}
static_assert(sizeof kCatalogue / sizeof kCatalogue[0] == kFitFuncCount,
              "one catalogue row per fit-function id");
static_assert(kNumFitFuncs == kFitFuncCount, "kNumFitFuncs counts the fit-function ids");
static_assert(catalogue_matches_ids(), "catalogue rows in fit-function id order");

// Work arrays the data file is read into before the points reach the run state.
double readX[kMaxData];
double readY[kMaxData];
double readX2[kMaxData];

}  // namespace

int get_fit_func(const char *word) {
  for (int id = 0; id < kNumFitFuncs; ++id)
    if (std::strcmp(word, kCatalogue[id].keyword) == 0) return id;
  return -1;
}

void fill_catalogue() {
  for (int id = 0; id < kNumFitFuncs; ++id) {
    fitLabel[id] = kCatalogue[id].label;
    fitNote[id] = kCatalogue[id].note;
    fitParmNum[id] = kCatalogue[id].parmNum;
    for (int k = 0; k < kMaxParms; ++k) fitParmStr[id][k] = kCatalogue[id].parmStr[k];
  }
}

void init_vars() {
  logfp = logFname.empty() ? nullptr : std::fopen(logFname.c_str(), "w");
  if (logfp == nullptr) logfp = stderr;

  fill_catalogue();
  numParms = fitParmNum[fitFunc];

  numData = kUnsetMarker;
  int count = 0;
  int columns = 0;
  // The reader has already warned when the file cannot be opened.
  if (read_crv_data(dataFname.c_str(), readX, readY, readX2, &count, &columns) == 0)
    exit_failed(format_msg("Unable to open file: '%s'", dataFname.c_str()));
  numData = count;
  numDataCol = columns;
  for (int i = 0; i < numData; ++i) {
    xData[i] = readX[i];
    yData[i] = readY[i];
    tData[i] = readX2[i];
  }
}

const char *fit_keyword(int id) { return kCatalogue[id].keyword; }

std::string parm_name(int id, int k) {
  std::string name = kCatalogue[id].parmStr[k];
  while (!name.empty() && (name.back() == '.' || name.back() == ':')) name.pop_back();
  return name;
}

std::string fit_formula(int id) {
  const std::string note = kCatalogue[id].note;
  return note.compare(0, 7, "Notes: ") == 0 ? note.substr(7) : note;
}

bool fit_uses_x2(int id) {
  const std::string keyword = kCatalogue[id].keyword;
  return keyword == "XY1" || keyword == "XY2";
}
