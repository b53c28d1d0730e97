// The tavfit program: one curve data file, one fit, the reports.
//
// The program is a handful of procedural modules over one process-wide run
// state, declared here, on top of the library (include/tavfit/tavfit.h),
// which does the fitting.  A run passes through four phases, in this order:
// the command line (get_args), set-up and data loading (init_vars), the fit
// (do_fit: TAVRIN, levmar or Ceres, each turning the run state into a
// problem for the library and its result back) and the reports.  Every
// message goes through show_msg; a fatal one ends the process with exit
// status 1.
#pragma once

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <tavfit/tavfit.h>

#include "catalogue.h"

// ---------------------------------------------------------------------------
// Limits of the run state.
constexpr int kMaxData = 1500;      // data points per curve data file (tables: no limit)
constexpr int kMinData = 2;
constexpr int kCatalogueSlots = 50; // catalogue slots; ids 0..kNumFitFuncs-1 are used
constexpr int kNumFitFuncs = 35;
constexpr int kUnsetMarker = INT_MIN;  // numData before the data file is loaded
// fitFunc of a formula typed with -model: the catalogue slot after the
// built-in models, filled from the formula.
constexpr int kFormulaFunc = kNumFitFuncs;

// Fitting methods (fitMethod).
constexpr int kMethodLevmar = 0;
constexpr int kMethodTavrin = 1;
constexpr int kMethodCeres = 2;

// Per-point standard deviations (sigmaMode).
constexpr int kSigmaNone = 0;
constexpr int kSigmaRelative = 1;  // the covariance is scaled by the reduced chi-square
constexpr int kSigmaAbsolute = 2;  // the covariance is taken as it is

// Message levels of show_msg.
constexpr int kFatal = 0;
constexpr int kWarning = 1;
constexpr int kNote = 2;

// ---------------------------------------------------------------------------
// Run state.  Zero at process start (numData: kUnsetMarker); get_args gives
// the options their start values before it reads the command line.

// Options and files (command line).
extern int fitFunc;       // fit-function id 0..34, kFormulaFunc (-model), -1 = none chosen
extern tavfit::Model typedModel;  // -model: the formula as parsed (no program without)
extern int fitMethod;     // kMethodLevmar, kMethodTavrin or kMethodCeres
extern int maxIt;         // iteration limit handed to the fitting method
extern int debugLevel;    // set by -debug; nothing depends on it
extern int strictCheck;   // set by -strict: an answer that is not the minimum is fatal
extern int sigmaMode;     // kSigmaNone, or -sigma's kSigmaRelative, -sigma-absolute's kSigmaAbsolute
extern std::string dataFname;      // -d
extern std::string outVerbFname;   // -o
extern std::string outShortFname;  // -short
extern std::string logFname;       // -log: created empty; nothing is written to it
extern std::string jsonFname;      // -json
extern std::string plotFname;      // -plot

// Parameters, in the order of the catalogue's parameter labels.
extern double fitParms[kMaxParms];   // start values in, fitted values out
extern int holdConstFlag[kMaxParms]; // 1 = held at its start value, 0 = free
extern double fitStdDev[kMaxParms];
extern double startParms[kMaxParms]; // the start values, kept by do_fit before the fit
extern int numParms;                 // fitParmNum[fitFunc]
// -lower and -upper: the bounds of each parameter (-inf and inf where open),
// boundsGiven when either option was given; fitAtBound: 1 where the fitted
// value ends at one.
extern double lowerBound[kMaxParms];
extern double upperBound[kMaxParms];
extern int boundsGiven;
extern int fitAtBound[kMaxParms];

// Data points, in file order, numData of each once loaded.
extern std::vector<double> xData;
extern std::vector<double> yData;
extern std::vector<double> tData;   // second abscissa X2; 0.0 where a line has none
extern std::vector<double> fxData;  // model values at the fitted parameters
extern std::vector<double> sData;   // standard deviation of each point; empty without -sigma
extern int numData;                 // 2 and up, kUnsetMarker until loaded
extern int numDataCol;           // 2 (X Y) or 3 (X Y X2)

// Results of the fit.
extern double rmse;   // sqrt(sum of squared residuals / numData)
extern int itCount;   // iterations made by the fitting method

// Covariance of the free parameters, in free-parameter order (held slots left
// out), as the method's standard deviations come from it: TAVRIN the inverse
// normal matrix times s0^2, levmar the solver's covariance.  NaN where the
// method produced none (TAVRIN stopped before its first update).
extern double fitCovar[kMaxParms][kMaxParms];

// Why the fitting method stopped, as the method said it; recorded = false
// until a method has run.
extern tavfit::Termination fitTermination;
// The check of the answer against the least-squares minimum; done = false
// until a fit has been checked.
extern tavfit::Check fitCheck;

// Fit-function catalogue, indexed by id; filled by init_vars.
extern const char *fitLabel[kCatalogueSlots];
extern const char *fitNote[kCatalogueSlots];
extern int fitParmNum[kCatalogueSlots];
extern const char *fitParmStr[kCatalogueSlots][kMaxParms];

// ---------------------------------------------------------------------------
// util: messages.

// Prints a message on standard output.  Level kNote: " Note: <text>".
// Level kFatal: " Fatal Error Detected!" and " Message: <text>", then the
// process exits with status 1.  Any other level is a warning:
// " Warning, Error Detected!" and " Message: <text>", and show_msg returns.
void show_msg(int level, const char *text);

// printf-style formatting into a string that always holds the whole text.
std::string format_msg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Prints a fatal message as show_msg(kFatal, ...) does, runs the fatal hooks
// in the order they were added, then exits with status 1.  A hook that throws
// unwinds out of fatal (the fuzz targets use this to survive fatal paths).
[[noreturn]] void fatal(const std::string &text);
[[noreturn]] void fatal_fmt(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Ends the run as fatal does, but prints nothing: for a failure the caller has
// already reported (as a warning) in its own words.
[[noreturn]] void exit_failed(const std::string &text);
// Runs the fatal hooks with text, for a failure found where the process
// cannot go through exit_failed (an exit handler).
void run_fatal_hooks(const std::string &text);

// Called with the fatal text after it is printed and before the exit, so that
// a writer can leave a record of the failure.
using FatalHook = void (*)(const std::string &text);
void add_fatal_hook(FatalHook hook);

// Every warning and note the run printed, in order, as (level, text).
struct RunMessage {
  int level;  // kWarning or kNote
  std::string text;
};
const std::vector<RunMessage> &run_messages();
// Forgets the record, for drivers that run many inputs in one process (the
// fuzz targets).
void clear_run_messages();

// ---------------------------------------------------------------------------
// main: command line and run driver.

// Reads the command line into the run state; ends the run with a fatal
// message when it cannot lead to a fit.  Output files named by -o, -short and
// -log are created (or emptied) as they are read.  Returns 0.
int get_args(int argc, char **argv);

// Reads a "-parms" word into values and hold flags: fields separated by ':',
// empty fields dropped, field k for slot k, "=v" holding the slot at v, each
// number read as atof reads it, with a warning for a field that is not
// wholly a number.  Slots after the last field keep what they had; fields
// beyond the kMaxParms slots are ignored.  Returns the number of non-empty
// fields, those beyond the slots included.
int read_parms(const char *word, double *values, int *hold);

// Reads -lower or -upper (option): fields in -parms order separated by ':',
// each a number, or empty for open (open is written there); any other field
// is fatal.  Returns the number of fields.
int read_bounds(const char *option, const char *word, double *values, double open);

// Runs the chosen fitting method, then writes the verbose and short reports.
int do_fit();

// One option word of the command line, as the help text shows it.
struct OptionInfo {
  const char *word;
  const char *value;  // the name of its value in the help text; nullptr: takes no value
  const char *help;   // its help line; nullptr: an alias of the option listed before it
};

// The option words, in help-text order; nullptr when word is no option.
const OptionInfo *find_option(const char *word);
int option_count();
const OptionInfo &option_at(int index);

// ---------------------------------------------------------------------------
// help: the information words.  Each prints on standard output from the
// catalogue and the option table alone, then ends the process with status 0
// (1, with a message on standard error, when standard output cannot be written).

[[noreturn]] void print_help();                // -h, -help, --help
[[noreturn]] void print_version();             // -version, --version
[[noreturn]] void print_list();                // -list
[[noreturn]] void print_description(int id);   // -describe KEYWORD
[[noreturn]] void print_formula_description(const tavfit::Model &model);  // -describe "EXPR"

// The texts behind them, for tests and for the manual page.
std::string help_text();
std::string list_text();
std::string description_text(int id);
std::string formula_description_text(const tavfit::Model &model);

// ---------------------------------------------------------------------------
// init: catalogue and run set-up.

// Id of the fit-function keyword equal to word (exact, case-sensitive), or -1.
int get_fit_func(const char *word);

// Fills the catalogue arrays (fitLabel, fitNote, fitParmNum, fitParmStr),
// slot kFormulaFunc from typedModel.
void fill_catalogue();

// The run's model: the built-in one, or the typed formula; and its catalogue
// row (for a formula: its label, parameter labels and whether it uses X2,
// with neither meanings nor units).
tavfit::Model run_model();
const CatalogueEntry &run_entry();
// "T1_RELAX", or "The formula": the model as messages name it.
std::string model_name();

// Reads a -model formula into typedModel; a formula that cannot be parsed is
// fatal, shown with a caret under the place.  Warns when it does not use x.
void read_formula(const char *text);
// A fault of a formula: the message, then the formula with a caret under
// the column.
std::string formula_fault_text(const std::string &formula, const tavfit::FormulaError &fault);

// The parameter name of a report label: "Vo(1)....:" gives "Vo(1)".
std::string parm_name(const char *label);

// Fills the catalogue, sets numParms and loads the data file into the run
// state; exits with status 1 when the data file cannot be opened, or holds
// no X2 for a model that needs it.
void init_vars();

// ---------------------------------------------------------------------------
// io: curve data file and reports.

// Scans one data line (at most three numbers, then two words of at most 255
// characters) and returns the number of fields converted, -1 for none.
// numbersEnd, when given, receives the end of the last number converted.
int scan_data_line(const char *line, double *x, double *y, double *x2,
                   const char **numbersEnd = nullptr);

// Reads up to kMaxData points of a curve data file into x, y and x2.  Lines
// of up to 1 MiB are read whole, a leading UTF-8 byte order mark is skipped,
// and skipped lines holding comma- or semicolon-separated numbers (a data
// line whose number runs into ",25" included) are counted in one warning.
// Returns 1 with the point count and the number of data columns (2 or 3), or
// 0 after a warning when the file cannot be opened or read (a directory
// included).  hasX2, when given, receives whether the points carry X2: the
// lines hold three numbers, as 4-field lines of two data columns do too.
// Every other error, a longer line, a NUL byte, UTF-16 text or a value that
// is not a finite number among them, is fatal.
//
// With sigma, each line also holds the point's standard deviation, in the
// column after Y, or after X2 when sigmaAfterX2, into sigma: a line without
// one, or with one that is not a positive finite number, is fatal.
int read_crv_data(const char *path, double *x, double *y, double *x2,
                  int *count, int *columns, bool *hasX2 = nullptr, double *sigma = nullptr,
                  bool sigmaAfterX2 = false);

// Refuses a line of the data file that is not UTF-8 text: UTF-16 (its byte
// order mark on line 1, or a NUL at every other byte) or a NUL byte, as fatal
// errors.  Returns where the line's text starts: after a UTF-8 byte order mark
// on line 1.
char *checked_text_line(char *line, size_t length, int lineNumber);

// ---------------------------------------------------------------------------
// table: spreadsheet tables (-columns), CSV and the like.

// One column of a table, by its header name or by its number.
struct ColumnRef {
  std::string name;  // exact header name, blanks around it and quotes removed
  int number = 0;    // counted from 1; 0 when chosen by name or not chosen
  bool given() const { return number > 0 || !name.empty(); }
};

// The columns -columns chooses: x and y always, x2 and sigma when given, and
// with -batch the curve each row belongs to.
struct ColumnChoice {
  ColumnRef x, y, x2, sigma, curve;
};

// The run's -columns, read by get_args: the data file is a table when x is
// given.
extern ColumnChoice tableColumns;

// Reads a -columns list, "x=delay,y=2[,x2=COLUMN][,sigma=COLUMN]": a value of
// digits is a column number, any other a header name, which may be quoted as
// in the table ("" for a quote).  Empty entries are dropped.  Returns false
// with the message to show in *error when the list is malformed.
bool parse_columns(const char *choice, ColumnChoice *out, std::string *error);

// The points of a table, in file order; x2 is 0.0 without an x2 column and
// sigma is empty without a sigma column.
struct TableData {
  std::vector<double> x, y, x2, sigma;
};

// Reads the columns of choice from a table of any length: fields separated by
// commas, semicolons, tabs or blanks (found from the first row), quoted as in
// RFC 4180, a header row when a chosen field of the first row is not a
// number; '#' comment lines, blank lines, CRLF and a UTF-8 byte order mark
// allowed.  Returns false after a warning when the file cannot be opened or
// read, as read_crv_data does; every other fault, a value that is not a
// finite number or fewer than kMinData points among them, is fatal.
bool read_table(const char *path, const ColumnChoice &choice, TableData *out);

// One row of a table: x, y, x2 (0.0 without that column), sigma (0.0
// without), and the text of the curve column (unchanged without one).
struct TableRow {
  double x = 0.0, y = 0.0, x2 = 0.0, sigma = 0.0;
  std::string curve;
};

// A table read row by row, as read_table reads it, through a buffer of a few
// lines: a table of any length, a pipe too, streams through.
class TableReader {
 public:
  TableReader();
  ~TableReader();
  // False after the warning "Unable to open file" when path cannot be opened
  // or is a folder.
  bool open(const char *path, const ColumnChoice &choice);
  // The next data row, false at the end; faults are fatal, naming the line
  // and the column.  Without numbers only the curve column is read.
  bool next(TableRow *row, bool numbers = true);
  // The line number of the row last read, and the bytes read up to its end.
  int line() const;
  unsigned long long position() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Fills fxData with the model at the fitted parameters and the X2 of each
// point, as the fit used them.
void set_results();

// Write the reports to path, or to standard output when it cannot be opened
// (an empty path included).  Both return 1.
int write_verb_results(const char *path);
int write_short_results(const char *path);

// ---------------------------------------------------------------------------
// outfiles: output files, output paths, standard output and signals.

// An output file written whole or not at all.  A regular file (or a name that
// does not exist yet) is written as a temporary file in the target's folder,
// which replaces the target by rename after a checked close: readers see the
// old file or the new one, never a part, and a failed run leaves the target
// as it was.  A symbolic link is followed to the file it names.  Devices and
// FIFOs are written in place, and the file standard output writes to is
// appended to through it.  Temporary files are removed when SIGINT,
// SIGTERM or SIGHUP ends the run.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  ~OutputFile();  // discards what was not committed

  // Prepares path for writing; false when neither a temporary file beside it
  // nor (for a device or FIFO) the file itself can be opened.
  bool open(const std::string &path);
  // Appends text; false once any write has failed.
  bool write(const std::string &text);
  // Where the text goes: the temporary file, or the device itself.  For a
  // program that writes the file itself (gnuplot), between open and commit.
  const std::string &write_path() const { return writePath_; }
  bool in_place() const { return inPlace_; }
  // Closes the file and renames a temporary over the target.  False when a
  // write, the close or the rename failed; the target is then as it was.
  bool commit();
  // Removes the temporary file; the target is left as it was.
  void discard();

 private:
  std::string target_;
  std::string writePath_;
  int fd_ = -1;
  bool inPlace_ = false;
  bool failed_ = false;
};

// Writes text to path whole (see OutputFile); false when it cannot.
bool write_whole_file(const std::string &path, const std::string &text);
// Whether text ends with end.
bool ends_with(const std::string &text, const std::string &end);
// Writes all of text to fd (retrying short writes); false on an error.
bool write_all(int fd, const std::string &text);
// The whole of a file; false when it cannot be opened or read.
bool read_file_text(const char *path, std::string *text);

// True when path can be written as an output file: it names no folder, and
// a file can be made beside it (or, for a device or FIFO, it is writable).
// Nothing is created or changed.
bool can_write_output(const std::string &path);

// True when path names the file (or pipe, or device) standard output writes to.
bool is_stdout_file(const char *path);
// True once standard output has been closed at exit.
bool standard_output_closed();
// True when path names a regular file or nothing yet (after symbolic
// links), and not the file standard output writes to.
bool replaceable_file(const std::string &path);
// True when a and b name one regular file, or one file not written yet.
bool same_output_file(const std::string &a, const std::string &b);

// Fatal when an output path names the data file or when two written outputs
// name the same regular file (the same device and inode, or for names that
// do not exist yet the same canonical folder and base name).  outputs lists
// every value of -o, -short, -log, -json and -plot; written holds the last
// -o, -short, -json and -plot in that order, empty where absent.
void check_output_names(const std::string &data, const std::vector<std::string> &outputs,
                        const std::vector<std::string> &written);

// Puts stand-ins on closed standard descriptors and checks at exit that
// standard output was written: "Unable to write standard output." on
// standard error and exit status 1 when it was not.  Ignores SIGPIPE, so that
// a reader that goes away is such a failed write, and makes SIGINT, SIGTERM
// and SIGHUP remove the temporary files before they end the run.
void guard_standard_output();

// Makes a temporary file from path ("...XXXXXX", filled in as mkstemp does)
// that a signal ending the run removes, as it removes the temporary files of
// OutputFile; returns its descriptor, or -1.  path must stay valid until
// forget_temp_file(path).
int make_temp_file(std::string &path);
void forget_temp_file(const char *path);

// ---------------------------------------------------------------------------
// run_fit: the fitting methods as the program runs them.  Each turns the
// run state into a problem, has the library fit it, prints what the method
// said (its notes and warnings, its solver summary, its failure, as a fatal
// message) and puts the result back into the run state: fitParms (p),
// fitStdDev (stdDev), fitCovar, fxData, rmse, itCount and fitTermination.
// Each returns 0.

int do_iterations(double *p, double *stdDev);  // TAVRIN
int do_levmar();                               // levmar, with its solver summary
int do_ceres();                                // Ceres, with its solver summary

// Stores the value of fit function id at (x, x2) with the parameters p (10
// slots, read only) in *out and returns 0.  An id outside 0..34 and the
// excluded parameter region of XY2 end the run with a fatal message.  Domain
// problems (division by zero, log of a negative number, overflow) store the
// IEEE result without a message.
int fnf(int id, double *out, double x, double x2, const double *p);

// The run state's data and parameters as a problem for the library.
tavfit::Problem run_problem();

// Derives the statistics of the fit in the run state (fitParms, fitStdDev,
// fitCovar, fxData, ...).  Call once, after the fit and before any writer.
// Non-finite figures stay NaN or infinite; writers decide how to show them.
void compute_results();
const tavfit::Statistics &fit_results();

// "TAVRIN", "LEVMAR" or "CERES".
const char *method_name(int method);
// fitMethod's code of a method, and back.
int method_code(tavfit::Method method);
tavfit::Method method_of(int method);

// ---------------------------------------------------------------------------
// json: the JSON result file.

// Sets jsonFname to path and, unless path is the data file, makes every
// ending from now on that is not a success leave a failure document there:
// a document saying the run did not finish is written at once (to a regular
// file), and a fatal ending replaces it with its own.
void watch_failures_for_json(const std::string &path, const std::string &data);
// Rewrites that first document with what the command line has set since.
void refresh_pending_json();
// Builds the result document from the run state and the results; a fatal
// ending after it writes it with status "failed", every figure kept.
void compose_json();
// Writes the result document compose_json built.  Fatal when the file
// cannot be written.
void write_json(const char *path);

// ---------------------------------------------------------------------------
// plot: data, fitted curve and residuals, drawn by gnuplot.

// Ends the run with a fatal message unless the name ends in .svg, .png, .pdf
// or .gp (in either case).
void check_plot_name(const std::string &path);
// Writes the gnuplot script (.gp), or has gnuplot draw the plot; fatal when
// gnuplot cannot be run or fails.
void write_plot(const char *path);

// ---------------------------------------------------------------------------
// batch: many curves in one run (-batch), each a problem of its own.

extern std::string batchFname;    // -batch: the table of curves
extern std::string resultsFname;  // -results
extern std::string startsFname;   // -starts: start values per curve
extern std::string batchPlotDir;  // -plot DIR/ with -batch, with its '/'
extern int batchThreads;          // -threads; 0: every core the process may use
extern int shardIndex;            // -shard K/N: K (1..N) ...
extern int shardCount;            // ... and N; 0 without -shard
extern int resumeBatch;           // -resume
extern int parmsOption;           // -parms was given

extern std::string shareNames;    // -share NAME[:NAME...]

// Fits every curve of the -batch table and writes the results file; the
// exit status: 0 when every curve was fitted, 1 when any failed.
int run_batch();
// The curves of the -batch table, all of them, in the order of their first
// rows.
std::vector<std::pair<std::string, tavfit::Curve>> read_batch_curves();

// A global fit (-batch with -share): every curve of the table at once, the
// shared parameters one value for all.  Writes the results file, a summary,
// and the JSON document and plot when asked; the exit status: 0 when the fit
// succeeded, else fatal.
int run_global();

// Warns of each parameter of r that ends on a bound.
void report_bounds(const tavfit::FitResult &r);

// What a global fit's writers read.
struct GlobalRun {
  std::vector<std::string> curves;  // the curves' names, in table order
  tavfit::GlobalProblem problem;
  tavfit::GlobalResult result;
};
// The JSON document of a global fit, written to path; fatal when it cannot be.
void write_global_json(const char *path, const GlobalRun &run);
// All curves of a global fit on one page: in one panel, a colour each, up to
// 10 curves; beyond, a small panel each.  As write_plot, fatal on failure.
void write_global_plot(const char *path, const GlobalRun &run);

// Start values per curve from a table with a header: a "curve" column and
// one column per parameter name (names may be left out: those start at
// defaults).  Faults are fatal, naming the line and the column.
void read_start_table(const char *path, const std::vector<std::string> &names,
                      const std::vector<double> &defaults,
                      std::unordered_map<std::string, std::vector<double>> *starts);

// The results file (results.cpp).
enum class ResultsFormat { kTsv, kCsv, kJsonl };
// The format a results file's name asks for: .tsv, .csv or .jsonl; false
// for any other name.
bool results_format(const std::string &path, ResultsFormat *format);

// The columns of a batch's rows: curve, status, message, each parameter's
// value and SD, n, SSE, RMSE, R^2, AIC, BIC, iterations, the check, and the
// chi-square figures with sigma, the parameters at a bound with bounds.
struct ResultsLayout {
  ResultsFormat format = ResultsFormat::kTsv;
  std::vector<std::string> parameters;
  // The shared parameters of a global fit, whose rows have a column "shared"
  // naming them after the message; empty for curves fitted each alone.
  std::vector<std::string> shared;
  bool sigma = false, absoluteSigma = false, bounds = false;
  std::vector<std::string> names;  // columns(), kept
  std::vector<std::string> columns() const;
  // The header line with its newline; "" for JSON lines, which have none.
  std::string header() const;
};

// Appends the row of one curve's fit, a line with its newline.
void append_results_row(const ResultsLayout &layout, const std::string &curve,
                        const tavfit::Problem &problem, const tavfit::FitResult &result,
                        std::string *out);
// Appends the row of one curve of a global fit: its own figures, the shared
// parameters repeated, and the fit's iterations; the figures that belong to
// the whole fit (AIC, BIC, the reduced chi-square) are left empty.
void append_global_row(const ResultsLayout &layout, const std::string &curve,
                       const tavfit::Curve &data, const tavfit::GlobalResult &global,
                       const tavfit::FitResult &result, std::string *out);
// The curve's field as a row begins with it (for JSON lines, the text up to
// its closing quote), and the same field read back from a written row: rows
// already in a file are known by it.
std::string written_curve(const ResultsLayout &layout, const std::string &curve);
bool row_curve_field(const ResultsLayout &layout, const std::string &line, std::string *field);
