// The run state and the message reporter.
#include "tavfit.h"

#include <cstdarg>
#include <cstdlib>

int fitFunc;
int fitMethod;
int maxIt;
int debugLevel;
std::string dataFname;
std::string outVerbFname;
std::string outShortFname;
std::string logFname;
FILE *logfp;

double fitParms[kMaxParms];
int holdConstFlag[kMaxParms];
double fitStdDev[kMaxParms];
int numParms;

double xData[kMaxData];
double yData[kMaxData];
double tData[kMaxData];
double fxData[kMaxData];
int numData;
int numDataCol;

double rmse;
int itCount;

const char *fitLabel[kCatalogueSlots];
const char *fitNote[kCatalogueSlots];
int fitParmNum[kCatalogueSlots];
const char *fitParmStr[kCatalogueSlots][kMaxParms];

void show_msg(int level, const char *text) {
  // Everything goes to standard output, so a script sees messages and reports
  // in the order they happened.
  if (level == kNote) {
    std::printf(" Note: %s\n", text);
    return;
  }
  if (level == kFatal) {
    std::printf(" Fatal Error Detected!\n");
    std::printf(" Message: %s\n", text);
    std::exit(1);
  }
  std::printf(" Warning, Error Detected!\n");
  std::printf(" Message: %s\n", text);
}

std::string format_msg(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(&text[0], text.size() + 1, fmt, again);
  va_end(again);
  return text;
}
