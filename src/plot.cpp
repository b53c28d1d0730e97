// Plots of the fit: data with the fitted curve above, residuals below, as a
// gnuplot script that gnuplot draws (.svg, .png, .pdf) or the user keeps (.gp).
#include "program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "version.h"

extern char **environ;

namespace {

enum class PlotForm { kSvg, kPng, kPdf, kScript, kUnknown };

// Points of the smooth curve for models of X alone.
constexpr int kCurvePoints = 500;
// At most this many distinct X2 values are drawn as separate lines.
constexpr int kMaxSeries = 6;

PlotForm plot_form(const std::string &path) {
  const size_t dot = path.find_last_of("./");
  if (dot == std::string::npos || path[dot] != '.') return PlotForm::kUnknown;
  std::string ext = path.substr(dot + 1);
  for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "svg") return PlotForm::kSvg;
  if (ext == "png") return PlotForm::kPng;
  if (ext == "pdf") return PlotForm::kPdf;
  if (ext == "gp") return PlotForm::kScript;
  return PlotForm::kUnknown;
}

bool is_control(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// The one way a name or a text enters the script: as a gnuplot string
// constant.  In single quotes gnuplot substitutes nothing (no backquoted
// command, no macro) and knows only the doubled quote, but a control
// character cannot be written there: a newline would end the command.  Text
// with one goes in double quotes, where each byte that is special there, or
// could end the line, is an octal escape.
std::string literal(const std::string &text) {
  if (std::none_of(text.begin(), text.end(), is_control)) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
  }
  std::string out = "\"";
  for (char c : text) {
    if (is_control(c) || std::strchr("\"\\`@$", c) != nullptr)
      out += format_msg("\\%03o", static_cast<unsigned char>(c));
    else
      out += c;
  }
  return out + "\"";
}

// A name as set output takes it: one that starts with '|' would be a pipe
// to a shell command.
std::string output_name(const std::string &path) {
  return path.compare(0, 1, "/") == 0 ? path : "./" + path;
}

// gnuplot draws into the file it finds open as descriptor 3, so that no
// name of the user's reaches the script it runs.
constexpr int kDrawFd = 3;
const char *const kDrawFile = "/dev/fd/3";

// Text to show in the plot: bytes that are not UTF-8 replaced as the JSON
// file replaces them, and control characters, which no SVG may hold.
std::string shown(const std::string &text) {
  using Json = nlohmann::json;
  const std::string dumped = Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string out;
  for (char c : Json::parse(dumped).get<std::string>())
    out += is_control(c) ? std::string("\xEF\xBF\xBD") : std::string(1, c);
  return out;
}

// A title or a label, as the script holds it.
std::string label(const std::string &text) { return literal(shown(text)); }

// Every digit, so that the script draws what the fit computed.
std::string num(double value) {
  if (!std::isfinite(value)) return "NaN";  // gnuplot leaves the point out
  return format_msg("%.17g", value);
}

std::string base_name(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// An axis label from the catalogue: the meaning, and the unit where the
// model fixes one ("any unit" and "same unit as X" say nothing on an axis).
// Meanings can be sentences; an axis has room for about maxLength characters.
// The head of the meaning, before its first aside, names the quantity.
std::string shortened(std::string text, size_t maxLength) {
  if (text.size() <= maxLength) return text;
  size_t cut = text.size();
  for (const char *aside : {", ", " (", ": ", "; "}) cut = std::min(cut, text.find(aside));
  if (cut > 0 && cut != std::string::npos) text.erase(cut);
  if (text.size() <= maxLength) return text;
  const size_t space = text.rfind(' ', maxLength - 1);
  text.erase(space != std::string::npos && space > 0 ? space : maxLength - 1);
  return text + "\xE2\x80\xA6";
}

std::string axis_label(const CatalogueVariable &variable, const char *fallback, size_t maxLength) {
  if (variable.meaning == nullptr) return fallback;
  std::string label = shortened(variable.meaning, maxLength);
  const std::string unit = variable.unit != nullptr ? variable.unit : "";
  if (!unit.empty() && unit.compare(0, 4, "any ") != 0 && unit.compare(0, 5, "same ") != 0)
    label += " (" + unit + ")";
  return label;
}

// The terminal of form, its page wide and high times the standard page.
std::string terminal_lines(PlotForm form, const std::string &output, int wide = 1, int high = 1) {
  switch (form) {
    case PlotForm::kPng:
      return format_msg("set terminal pngcairo size %d,%d font 'Sans,12' background rgb 'white'\n",
                        1200 * wide, 860 * high) +
             "set output " + literal(output) + "\n";
    case PlotForm::kPdf:
      return format_msg("set terminal pdfcairo size %gin,%gin font 'Sans,10'\n", 8.0 * wide,
                        5.7 * high) +
             "set output " + literal(output) + "\n";
    default:
      return format_msg("set terminal svg size %d,%d font 'Sans,12' background rgb 'white'\n",
                        900 * wide, 640 * high) +
             "set output " + literal(output) + "\n";
  }
}

// The terminal part of a script: where gnuplot draws, or for a .gp script
// that the user runs, the SVG it writes and the other forms in comments.
std::string terminal_part(const std::string &path, PlotForm form, int wide = 1, int high = 1) {
  if (form != PlotForm::kScript) return terminal_lines(form, kDrawFile, wide, high);
  std::string stem = path;
  stem.erase(stem.size() - 3);
  stem = output_name(stem);
  std::string s = "# Draw it with: gnuplot " + literal(path) + "   (writes " +
                  literal(stem + ".svg") + "; for PNG or PDF use one of the commented terminals)\n";
  s += terminal_lines(PlotForm::kSvg, stem + ".svg", wide, high);
  for (PlotForm other : {PlotForm::kPng, PlotForm::kPdf}) {
    const std::string lines =
        terminal_lines(other, stem + (other == PlotForm::kPng ? ".png" : ".pdf"), wide, high);
    for (size_t at = 0; at < lines.size();) {
      const size_t end = lines.find('\n', at);
      s += "# " + lines.substr(at, end + 1 - at);
      at = end + 1;
    }
  }
  return s;
}

// The whole script.  The drawing part is the same for every form; only the
// terminal differs, and the .gp script names the others in comments.
std::string plot_script(const std::string &path, PlotForm form) {
  const CatalogueEntry &model = run_entry();
  const int P = fitParmNum[fitFunc];
  const bool usesX2 = model.x2.meaning != nullptr;
  std::string s;
  s += format_msg("# tavfit %s: %s (%s) fitted to %s with %s\n", kTavfitVersion, model.label,
                  fitFunc == kFormulaFunc ? "formula" : model.keyword,
                  literal(dataFname).c_str(), method_name(fitMethod));
  s += terminal_part(path, form);
  s += "set encoding utf8\n";
  s += "set termoption noenhanced\n\n";

  // Data points in file order.
  const bool withSigma = !sData.empty();
  s += usesX2 ? "# X, Y, fitted value, residual (fitted value minus Y), X2"
              : "# X, Y, fitted value, residual (fitted value minus Y)";
  s += withSigma ? ", standard deviation of Y\n" : "\n";
  s += "$points << EOD\n";
  for (int i = 0; i < numData; ++i) {
    s += num(xData[i]) + " " + num(yData[i]) + " " + num(fxData[i]) + " " +
         num(fit_results().residuals[i]);
    if (usesX2) s += " " + num(tData[i]);
    if (withSigma) s += " " + num(sData[i]);
    s += "\n";
  }
  s += "EOD\n\n";

  double xMin = xData[0], xMax = xData[0];
  for (int i = 1; i < numData; ++i) {
    xMin = std::min(xMin, xData[i]);
    xMax = std::max(xMax, xData[i]);
  }
  if (usesX2) {
    // The model needs the X2 of each point, so there is no curve between
    // them: the fitted values are joined in X order.  A titration run at a
    // few fixed X2 values gets one line per X2 rather than a zigzag.
    s += "# The fitted values at the data points, in X order (the model also depends on X2)\n";
    s += "$curve << EOD\n";
    std::vector<double> levels;
    for (int i = 0; i < numData && static_cast<int>(levels.size()) <= kMaxSeries; ++i)
      if (std::find(levels.begin(), levels.end(), tData[i]) == levels.end())
        levels.push_back(tData[i]);
    const bool bySeries = static_cast<int>(levels.size()) <= kMaxSeries;
    auto series = [&](int i) {
      return bySeries ? static_cast<int>(std::find(levels.begin(), levels.end(), tData[i]) -
                                         levels.begin())
                      : 0;
    };
    std::vector<int> order(numData);
    for (int i = 0; i < numData; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      return series(a) != series(b) ? series(a) < series(b) : xData[a] < xData[b];
    });
    for (int k = 0; k < numData; ++k) {
      if (k > 0 && series(order[k]) != series(order[k - 1])) s += "\n";  // a break in the line
      s += num(xData[order[k]]) + " " + num(fxData[order[k]]) + "\n";
    }
  } else {
    s += format_msg("# The fitted model at %d points over the X range of the data\n", kCurvePoints);
    s += "$curve << EOD\n";
    for (int k = 0; k < kCurvePoints; ++k) {
      const double x = k == kCurvePoints - 1 ? xMax : xMin + (xMax - xMin) * k / (kCurvePoints - 1);
      double y;
      fnf(fitFunc, &y, x, 0.0, fitParms);
      s += num(x) + " " + num(y) + "\n";
    }
  }
  s += "EOD\n\n";

  const std::string title = std::string(model.label) + " \xE2\x80\x94 " + base_name(dataFname);
  s += "set multiplot title " + label(title) + " font ',15'\n";
  s += "set lmargin at screen 0.12\nset rmargin at screen 0.64\n";
  s += "set grid lc rgb '#e0e0e0'\nset tics out nomirror\nset border 3\n";
  // The ranges hug the data with a small margin instead of running on to
  // the next tic mark, which may lie at a negative delay or concentration.
  s += "set autoscale fix\n";
  s += "set offsets graph 0.03, graph 0.03, graph 0.06, graph 0.06\n";
  if (xMin == xMax)  // a single X: gnuplot cannot scale an empty range
    s += "set xrange [" + num(xMin - 1) + ":" + num(xMax + 1) + "]\n";
  s += "\n";

  s += "# Upper panel: data and fit\n";
  s += "set tmargin at screen 0.91\nset bmargin at screen 0.38\n";
  s += "set format x ''\nunset xlabel\n";
  s += "set ylabel " + label(axis_label(model.y, "Y", 40)) + "\n";
  s += "set key at screen 0.66, screen 0.91 left top Left reverse samplen 2 spacing 1.25 "
       "box lc rgb '#b0b0b0'\n";
  s += withSigma ? format_msg("plot $points using 1:2:%d with yerrorbars", usesX2 ? 6 : 5)
                 : std::string("plot $points using 1:2 with points");
  s += " pt 7 ps 0.8 lc rgb '#1f4e79' title 'data', \\\n";
  s += std::string("     $curve using 1:2 with ") + (usesX2 ? "linespoints pt 6 ps 0.6" : "lines") +
       " lw 2 lc rgb '#c0392b' title " +
       label(std::string(usesX2 ? "fit at the data points" : "fit") + " (" +
              method_name(fitMethod) + ")");
  for (int k = 0; k < P; ++k) {
    const std::string name = parm_name(fitParmStr[fitFunc][k]);
    const std::string entry =
        holdConstFlag[k] != 0
            ? format_msg("%s = %.5g (held)", name.c_str(), fitParms[k])
            : format_msg("%s = %.5g \xC2\xB1 %#.2g", name.c_str(), fitParms[k], fitStdDev[k]);
    s += ", \\\n     keyentry with lines lt nodraw title " + label(entry);
  }
  s += ", \\\n     keyentry with lines lt nodraw title " +
       label(format_msg("RMSE = %.5g (n = %d)", rmse, numData)) + "\n";
  s += "# The lower panel takes the X range the upper one chose.\n";
  s += "set xrange [GPVAL_X_MIN:GPVAL_X_MAX]\n";
  s += "set offsets 0, 0, 0, 0\n";
  // Residuals symmetric about zero, so that a bias shows at a glance.
  double largest = 0.0;
  for (int i = 0; i < numData; ++i) {
    const double r = std::fabs(fit_results().residuals[i]);
    if (std::isfinite(r)) largest = std::max(largest, r);
  }
  if (largest > 0.0)
    s += "set yrange [" + num(-1.15 * largest) + ":" + num(1.15 * largest) + "]\n";
  s += "\n";

  s += "# Lower panel: residuals\n";
  s += "set tmargin at screen 0.35\nset bmargin at screen 0.11\n";
  s += "set format x '%g'\n";
  s += "set xlabel " + label(axis_label(model.x, "X", 70)) + "\n";
  s += "set ylabel 'residual (fit \xE2\x88\x92 Y)'\n";
  s += "unset key\n";
  s += "plot 0 with lines dt 2 lw 1.5 lc rgb '#404040', \\\n";
  s += "     $points using 1:4 with impulses lw 1.5 lc rgb '#1f4e79', \\\n";
  s += "     $points using 1:4 with points pt 7 ps 0.7 lc rgb '#1f4e79'\n";
  s += "unset multiplot\n";
  return s;
}

std::string temp_dir() {
  const char *tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// A file of our own in the temporary folder, removed when it goes out of
// scope or a signal ends the run.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  ~TempFile() {
    if (fd_ < 0) return;
    close(fd_);
    unlink(path_.c_str());
    forget_temp_file(path_.c_str());
  }
  bool make(const std::string &dir, const char *prefix) {
    path_ = dir + "/" + prefix + "XXXXXX";
    fd_ = make_temp_file(path_);
    return fd_ >= 0;
  }
  int fd() const { return fd_; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

bool read_all(int fd, std::string *text) {
  text->clear();
  char buffer[65536];
  for (off_t at = 0;;) {
    const ssize_t got = pread(fd, buffer, sizeof buffer, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    text->append(buffer, static_cast<size_t>(got));
    at += got;
  }
}

// gnuplot reports no failed write: a full disk leaves a file cut short and
// an exit status of 0.  A whole file starts and ends with its format's marks.
bool is_whole(PlotForm form, const std::string &drawn) {
  if (form == PlotForm::kPng)
    return drawn.compare(0, 8, "\x89PNG\r\n\x1A\n") == 0 &&
           ends_with(drawn, std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12));
  const std::string head = form == PlotForm::kPdf ? "%PDF-" : "<?xml";
  const std::string tail = form == PlotForm::kPdf ? "%%EOF" : "</svg>";
  return drawn.compare(0, head.size(), head) == 0 &&
         ends_with(drawn.substr(0, drawn.find_last_not_of(" \t\r\n") + 1), tail);
}

// The first line gnuplot complained with, for the message.
std::string first_complaint(const std::string &path) {
  FILE *fp = std::fopen(path.c_str(), "r");
  if (fp == nullptr) return "";
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, fp)) > 0) text.append(buffer, got);
  std::fclose(fp);
  // gnuplot echoes the command and marks the spot before it names the error;
  // the line with the file name and line number says what went wrong.
  size_t at = text.find("line ");
  const size_t start = at == std::string::npos ? 0 : text.rfind('\n', at) + 1;
  const size_t end = text.find('\n', start);
  std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

// Runs gnuplot on the script, drawing into drawFd.  Returns an empty
// string, or what went wrong.
std::string run_gnuplot(const std::string &script, int drawFd) {
  const std::string dir = temp_dir();
  TempFile scriptFile, logFile;
  if (!scriptFile.make(dir, "tavfit_plot_") || !logFile.make(dir, "tavfit_plot_log_"))
    return "cannot create a temporary file in " + dir;
  if (!write_all(scriptFile.fd(), script)) return "cannot write a temporary file in " + dir;
  // A relative name that starts with '-' would be taken for an option.
  std::string scriptName = scriptFile.path();
  if (scriptName[0] != '/') scriptName.insert(0, "./");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, logFile.fd(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, logFile.fd(), STDERR_FILENO);
  posix_spawn_file_actions_adddup2(&actions, drawFd, kDrawFd);
  // Ignored here, SIGPIPE would stay ignored in gnuplot and its children.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  char program[] = "gnuplot";
  char *argv[] = {program, &scriptName[0], nullptr};
  std::fflush(stdout);  // the child must not inherit unwritten output
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "gnuplot", &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned == ENOENT) return "gnuplot not found; name a .gp file to get the script";
  if (spawned != 0) return format_msg("gnuplot cannot be run: %s", std::strerror(spawned));
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
    return "gnuplot not found; name a .gp file to get the script";
  const std::string why = first_complaint(logFile.path());
  return "gnuplot failed" + (why.empty() ? std::string() : ": " + why);
}

}  // namespace

bool ends_with(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void check_plot_name(const std::string &path) {
  if (plot_form(path) == PlotForm::kUnknown)
    fatal_fmt("Unable to draw plot '%s': name a .svg, .png, .pdf or .gp file.", path.c_str());
}

namespace {

// Curves drawn in one panel, a colour each; more get a small panel each.
constexpr size_t kMaxOnePanel = 10;
const char *const kColours[kMaxOnePanel] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728",
                                            "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
                                            "#bcbd22", "#17becf"};

// The fitted model of one curve as a line: smooth over the X range when the
// model needs no X2 or the curve has one X2 throughout, else the fitted
// values at the points in X order.
std::string fitted_line(const tavfit::Model &model, const tavfit::Curve &curve,
                        const tavfit::FitResult &fit, int points) {
  const size_t n = curve.x.size();
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return curve.x[a] < curve.x[b]; });
  bool oneX2 = true;
  for (size_t i = 1; i < curve.x2.size(); ++i) oneX2 = oneX2 && curve.x2[i] == curve.x2[0];
  std::string s;
  if (!oneX2) {
    for (size_t i : order) s += num(curve.x[i]) + " " + num(fit.fitted[i]) + "\n";
    return s;
  }
  const double lo = curve.x[order.front()], hi = curve.x[order.back()];
  const double x2 = curve.x2.empty() ? 0.0 : curve.x2[0];
  for (int k = 0; k < points; ++k) {
    const double x = k == points - 1 ? hi : lo + (hi - lo) * k / (points - 1);
    s += num(x) + " " + num(tavfit::evaluate(model, x, x2, fit.value)) + "\n";
  }
  return s;
}

std::string global_plot_script(const std::string &path, PlotForm form, const GlobalRun &run) {
  const tavfit::GlobalProblem &problem = run.problem;
  const tavfit::Model &model = problem.model;
  const CatalogueEntry &entry = run_entry();
  const size_t C = run.curves.size();
  const bool onePanel = C <= kMaxOnePanel;
  const int columns = onePanel ? 1 : static_cast<int>(std::ceil(std::sqrt(static_cast<double>(C))));
  const int rows = onePanel ? 1 : static_cast<int>((C + columns - 1) / columns);
  const int wide = std::max(1, columns / 5), high = std::max(1, rows / 4);
  std::string s = format_msg("# tavfit %s: %s (%s) fitted globally to %s with %s\n",
                             kTavfitVersion, model.label.c_str(),
                             fitFunc == kFormulaFunc ? "formula" : model.keyword.c_str(),
                             literal(batchFname).c_str(), method_name(fitMethod));
  s += terminal_part(path, form, wide, high);
  s += "set encoding utf8\nset termoption noenhanced\n\n";
  for (size_t c = 0; c < C; ++c) {
    const tavfit::Curve &curve = problem.curves[c];
    s += "# Curve " + shown(run.curves[c]) + ": X, Y\n";
    s += format_msg("$data%zu << EOD\n", c);
    for (size_t i = 0; i < curve.x.size(); ++i) s += num(curve.x[i]) + " " + num(curve.y[i]) + "\n";
    s += format_msg("EOD\n$fit%zu << EOD\n", c);
    s += fitted_line(model, curve, run.result.curves[c], onePanel ? 500 : 100);
    s += "EOD\n";
  }
  std::string shared;
  for (size_t k = 0; k < model.parameters.size(); ++k) {
    if (!problem.shared[k]) continue;
    const tavfit::FitResult &first = run.result.curves[0];
    const bool held = !problem.held.empty() && problem.held[k];
    shared += (shared.empty() ? "" : ", ") +
              (held ? format_msg("%s = %.5g (held)", model.parameters[k].c_str(), first.value[k])
                    : format_msg("%s = %.5g \xC2\xB1 %#.2g", model.parameters[k].c_str(),
                                 first.value[k], first.sd[k]));
  }
  const std::string title = model.label + " \xE2\x80\x94 " + base_name(batchFname) + ", " +
                            format_msg("%zu curves, ", C) + shared;
  s += "\nset grid lc rgb '#e0e0e0'\nset tics out nomirror\nset border 3\n";
  s += "set autoscale fix\nset offsets graph 0.03, graph 0.03, graph 0.06, graph 0.06\n";
  if (onePanel) {
    s += "set title " + label(title) + " font ',14'\n";
    s += "set xlabel " + label(axis_label(entry.x, "X", 70)) + "\n";
    s += "set ylabel " + label(axis_label(entry.y, "Y", 40)) + "\n";
    s += "set key outside right top Left reverse samplen 2\n";
    s += "plot";
    for (size_t c = 0; c < C; ++c) {
      const std::string colour = std::string("lc rgb '") + kColours[c] + "'";
      s += format_msg("%s \\\n  $data%zu using 1:2 with points pt 7 ps 0.7 ", c == 0 ? "" : ",", c) +
           colour + " title " + label(run.curves[c]) +
           format_msg(", \\\n  $fit%zu using 1:2 with lines lw 2 ", c) + colour + " notitle";
    }
    s += "\n";
    return s;
  }
  // Small multiples: each curve in a panel of its own, named in its title.
  s += format_msg("set multiplot layout %d,%d title %s font ',14'\n", rows, columns,
                  label(title).c_str());
  s += "unset key\nset format x ''\nset format y ''\nset tics scale 0.3\n";
  s += "set lmargin 1\nset rmargin 1\nset tmargin 1.5\nset bmargin 0.5\n";
  for (size_t c = 0; c < C; ++c)
    s += "set title " + label(run.curves[c]) + " font ',8' offset 0,-0.6\n" +
         format_msg("plot $data%zu using 1:2 with points pt 7 ps 0.3 lc rgb '#1f4e79', "
                    "$fit%zu using 1:2 with lines lw 1 lc rgb '#c0392b'\n",
                    c, c);
  s += "unset multiplot\n";
  return s;
}

// Has gnuplot draw script into path, or writes the script for a .gp name.
void draw_plot(const char *path, PlotForm form, const std::string &script) {
  if (form == PlotForm::kScript) {
    if (!write_whole_file(path, script)) fatal_fmt("Unable to write output file '%s'.", path);
    return;
  }
  OutputFile out;
  if (!out.open(path)) fatal_fmt("Unable to write output file '%s'.", path);
  // gnuplot draws into a file that can be read back and checked: the
  // temporary file that replaces the target, or for a device, where what is
  // written cannot be read back, one of our own that is copied to it.
  std::string failure, drawn;
  {
    TempFile copy;
    int drawFd = -1;
    if (!out.in_place()) {
      drawFd = ::open(out.write_path().c_str(), O_RDWR | O_CLOEXEC);
      if (drawFd < 0) failure = "cannot open the temporary file " + out.write_path();
    } else if (copy.make(temp_dir(), "tavfit_plot_draw_")) {
      drawFd = copy.fd();
    } else {
      failure = "cannot create a temporary file in " + temp_dir();
    }
    if (failure.empty()) failure = run_gnuplot(script, drawFd);
    if (failure.empty() && !read_all(drawFd, &drawn))
      failure = "cannot read the file gnuplot wrote";
    if (failure.empty() && !is_whole(form, drawn)) failure = "the file gnuplot wrote is incomplete";
    if (drawFd >= 0 && !out.in_place()) close(drawFd);
  }
  if (!failure.empty()) {
    out.discard();
    fatal_fmt("Unable to draw plot '%s': %s", path, failure.c_str());
  }
  if ((out.in_place() && !out.write(drawn)) || !out.commit())
    fatal_fmt("Unable to write output file '%s'.", path);
}

}  // namespace

void write_plot(const char *path) {
  const PlotForm form = plot_form(path);
  draw_plot(path, form, plot_script(path, form));
}

void write_global_plot(const char *path, const GlobalRun &run) {
  const PlotForm form = plot_form(path);
  draw_plot(path, form, global_plot_script(path, form, run));
}
