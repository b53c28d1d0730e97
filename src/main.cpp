// The command line, the program entry and the run driver.
#include "tavfit.h"

#include <cstdlib>
#include <cstring>

namespace {

// Creates (or empties) an output file now, so that a bad path is reported
// before any work is done.
void test_open(const std::string &name) {
  FILE *fp = std::fopen(name.c_str(), "w");
  if (fp == nullptr)
    show_msg(kFatal, format_msg("Unable to open output file '%s'.", name.c_str()).c_str());
  std::fclose(fp);
}

// Reads a decimal integer as atoi does, but clamps out-of-range values
// instead of leaving them undefined.
int read_int(const char *word) {
  const long value = std::strtol(word, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// "-parms" word: fields separated by ':', empty fields dropped; "=v" holds
// the parameter at v.  Fields beyond the last parameter slot are ignored.
void read_parms(const char *word) {
  int k = 0;
  const char *field = word;
  while (*field != '\0' && k < kMaxParms) {
    const char *end = std::strchr(field, ':');
    const size_t length = end != nullptr ? static_cast<size_t>(end - field) : std::strlen(field);
    if (length > 0) {
      const std::string text(field, length);
      const bool hold = text[0] == '=';
      holdConstFlag[k] = hold ? 1 : 0;
      fitParms[k] = std::atof(text.c_str() + (hold ? 1 : 0));
      ++k;
    }
    if (end == nullptr) break;
    field = end + 1;
  }
}

}  // namespace

int get_args(int argc, char **argv) {
  fitMethod = kMethodTavrin;
  debugLevel = 0;
  maxIt = 500;
  fitFunc = -1;

  for (int i = 1; i < argc; ++i) {
    const char *option = argv[i];
    auto is = [option](const char *name) { return std::strcmp(option, name) == 0; };
    if (is("-debug")) {
      debugLevel = 1;
      continue;
    }
    if (is("-levmar")) {
      fitMethod = kMethodLevmar;
      continue;
    }
    if (is("-ceres")) {
      fitMethod = kMethodCeres;
      continue;
    }
    if (is("-tavrin")) {
      fitMethod = kMethodTavrin;
      continue;
    }
    const bool takesValue = is("-d") || is("-o") || is("-short") || is("-log") || is("-fit") ||
                            is("-itmax") || is("-parms");
    if (!takesValue) continue;  // unknown words are skipped silently
    if (i + 1 >= argc)
      show_msg(kFatal, format_msg("Missing value for option '%s'.", option).c_str());
    const char *value = argv[++i];
    if (is("-d")) {
      dataFname = value;
    } else if (is("-o")) {
      outVerbFname = value;
      test_open(outVerbFname);
    } else if (is("-short")) {
      outShortFname = value;
      test_open(outShortFname);
    } else if (is("-log")) {
      logFname = value;
      test_open(logFname);
    } else if (is("-fit")) {
      fitFunc = get_fit_func(value);
    } else if (is("-itmax")) {
      maxIt = read_int(value);
    } else {
      read_parms(value);
    }
  }
  if (fitFunc < 0) show_msg(kFatal, "Unable to determine the Fitting function to use.");
  return 0;
}

int do_fit() {
  if (fitMethod == kMethodLevmar) {
    do_levmar();
  } else if (fitMethod == kMethodCeres) {
    do_ceres();
  } else {
    do_iterations(fitParms, fitStdDev);
    set_results();
  }
  write_verb_results(outVerbFname.c_str());
  write_short_results(outShortFname.c_str());
  return 0;
}

#ifndef TAVFIT_NO_MAIN
int main(int argc, char **argv) {
  get_args(argc, argv);
  init_vars();
  return do_fit();
}
#endif
