// The command line, the program entry and the run driver.
#include "methods.h"
#include "numfmt.h"
#include "program.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Checks now that an output file can be written, so that a bad path is
// reported before any work is done.  Nothing is created or emptied: the file
// is replaced whole when its text is ready, and stays as it was if the run
// fails.
void test_open(const std::string &name) {
  if (!can_write_output(name)) fatal_fmt("Unable to open output file '%s'.", name.c_str());
}

// True when nothing but white space is left at `at`.
bool only_blanks(const char *at) {
  while (is_c_space(*at)) ++at;
  return *at == '\0';
}

// Values are read by their leading number alone, as atoi and atof read them,
// so 1e3 gives an -itmax of 1: say what a value that is not wholly a number
// was read as.
void warn_read_as(const char *value, const std::string &read) {
  show_msg(kWarning, format_msg("Value '%s' read as %s.", value, read.c_str()).c_str());
}

// Reads a decimal integer as atoi does, but clamps out-of-range values
// instead of leaving them undefined.
int read_int(const char *word) {
  char *end;
  const long value = std::strtol(word, &end, 10);
  const int clamped =
      value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
  if (end == word || !only_blanks(end)) warn_read_as(word, std::to_string(clamped));
  return clamped;
}

// Edits (letters changed, added or dropped, letter case aside) that turn a
// into b; at most limit + 1 is reported.
int edit_distance(const std::string &a, const std::string &b, int limit) {
  const int m = static_cast<int>(a.size()), n = static_cast<int>(b.size());
  if (std::abs(m - n) > limit) return limit + 1;
  auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
  std::vector<int> row(n + 1);
  for (int j = 0; j <= n; ++j) row[j] = j;
  for (int i = 1; i <= m; ++i) {
    int diagonal = row[0];
    row[0] = i;
    for (int j = 1; j <= n; ++j) {
      const int above = row[j];
      const int change = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + change});
      diagonal = above;
    }
  }
  return std::min(row[n], limit + 1);
}

// The option a misspelt word most likely meant, or nullptr.  The leading
// dashes do not count; the letters may differ by one edit in a name of two
// to four letters, by two in a longer one, and only in case in a name of one
// letter (any letter is one edit from -d, -o and -h).  A word without a
// leading dash is no option at all.
const OptionInfo *nearest_option(const char *word) {
  if (word[0] != '-') return nullptr;
  const auto dashes = [](const char *text) { return std::strspn(text, "-"); };
  const std::string letters = word + dashes(word);
  const OptionInfo *best = nullptr;
  int bestCost = INT_MAX;
  for (int k = 0; k < option_count(); ++k) {
    const OptionInfo &option = option_at(k);
    const std::string name = option.word + dashes(option.word);
    const int limit = name.size() <= 1 ? 0 : name.size() <= 4 ? 1 : 2;
    const int distance = edit_distance(letters, name, limit);
    if (distance > limit) continue;
    // Of two names as near, the one with as many dashes: --Help is --help.
    const int cost = 2 * distance + (dashes(word) == dashes(option.word) ? 0 : 1);
    if (cost < bestCost) best = &option, bestCost = cost;
  }
  return best;
}

bool takes_value(const char *word) {
  const OptionInfo *option = find_option(word);
  return option != nullptr && option->value != nullptr;
}

bool has_word(int argc, char **argv, const char *word) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], word) == 0) return true;
  return false;
}

// Looks at the file names of the whole command line before any output file
// is written, so that no order of the options can overwrite the data file or
// have one output replace another.  A JSON file named on the command line
// receives a failure document from here on, whatever ends the run.
void check_file_options(int argc, char **argv) {
  const bool batch = has_word(argc, argv, "-batch");
  std::string data;
  // The last value of each written output: -o, -short, -json, -plot.
  std::vector<std::string> written(4);
  std::vector<std::string> outputs;
  const char *kWritten[4] = {"-o", "-short", "-json", "-plot"};
  for (int i = 1; i + 1 < argc; ++i) {
    if (!takes_value(argv[i])) continue;
    const std::string option = argv[i];
    const char *value = argv[++i];
    if (option == "-d" || option == "-batch") data = value;
    // With -batch, -plot names a folder of plots, which is looked at later.
    if (option == "-plot" && batch && ends_with(value, "/") && !has_word(argc, argv, "-share"))
      continue;
    for (int k = 0; k < 4; ++k)
      if (option == kWritten[k]) written[k] = value;
    if (option == "-o" || option == "-short" || option == "-log" || option == "-json" ||
        option == "-plot" || option == "-results")
      outputs.push_back(value);
  }
  dataFname = data;  // for the failure document of a check that fails here
  if (!written[2].empty()) watch_failures_for_json(written[2], data);
  check_output_names(data, outputs, written);
}

// Help-text order.  A row without help text is an alias of the row before it.
const OptionInfo kOptions[] = {
    {"-d", "FILE", "the curve data file (format below)"},
    {"-columns", "COLUMNS", "-d is a table (CSV): x=COL,y=COL[,x2=COL][,sigma=COL]"},
    {"-fit", "KEYWORD", "the model to fit; -list shows the keywords"},
    {"-model", "FORMULA", "fit a formula of x (and x2) instead: \"A*exp(-x/tau) + C\""},
    {"-parms", "LIST", "start values in parameter order, as 900:=2:1 (=v holds)"},
    {"-o", "FILE", "verbose report to FILE, not to standard output"},
    {"-short", "FILE", "short report to FILE, not to standard output"},
    {"-json", "FILE", "every result by name, at full precision, to a JSON file"},
    {"-plot", "FILE", "plot data, fit, residuals: .svg .png .pdf, .gp script"},
    {"-itmax", "N", "iteration limit (default 500)"},
    {"-lower", "LIST", "lower bounds in -parms order, as 0::1 (empty: none)"},
    {"-upper", "LIST", "upper bounds in -parms order, as ::5"},
    {"-sigma", nullptr, "fit with each point's SD, the column after Y (X2)"},
    {"-sigma-absolute", nullptr, "as -sigma, the SDs known absolutely: no scaling"},
    {"-batch", "TABLE", "fit every curve of TABLE (-columns curve=COL,...)"},
    {"-results", "FILE", "-batch: one row per curve to FILE: .tsv .csv .jsonl"},
    {"-starts", "FILE", "-batch: start values per curve (curve, NAME, ...)"},
    {"-threads", "N", "-batch: fit on N threads (default: every core)"},
    {"-shard", "K/N", "-batch: fit only the K-th of N interleaved parts"},
    {"-resume", nullptr, "-batch: skip the curves already in the results"},
    {"-share", "NAMES", "-batch: all curves in one fit, NAMES (as Tm:dH) shared"},
    // Here the methods' own options, from the table of the methods.
    {"-log", "FILE", "create FILE empty (nothing is written to it)"},
    {"-strict", nullptr, "an answer that is not the least-squares fit is fatal"},
    {"-debug", nullptr, "accepted; changes nothing"},
    {"-list", nullptr, "list the models: keyword, parameters, X2, label"},
    {"-describe", "KEYWORD", "a model in full: formula, meanings, units, example"},
    {"-h", nullptr, "print this help and exit"},
    {"-help", nullptr, nullptr},
    {"--help", nullptr, nullptr},
    {"-version", nullptr, "print the version and the LAPACK/BLAS in use"},
    {"--version", nullptr, nullptr},
};

// The option rows in help-text order, the methods' rows after -itmax.
const std::vector<OptionInfo> &options() {
  static const std::vector<OptionInfo> all = [] {
    std::vector<OptionInfo> rows;
    for (const OptionInfo &option : kOptions) {
      if (std::strcmp(option.word, "-log") == 0)
        for (int k = 0; k < kMethodCount; ++k)
          rows.push_back({kMethods[k].option, nullptr, kMethods[k].help});
      rows.push_back(option);
    }
    return rows;
  }();
  return all;
}

const MethodRow *method_of_option(const char *word) {
  for (int k = 0; k < kMethodCount; ++k)
    if (std::strcmp(word, kMethods[k].option) == 0) return &kMethods[k];
  return nullptr;
}

// The information words answer from the catalogue alone, so they are looked
// for before any option takes effect: such a run creates, empties and reads no
// file.  The first one on the command line decides; a word taken as the value
// of the option before it is no option word.
void answer_information_word(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    const OptionInfo *option = find_option(word);
    if (option == nullptr) continue;
    auto is = [word](const char *name) { return std::strcmp(word, name) == 0; };
    if (is("-h") || is("-help") || is("--help")) print_help();
    if (is("-version") || is("--version")) print_version();
    if (is("-list")) print_list();
    if (is("-describe")) {
      if (i + 1 >= argc) fatal_fmt("Missing value for option '%s'.", word);
      const char *value = argv[i + 1];
      const int id = get_fit_func(value);
      if (id >= 0) print_description(id);
      // A word of letters alone is a keyword that is not one, not a formula.
      if (value[std::strspn(value, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_")] ==
          '\0')
        fatal("Unable to determine the Fitting function to use.");
      read_formula(value);
      print_formula_description(typedModel);
    }
    if (option->value != nullptr) ++i;
  }
}

}  // namespace

int read_parms(const char *word, double *values, int *hold) {
  int k = 0;
  int given = 0;
  const char *field = word;
  while (*field != '\0') {
    const char *end = std::strchr(field, ':');
    const size_t length = end != nullptr ? static_cast<size_t>(end - field) : std::strlen(field);
    if (length > 0) ++given;
    if (length > 0 && k < kMaxParms) {
      const std::string text(field, length);
      const bool held = text[0] == '=';
      hold[k] = held ? 1 : 0;
      const char *number = text.c_str() + (held ? 1 : 0);
      char *end;
      values[k] = std::strtod(number, &end);  // as atof reads it
      // "=" alone holds at 0.
      if (*number != '\0' && (end == number || !only_blanks(end)))
        warn_read_as(text.c_str(), format_msg("%g", values[k]));
      ++k;
    }
    if (end == nullptr) break;
    field = end + 1;
  }
  return given;
}

int read_bounds(const char *option, const char *word, double *values, double open) {
  int k = 0;
  const char *field = word;
  for (;;) {
    const char *end = std::strchr(field, ':');
    const size_t length = end != nullptr ? static_cast<size_t>(end - field) : std::strlen(field);
    if (k < kMaxParms) {
      const std::string text(field, length);
      values[k] = open;
      if (!only_blanks(text.c_str())) {
        char *stop;
        values[k] = std::strtod(text.c_str(), &stop);
        // A bound read as some other number would steer the fit unseen.
        if (stop == text.c_str() || !only_blanks(stop) || std::isnan(values[k]))
          fatal_fmt("The field '%s' of %s is not a number.", text.c_str(), option);
      }
    }
    ++k;
    if (end == nullptr) break;
    field = end + 1;
  }
  return k;
}

const OptionInfo *find_option(const char *word) {
  for (const OptionInfo &option : options())
    if (std::strcmp(word, option.word) == 0) return &option;
  return nullptr;
}

int option_count() { return static_cast<int>(options().size()); }

const OptionInfo &option_at(int index) { return options()[index]; }

namespace {

// A whole number in [low, high], as the option's value; anything else is fatal.
int read_whole_number(const char *option, const char *value, int low, int high) {
  char *end;
  errno = 0;
  const long n = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || errno != 0 || n < low || n > high)
    fatal_fmt("%s needs a whole number from %d to %d, not '%s'.", option, low, high, value);
  return static_cast<int>(n);
}

void read_shard(const char *value) {
  int k = 0, n = 0, used = 0;
  if (std::sscanf(value, "%d/%d%n", &k, &n, &used) != 2 || value[used] != '\0' || n < 1 ||
      k < 1 || k > n)
    fatal_fmt("-shard needs K/N with 1 <= K <= N, as 2/8, not '%s'.", value);
  shardIndex = k;
  shardCount = n;
}

// -plot with -batch names a folder, written with its '/'.
bool batch_plot_folder(int argc, char **argv, const char *value) {
  // A global fit draws all its curves on one page: -plot names a file.
  if (!has_word(argc, argv, "-batch") || has_word(argc, argv, "-share")) return false;
  if (!ends_with(value, "/"))
    fatal_fmt("With -batch, -plot names a folder for one plot per curve, written with a final "
              "'/': '%s/'.",
              value);
  return true;
}

// The options of one curve and those of many do not mix.
void check_batch_options(int argc, char **argv) {
  const char *batchOnly[] = {"-results", "-starts", "-threads", "-shard", "-resume", "-share"};
  if (batchFname.empty()) {
    for (const char *word : batchOnly)
      if (has_word(argc, argv, word)) fatal_fmt("%s needs -batch.", word);
    if (tableColumns.curve.given()) fatal("-columns curve=COL needs -batch.");
    return;
  }
  const bool global = !shareNames.empty();
  for (const char *word : {"-d", "-o", "-short", "-json"})
    if (has_word(argc, argv, word) && !(global && std::strcmp(word, "-json") == 0))
      fatal_fmt("%s does not go with -batch: the results file holds every curve.", word);
  if (global)
    for (const char *word : {"-shard", "-resume"})
      if (has_word(argc, argv, word))
        fatal_fmt("%s does not go with -share: a global fit takes every curve at once.", word);
  if (!tableColumns.curve.given() || !tableColumns.x.given())
    fatal("-batch needs -columns with a curve column: curve=COL,x=COL,y=COL.");
  if (resultsFname.empty()) fatal("-batch needs -results FILE (.tsv, .csv or .jsonl).");
  ResultsFormat format;
  struct stat info;
  const bool device = stat(resultsFname.c_str(), &info) == 0 &&
                      (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode));
  if (!results_format(resultsFname, &format) && !device)
    fatal_fmt("The results file '%s' must end in .tsv, .csv or .jsonl.", resultsFname.c_str());
  if (run_entry().x2.meaning != nullptr && !tableColumns.x2.given())
    fatal_fmt("%s needs an x2 column: add x2=COL to -columns.", model_name().c_str());
}

}  // namespace

int get_args(int argc, char **argv) {
  answer_information_word(argc, argv);
  fitMethod = kMethodTavrin;
  debugLevel = 0;
  maxIt = 500;
  fitFunc = -1;
  check_file_options(argc, argv);

  int parmsGiven = 0;
  std::fill(lowerBound, lowerBound + kMaxParms, -INFINITY);
  std::fill(upperBound, upperBound + kMaxParms, INFINITY);
  for (int i = 1; i < argc; ++i) {
    const char *option = argv[i];
    auto is = [option](const char *name) { return std::strcmp(option, name) == 0; };
    if (is("-debug")) {
      debugLevel = 1;
      continue;
    }
    if (is("-strict")) {
      strictCheck = 1;
      continue;
    }
    if (is("-resume")) {
      resumeBatch = 1;
      continue;
    }
    if (is("-sigma") || is("-sigma-absolute")) {
      sigmaMode = is("-sigma") ? kSigmaRelative : kSigmaAbsolute;
      continue;
    }
    if (const MethodRow *method = method_of_option(option)) {
      fitMethod = method_code(method->method);
      continue;
    }
    if (find_option(option) == nullptr) {
      // Skipped as before, but a misspelt option should not go unnoticed.
      if (const OptionInfo *meant = nearest_option(option))
        show_msg(kWarning, format_msg("Unknown option '%s' ignored; did you mean '%s'?", option,
                                      meant->word)
                               .c_str());
      else
        show_msg(kWarning, format_msg("Unknown option '%s' ignored.", option).c_str());
      continue;
    }
    if (!takes_value(option)) continue;
    if (i + 1 >= argc) fatal_fmt("Missing value for option '%s'.", option);
    const char *value = argv[++i];
    if (is("-d")) {
      dataFname = value;
    } else if (is("-columns")) {
      std::string error;
      if (!parse_columns(value, &tableColumns, &error)) fatal(error);
    } else if (is("-o")) {
      outVerbFname = value;
      test_open(outVerbFname);
    } else if (is("-short")) {
      outShortFname = value;
      test_open(outShortFname);
    } else if (is("-log")) {
      logFname = value;
      test_open(logFname);
    } else if (is("-json")) {
      test_open(value);
    } else if (is("-plot") && batch_plot_folder(argc, argv, value)) {
      batchPlotDir = value;
    } else if (is("-plot")) {
      check_plot_name(value);  // before any work: an unknown form wastes the whole fit
      plotFname = value;
      test_open(plotFname);
    } else if (is("-fit")) {
      fitFunc = get_fit_func(value);
    } else if (is("-model")) {
      read_formula(value);
      fitFunc = kFormulaFunc;
    } else if (is("-itmax")) {
      maxIt = read_int(value);
    } else if (is("-parms")) {
      parmsGiven = read_parms(value, fitParms, holdConstFlag);
      parmsOption = 1;
    } else if (is("-batch")) {
      batchFname = value;
    } else if (is("-results")) {
      resultsFname = value;
      test_open(resultsFname);
    } else if (is("-starts")) {
      startsFname = value;
    } else if (is("-threads")) {
      batchThreads = read_whole_number(option, value, 1, 4096);
    } else if (is("-share")) {
      if (*value == '\0' || value[std::strlen(value) - 1] == ':' || std::strstr(value, "::"))
        fatal_fmt("-share needs parameter names separated by ':', as Dconst or Tm:dH, not '%s'.",
                  value);
      shareNames = value;
    } else if (is("-shard")) {
      read_shard(value);
    } else if (is("-lower")) {
      read_bounds(option, value, lowerBound, -INFINITY);
      boundsGiven = 1;
    } else if (is("-upper")) {
      read_bounds(option, value, upperBound, INFINITY);
      boundsGiven = 1;
    }
  }
  if (sigmaMode != kSigmaNone && tableColumns.x.given() && !tableColumns.sigma.given())
    fatal_fmt("%s needs a sigma column: add sigma=COL to -columns.",
              sigmaMode == kSigmaAbsolute ? "-sigma-absolute" : "-sigma");
  if (fitFunc < 0) fatal("Unable to determine the Fitting function to use.");
  if (fitFunc == kFormulaFunc && !typedModel.uses_x)
    show_msg(kWarning, format_msg("The formula does not use x: it fits one value to every point.\n   %s",
                                  typedModel.label.c_str())
                           .c_str());
  fill_catalogue();
  refresh_pending_json();
  check_batch_options(argc, argv);
  if (parmsGiven < fitParmNum[fitFunc] && startsFname.empty())
    show_msg(kWarning, format_msg("%d start values given for %d parameters; the others start at 0.",
                                  parmsGiven, fitParmNum[fitFunc])
                           .c_str());
  return 0;
}

int do_fit() {
  std::copy(fitParms, fitParms + kMaxParms, startParms);
  if (fitMethod == kMethodLevmar) {
    do_levmar();
  } else if (fitMethod == kMethodCeres) {
    do_ceres();
  } else {
    do_iterations(fitParms, fitStdDev);
    set_results();
  }
  compute_results();  // the residuals and figures every writer reads
  write_verb_results(outVerbFname.c_str());
  write_short_results(outShortFname.c_str());
  // The JSON result is written last: once it says "ok", nothing of the run is
  // left to fail but standard output itself.  A plot that fails still leaves
  // every figure in the failure document.
  if (!jsonFname.empty()) compose_json();
  if (!plotFname.empty()) write_plot(plotFname.c_str());
  if (!jsonFname.empty()) write_json(jsonFname.c_str());
  return 0;
}

#ifndef TAVFIT_NO_MAIN
int main(int argc, char **argv) {
  guard_standard_output();
  get_args(argc, argv);
  if (!batchFname.empty()) return shareNames.empty() ? run_batch() : run_global();
  init_vars();
  return do_fit();
}
#endif
