// The run state and the message reporter.
#include "program.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>

int fitFunc;
tavfit::Model typedModel;
int fitMethod;
int maxIt;
int debugLevel;
int strictCheck;
int sigmaMode;
std::string dataFname;
std::string outVerbFname;
std::string outShortFname;
std::string logFname;
std::string jsonFname;
std::string plotFname;
ColumnChoice tableColumns;

double fitParms[kMaxParms];
int holdConstFlag[kMaxParms];
double fitStdDev[kMaxParms];
double startParms[kMaxParms];
int numParms;
double lowerBound[kMaxParms];
double upperBound[kMaxParms];
int boundsGiven;
int fitAtBound[kMaxParms];

std::string batchFname;
std::string resultsFname;
std::string startsFname;
std::string shareNames;
std::string batchPlotDir;
int batchThreads;
int shardIndex;
int shardCount;
int resumeBatch;
int parmsOption;

std::vector<double> xData;
std::vector<double> yData;
std::vector<double> tData;
std::vector<double> fxData;
std::vector<double> sData;
int numData = kUnsetMarker;
int numDataCol;

double rmse;
int itCount;
double fitCovar[kMaxParms][kMaxParms];
tavfit::Termination fitTermination;
tavfit::Check fitCheck;

const char *fitLabel[kCatalogueSlots];
const char *fitNote[kCatalogueSlots];
int fitParmNum[kCatalogueSlots];
const char *fitParmStr[kCatalogueSlots][kMaxParms];

namespace {

std::vector<FatalHook> fatalHooks;
std::vector<RunMessage> messages;

std::string vformat(const char *fmt, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, fmt, args);
  // An empty text still has room for the terminating zero vsnprintf writes.
  std::string text(static_cast<size_t>(std::max(length, 0)), '\0');
  std::vsnprintf(&text[0], text.size() + 1, fmt, again);
  va_end(again);
  return text;
}

}  // namespace

void show_msg(int level, const char *text) {
  // Everything goes to standard output, so a script sees messages and reports
  // in the order they happened.
  if (level == kFatal) fatal(text);
  if (level == kNote) {
    std::printf(" Note: %s\n", text);
  } else {
    std::printf(" Warning, Error Detected!\n");
    std::printf(" Message: %s\n", text);
  }
  messages.push_back({level == kNote ? kNote : kWarning, text});
}

void fatal(const std::string &text) {
  std::printf(" Fatal Error Detected!\n");
  std::printf(" Message: %s\n", text.c_str());
  exit_failed(text);
}

void exit_failed(const std::string &text) {
  run_fatal_hooks(text);
  std::exit(1);
}

void run_fatal_hooks(const std::string &text) {
  for (FatalHook hook : fatalHooks) hook(text);
}

void fatal_fmt(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = vformat(fmt, args);
  va_end(args);
  fatal(text);
}

void add_fatal_hook(FatalHook hook) { fatalHooks.push_back(hook); }

const std::vector<RunMessage> &run_messages() { return messages; }

void clear_run_messages() { messages.clear(); }

std::string format_msg(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = vformat(fmt, args);
  va_end(args);
  return text;
}
