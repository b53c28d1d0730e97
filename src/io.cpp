// The curve data file and the two reports.
#include "tavfit.h"

namespace {

// Lines are read in pieces of at most 255 characters; a longer line goes on
// in the next piece, which is handled as a line of its own.
constexpr int kLineBuf = 256;

// Opens a report file, or falls back to standard output without a message.
FILE *open_report(const char *path) {
  FILE *fp = std::fopen(path, "w");
  return fp != nullptr ? fp : stdout;
}

void close_report(FILE *fp) {
  if (fp != stdout) std::fclose(fp);
}

}  // namespace

int read_crv_data(const char *path, double *x, double *y, double *x2, int *count,
                  int *columns) {
  FILE *fp = std::fopen(path, "r");
  if (fp == nullptr) {
    show_msg(kWarning, format_msg("Unable to open file: '%s'\n", path).c_str());
    return 0;
  }
  int n = 0;
  int fileFields = 0;
  char line[kLineBuf];
  // The two trailing fields only count: a piece holds at most 255 characters,
  // so a width of 255 never splits a word and never overflows.
  char word1[kLineBuf];
  char word2[kLineBuf];
  while (std::fgets(line, sizeof line, fp) != nullptr) {
    if (line[0] == '#') continue;
    if (n == kMaxData)
      show_msg(kFatal, format_msg("Error, Max data points exceeds %d\n", kMaxData).c_str());
    double third = 0.0;
    const int fields =
        std::sscanf(line, "%lf %lf %lf %255s %255s", &x[n], &y[n], &third, word1, word2);
    if (fields < 2) continue;  // blank, text, a single number (or EOF, -1)
    if (fileFields == 0)
      fileFields = fields;
    else if (fields != fileFields)
      show_msg(kFatal, "Error, Inconsistent number of data columns\n");
    x2[n] = fields >= 3 ? third : 0.0;
    ++n;
  }
  std::fclose(fp);
  if (n < kMinData)
    show_msg(kFatal, format_msg("Error, Min data points is (%d)\n", kMinData).c_str());
  *count = n;
  *columns = (fileFields == 3 || fileFields == 5) ? 3 : 2;
  return 1;
}

void set_results() {
  for (int i = 0; i < numData; ++i)
    fnf(fitFunc, &fxData[i], xData[i], numDataCol == 2 ? 0.0 : tData[i], fitParms);
}

int write_verb_results(const char *path) {
  FILE *fp = open_report(path);
  const int nParms = fitParmNum[fitFunc];
  std::fprintf(fp, "\n");
  std::fprintf(fp, "Data Input.: %s\n", dataFname.c_str());
  std::fprintf(fp, "Num of data: %d\n", numData);
  std::fprintf(fp, "\n");
  std::fprintf(fp, "Function...: %s\n", fitLabel[fitFunc]);
  std::fprintf(fp, "Description: %s\n", fitNote[fitFunc]);
  std::fprintf(fp, "Parameters.: %d\n", nParms);
  std::fprintf(fp, "Fit Method.: %s\n", fitMethod == kMethodTavrin  ? "TAVRIN"
                                        : fitMethod == kMethodCeres ? "CERES"
                                                                    : "LEVMAR");
  std::fprintf(fp, "\n");
  std::fprintf(fp, "Parameter   Hold Constant");
  std::fprintf(fp, "      Value     StdDev\n");
  for (int i = 0; i < nParms; ++i) {
    std::fprintf(fp, "%s       %s     ", fitParmStr[fitFunc][i],
                 holdConstFlag[i] == 1 ? "yes" : "no ");
    std::fprintf(fp, " %10.5g %10.5g\n", fitParms[i], fitStdDev[i]);
  }
  std::fprintf(fp, "\n");
  std::fprintf(fp, "RMSE.......: %-10.5g\n", rmse);
  std::fprintf(fp, "Iterations.: %d\n", itCount);
  std::fprintf(fp, "Max It.....: %d\n", maxIt);
  std::fprintf(fp, "\n");
  std::fprintf(fp, "Point by Point Analysis\n");
  if (numDataCol == 3) {
    std::fprintf(fp, "      X[i]      X2[i]      Y[i]");
    std::fprintf(fp, "    Y-Calc   Residual\n");
    for (int i = 0; i < numData; ++i)
      std::fprintf(fp, "%10.5g %10.5g %10.5g %10.5g %10.5g\n", xData[i], tData[i], yData[i],
                   fxData[i], fxData[i] - yData[i]);
  } else {
    std::fprintf(fp, "      X[i]      Y[i]");
    std::fprintf(fp, "     Y-Calc   Residual\n");
    for (int i = 0; i < numData; ++i)
      std::fprintf(fp, "%10.5g %10.5g %10.5g %10.5g\n", xData[i], yData[i], fxData[i],
                   fxData[i] - yData[i]);
  }
  std::fprintf(fp, "\n************************************************************\n");
  close_report(fp);
  return 1;
}

int write_short_results(const char *path) {
  FILE *fp = open_report(path);
  for (int i = 0; i < fitParmNum[fitFunc]; ++i)
    std::fprintf(fp, " %10.5g %10.5g\n", fitParms[i], fitStdDev[i]);
  std::fprintf(fp, " %10.5g\n", rmse);
  std::fprintf(fp, " %d\n", itCount);
  close_report(fp);
  return 1;
}
