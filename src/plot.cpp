// Plots of the fit: data with the fitted curve above, residuals below, as a
// gnuplot script that gnuplot draws (.svg, .png, .pdf) or the user keeps (.gp).
#include "tavfit.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

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

// A gnuplot string in single quotes, where only the quote itself is special.
std::string quoted(const std::string &text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

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

std::string terminal_lines(PlotForm form, const std::string &output) {
  switch (form) {
    case PlotForm::kPng:
      return "set terminal pngcairo size 1200,860 font 'Sans,12' background rgb 'white'\n"
             "set output " + quoted(output) + "\n";
    case PlotForm::kPdf:
      return "set terminal pdfcairo size 8in,5.7in font 'Sans,10'\n"
             "set output " + quoted(output) + "\n";
    default:
      return "set terminal svg size 900,640 font 'Sans,12' background rgb 'white'\n"
             "set output " + quoted(output) + "\n";
  }
}

// The whole script.  The drawing part is the same for every form; only the
// terminal differs, and the .gp script names the others in comments.
std::string plot_script(const char *path, PlotForm form) {
  const CatalogueEntry &model = catalogue_entry(fitFunc);
  const int P = fitParmNum[fitFunc];
  const bool usesX2 = model.x2.meaning != nullptr;
  std::string s;
  s += format_msg("# tavfit %s: %s (%s) fitted to %s with %s\n", kTavfitVersion, model.label,
                  model.keyword, dataFname.c_str(), method_name(fitMethod));
  if (form == PlotForm::kScript) {
    std::string stem = path;
    stem.erase(stem.size() - 3);
    s += "# Draw it with: gnuplot " + std::string(path) + "   (writes " + stem +
         ".svg; for PNG or PDF use one of the commented terminals)\n";
    s += terminal_lines(PlotForm::kSvg, stem + ".svg");
    for (PlotForm other : {PlotForm::kPng, PlotForm::kPdf}) {
      const std::string lines = terminal_lines(other, stem + (other == PlotForm::kPng ? ".png" : ".pdf"));
      for (size_t at = 0; at < lines.size();) {
        const size_t end = lines.find('\n', at);
        s += "# " + lines.substr(at, end + 1 - at);
        at = end + 1;
      }
    }
  } else {
    s += terminal_lines(form, path);
  }
  s += "set encoding utf8\n";
  s += "set termoption noenhanced\n\n";

  // Data points in file order.
  s += usesX2 ? "# X, Y, fitted value, residual (fitted value minus Y), X2\n"
              : "# X, Y, fitted value, residual (fitted value minus Y)\n";
  s += "$points << EOD\n";
  for (int i = 0; i < numData; ++i) {
    s += num(xData[i]) + " " + num(yData[i]) + " " + num(fxData[i]) + " " +
         num(fxData[i] - yData[i]);
    if (usesX2) s += " " + num(tData[i]);
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
    double levels[kMaxData];
    int numLevels = 0;
    for (int i = 0; i < numData && numLevels <= kMaxSeries; ++i)
      if (std::find(levels, levels + numLevels, tData[i]) == levels + numLevels)
        levels[numLevels++] = tData[i];
    const bool bySeries = numLevels <= kMaxSeries;
    auto series = [&](int i) {
      return bySeries ? static_cast<int>(std::find(levels, levels + numLevels, tData[i]) - levels) : 0;
    };
    int order[kMaxData];
    for (int i = 0; i < numData; ++i) order[i] = i;
    std::stable_sort(order, order + numData, [&](int a, int b) {
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
  s += "set multiplot title " + quoted(title) + " font ',15'\n";
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
  s += "set ylabel " + quoted(axis_label(model.y, "Y", 40)) + "\n";
  s += "set key at screen 0.66, screen 0.91 left top Left reverse samplen 2 spacing 1.25 "
       "box lc rgb '#b0b0b0'\n";
  s += "plot $points using 1:2 with points pt 7 ps 0.8 lc rgb '#1f4e79' title 'data', \\\n";
  s += std::string("     $curve using 1:2 with ") + (usesX2 ? "linespoints pt 6 ps 0.6" : "lines") +
       " lw 2 lc rgb '#c0392b' title " +
       quoted(std::string(usesX2 ? "fit at the data points" : "fit") + " (" +
              method_name(fitMethod) + ")");
  for (int k = 0; k < P; ++k) {
    const std::string name = parm_name(fitParmStr[fitFunc][k]);
    const std::string entry =
        holdConstFlag[k] != 0
            ? format_msg("%s = %.5g (held)", name.c_str(), fitParms[k])
            : format_msg("%s = %.5g \xC2\xB1 %#.2g", name.c_str(), fitParms[k], fitStdDev[k]);
    s += ", \\\n     keyentry with lines lt nodraw title " + quoted(entry);
  }
  s += ", \\\n     keyentry with lines lt nodraw title " +
       quoted(format_msg("RMSE = %.5g (n = %d)", rmse, numData)) + "\n";
  s += "# The lower panel takes the X range the upper one chose.\n";
  s += "set xrange [GPVAL_X_MIN:GPVAL_X_MAX]\n";
  s += "set offsets 0, 0, 0, 0\n";
  // Residuals symmetric about zero, so that a bias shows at a glance.
  double largest = 0.0;
  for (int i = 0; i < numData; ++i) {
    const double r = std::fabs(fxData[i] - yData[i]);
    if (std::isfinite(r)) largest = std::max(largest, r);
  }
  if (largest > 0.0)
    s += "set yrange [" + num(-1.15 * largest) + ":" + num(1.15 * largest) + "]\n";
  s += "\n";

  s += "# Lower panel: residuals\n";
  s += "set tmargin at screen 0.35\nset bmargin at screen 0.11\n";
  s += "set format x '%g'\n";
  s += "set xlabel " + quoted(axis_label(model.x, "X", 70)) + "\n";
  s += "set ylabel 'residual (fit \xE2\x88\x92 Y)'\n";
  s += "unset key\n";
  s += "plot 0 with lines dt 2 lw 1.5 lc rgb '#404040', \\\n";
  s += "     $points using 1:4 with impulses lw 1.5 lc rgb '#1f4e79', \\\n";
  s += "     $points using 1:4 with points pt 7 ps 0.7 lc rgb '#1f4e79'\n";
  s += "unset multiplot\n";
  return s;
}

bool write_text(const std::string &path, const std::string &text) {
  FILE *fp = std::fopen(path.c_str(), "w");
  if (fp == nullptr) return false;
  const bool wrote = std::fwrite(text.data(), 1, text.size(), fp) == text.size();
  return std::fclose(fp) == 0 && wrote;
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

// Runs gnuplot on the script.  Returns an empty string, or what went wrong.
std::string run_gnuplot(const std::string &script) {
  const char *tmp = std::getenv("TMPDIR");
  const std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  std::string scriptPath = dir + "/tavfit_plot_XXXXXX";
  std::string logPath = dir + "/tavfit_plot_log_XXXXXX";
  const int scriptFd = mkstemp(&scriptPath[0]);
  if (scriptFd < 0) return "cannot create a temporary file in " + dir;
  close(scriptFd);
  const int logFd = mkstemp(&logPath[0]);
  if (logFd < 0) {
    unlink(scriptPath.c_str());
    return "cannot create a temporary file in " + dir;
  }
  std::string failure;
  if (!write_text(scriptPath, script)) failure = "cannot write a temporary file in " + dir;

  pid_t pid = 0;
  int spawned = 0;
  if (failure.empty()) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
    char program[] = "gnuplot";
    char *argv[] = {program, &scriptPath[0], nullptr};
    std::fflush(stdout);  // the child must not inherit unwritten output
    spawned = posix_spawnp(&pid, "gnuplot", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned == ENOENT) {
      failure = "gnuplot not found; name a .gp file to get the script";
    } else if (spawned != 0) {
      failure = format_msg("gnuplot cannot be run: %s", std::strerror(spawned));
    } else {
      // The program installs no signal handler, so the wait is never interrupted.
      int status = 0;
      waitpid(pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const std::string why = first_complaint(logPath);
        failure = WIFEXITED(status) && WEXITSTATUS(status) == 127
                      ? "gnuplot not found; name a .gp file to get the script"
                      : "gnuplot failed" + (why.empty() ? std::string() : ": " + why);
      }
    }
  }
  close(logFd);
  unlink(logPath.c_str());
  unlink(scriptPath.c_str());
  return failure;
}

}  // namespace

void check_plot_name(const std::string &path) {
  if (plot_form(path) == PlotForm::kUnknown)
    fatal_fmt("Unable to draw plot '%s': name a .svg, .png, .pdf or .gp file.", path.c_str());
}

void write_plot(const char *path) {
  const PlotForm form = plot_form(path);
  const std::string script = plot_script(path, form);
  if (form == PlotForm::kScript) {
    if (!write_text(path, script)) fatal_fmt("Unable to write output file '%s'.", path);
    return;
  }
  const std::string failure = run_gnuplot(script);
  if (!failure.empty()) fatal_fmt("Unable to draw plot '%s': %s", path, failure.c_str());
}
