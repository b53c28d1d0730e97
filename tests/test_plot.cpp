// Plots: the script gnuplot runs, the SVG it draws, and a missing gnuplot.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support.h"
#include "program.h"

namespace {

const std::string kT1 = std::string(TAVFIT_EXAMPLES) + "/t1_relax.dat";
// A shell command that fits kT1 at held values, with the reports in files.
const std::string kFitT1 = std::string(TAVFIT_BIN) + " -d " + kT1 +
                           " -fit T1_RELAX -parms =900:=2:=1 -o v.txt -short s.txt";


// Well-formed XML: every element closed in order.  Enough to tell a complete
// SVG from a truncated or garbled one.
bool well_formed(const std::string &xml) {
  std::vector<std::string> open;
  size_t at = 0;
  bool root = false;
  while ((at = xml.find('<', at)) != std::string::npos) {
    if (xml.compare(at, 4, "<!--") == 0) {
      at = xml.find("-->", at);
    } else if (xml.compare(at, 9, "<![CDATA[") == 0) {
      at = xml.find("]]>", at);
    } else if (xml.compare(at, 2, "<?") == 0 || xml.compare(at, 2, "<!") == 0) {
      at = xml.find('>', at);
    } else {
      const size_t end = xml.find('>', at);
      if (end == std::string::npos) return false;
      const std::string tag = xml.substr(at + 1, end - at - 1);
      const std::string name = tag.substr(tag[0] == '/', tag.find_first_of(" \t\n/>", 1) - (tag[0] == '/'));
      if (tag[0] == '/') {
        if (open.empty() || open.back() != name) return false;
        open.pop_back();
      } else if (tag.back() != '/') {
        if (open.empty() && root) return false;  // a second root element
        open.push_back(name);
        root = true;
      }
      at = end;
    }
    if (at == std::string::npos) return false;
  }
  return root && open.empty();
}

int count(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

// The part of an SVG that gnuplot wrote for one plot element, e.g. the first
// element of the upper panel ("gnuplot_plot_1a") or of the lower one ("..._1b").
std::string svg_group(const std::string &svg, const std::string &id) {
  const size_t start = svg.find("<g id=\"" + id + "\"");
  if (start == std::string::npos) return "";
  const size_t end = svg.find("<g id=\"gnuplot_plot_", start + 1);
  return svg.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// A word for sh, whatever bytes it holds.
std::string sh_word(const std::string &text) {
  std::string word = "'";
  for (char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

// Text an XML parser takes: UTF-8, and no control character but tab and line breaks.
bool valid_text(const std::string &text) {
  try {
    (void)nlohmann::json(text).dump();
  } catch (const nlohmann::json::type_error &) {
    return false;
  }
  return std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r';
  });
}

// A plot file that its format's reader would take as whole.
bool whole_plot(const std::string &path) {
  const std::string data = tavtest::read_file(path);
  const std::string ext = path.substr(path.rfind('.') + 1);
  if (ext == "png")
    return data.compare(0, 4, "\x89PNG") == 0 && data.size() > 12 &&
           data.compare(data.size() - 8, 4, "IEND") == 0;
  if (ext == "pdf")
    return data.compare(0, 5, "%PDF-") == 0 && data.find("%%EOF", data.size() - 8) != std::string::npos;
  return well_formed(data) && valid_text(data);
}

// A folder holding a stand-in gnuplot, a shell script of the given body.
std::string stand_in_gnuplot(const std::string &bin, const std::string &body) {
  mkdir(bin.c_str(), 0755);
  tavtest::write_file(bin + "/gnuplot", "#!/bin/sh\n" + body + "\n");
  chmod((bin + "/gnuplot").c_str(), 0755);
  return bin;
}

// Names in dir that start with prefix.
std::vector<std::string> names_starting(const std::string &dir, const std::string &prefix) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *entry = readdir(d))
      if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) names.push_back(entry->d_name);
    closedir(d);
  }
  return names;
}

TEST(Plot, ScriptRendersWithoutWarningsForModelsOfXAndOfX2) {
  const std::string dir = tavtest::make_temp_dir();
  tavtest::write_file(dir + "/xy1.dat",
                      "0 0.0009 10\n0 0.0125 30\n5 0.1507 10\n5 0.1018 30\n10 0.2782 10\n"
                      "10 0.1736 30\n20 0.4571 10\n20 0.3221 30\n40 0.5851 10\n40 0.5148 30\n");
  const std::vector<std::vector<std::string>> runs = {
      {"-d", kT1, "-fit", "T1_RELAX", "-parms", "900:=2:1", "-plot", "t1.gp"},
      {"-d", "xy1.dat", "-fit", "XY1", "-parms", "1:10", "-levmar", "-plot", "xy1.gp"}};
  for (const auto &args : runs) {
    std::vector<std::string> quiet = args;
    quiet.insert(quiet.end(), {"-o", "v.txt", "-short", "s.txt"});
    const tavtest::RunResult run = tavtest::run_tavfit(quiet, dir);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string script = args.back();
    const std::string stem = script.substr(0, script.size() - 3);
    std::string output;
    EXPECT_EQ(tavtest::run_shell(dir, "gnuplot " + script, &output), 0);
    EXPECT_EQ(output, "") << script;  // no warning of any kind
    EXPECT_TRUE(well_formed(tavtest::read_file(dir + "/" + stem + ".svg"))) << stem;
  }
  // The script is self-contained: the data are inline, the held parameter is marked.
  const std::string script = tavtest::read_file(dir + "/t1.gp");
  EXPECT_NE(script.find("$points << EOD\n0.01 -936.5 "), std::string::npos);
  EXPECT_NE(script.find("$curve << EOD\n0.01 "), std::string::npos);  // from the smallest X
  EXPECT_NE(script.find("W = 2 (held)"), std::string::npos);
  EXPECT_EQ(script.find("\nplot '"), std::string::npos);  // no plot reads a file
}

// An axis label longer than its room keeps the head of the meaning, cut at a
// word and marked with an ellipsis, then the unit.
TEST(Plot, LongAxisLabelIsCutAtAWord) {
  const std::string dir = tavtest::make_temp_dir();
  tavtest::write_file(dir + "/ph.dat", "4 0.9\n6 0.5\n8 0.2\n");
  const tavtest::RunResult run = tavtest::run_tavfit(
      {"-d", "ph.dat", "-fit", "Z_AMIDE_PH", "-parms", "=1:=1e9:=10:=0.1", "-plot", "ph.gp", "-o",
       "v.txt", "-short", "s.txt"},
      dir);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(tavtest::read_file(dir + "/ph.gp")
                .find("\nset ylabel 'intensity ratio I/I0 of the amide\xE2\x80\xA6 (dimensionless)'\n"),
            std::string::npos);
}

TEST(Plot, SvgHasTheDataInTheUpperPanelAndResidualsInTheLower) {
  const std::string dir = tavtest::make_temp_dir();
  const tavtest::RunResult run = tavtest::run_tavfit(
      {"-d", kT1, "-fit", "T1_RELAX", "-parms", "900:2:1", "-plot", "fit.svg", "-o", "v.txt",
       "-short", "s.txt"},
      dir);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out, "");
  const std::string svg = tavtest::read_file(dir + "/fit.svg");
  ASSERT_TRUE(well_formed(svg));
  // Upper panel: 12 data points and the key's sample; lower panel: the zero
  // line first, then 12 residual points.
  EXPECT_EQ(count(svg_group(svg, "gnuplot_plot_1a"), "<use "), 13);
  EXPECT_EQ(count(svg_group(svg, "gnuplot_plot_3b"), "<use "), 12);
  EXPECT_NE(svg.find("T1 Relaxation \xE2\x80\x94 t1_relax.dat"), std::string::npos);
  EXPECT_NE(svg.find("T1 = 1.2431 \xC2\xB1 0.0070"), std::string::npos);
  EXPECT_NE(svg.find("RMSE = 3.8541"), std::string::npos);
}

// File names that would run a command (each makes a file "pwned...") if
// they left their string in the script or reached gnuplot as a pipe, and
// one that is not text, which no title of an SVG may hold as it is.
const char *const kHostileNames[] = {
    "a\n!touch pwned\n#",
    "a\r!touch pwned\r#",
    "a\nsystem \"touch pwned\"\n#",
    "a'.system('touch pwned').'",
    "a\".system(\"touch pwned\").\"",
    "a'\n!touch pwned\n'\"\n!touch pwned\n\"",
    "a\\\n!touch pwned\n\\",
    "a`touch pwned`\n`touch pwned`",
    "a$(touch pwned)",
    "a@GPVAL_PWD\n@GPVAL_PWD",
    "|touch pwned",
    "bad\xFF\xC3(\x01\x1B",
};

// Each name drawn as each form, as the data file's name or the plot's: the
// plot is drawn whole (an SVG as valid XML) and nothing runs, also when
// gnuplot later draws a saved script.
void check_hostile_names(bool asDataName) {
  for (const std::string name : kHostileNames) {
    SCOPED_TRACE(sh_word(name));
    const std::string dir = tavtest::make_temp_dir();
    const std::string data = asDataName ? name + ".dat" : kT1;
    if (asDataName) tavtest::write_file(dir + "/" + data, tavtest::read_file(kT1));
    for (const std::string ext : {"svg", "png", "pdf", "gp"}) {
      const std::string plot = (asDataName ? "fit" : name) + "." + ext;
      const tavtest::RunResult run = tavtest::run_tavfit(
          {"-d", data, "-fit", "T1_RELAX", "-parms", "=900:=2:=1", "-o", "v.txt", "-short", "s.txt",
           "-plot", plot},
          dir);
      EXPECT_EQ(run.status, 0) << ext << run.out;
      if (ext != "gp") {
        EXPECT_TRUE(whole_plot(dir + "/" + plot)) << ext;
        continue;
      }
      const std::string drawn = plot.substr(0, plot.size() - 3) + ".svg";
      std::remove((dir + "/" + drawn).c_str());
      std::string output;
      EXPECT_EQ(tavtest::run_shell(dir, "gnuplot " + sh_word("./" + plot), &output), 0) << output;
      EXPECT_TRUE(whole_plot(dir + "/" + drawn));
    }
    EXPECT_EQ(names_starting(dir, "pwned"), std::vector<std::string>());
  }
}

TEST(Plot, DataFileNameNeverLeavesItsString) { check_hostile_names(true); }

TEST(Plot, PlotFileNameNeverLeavesItsString) { check_hostile_names(false); }

// Without gnuplot the reports are still written, then the run fails; the JSON
// document keeps every figure and says why.
TEST(Plot, MissingGnuplotFailsAfterTheReports) {
  const std::string dir = tavtest::make_temp_dir();
  std::string output;
  const int status = tavtest::run_shell(dir, "PATH=/nonexistent " + std::string(TAVFIT_BIN) + " -d " + kT1 +
                                    " -fit T1_RELAX -parms 900:2:1 -o v.txt -short s.txt"
                                    " -json fit.json -plot fit.png",
                           &output);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(output,
            " Fatal Error Detected!\n Message: Unable to draw plot 'fit.png': gnuplot not found; "
            "name a .gp file to get the script\n");
  EXPECT_EQ(tavtest::read_file(dir + "/s.txt"),
            "     1001.6     3.9131\n     1.9511  0.0049542\n     1.2431  0.0070176\n     3.8541\n 74\n");
  const nlohmann::json doc = nlohmann::json::parse(tavtest::read_file(dir + "/fit.json"));
  EXPECT_EQ(doc["status"], "failed");
  EXPECT_EQ(doc["message"],
            "Unable to draw plot 'fit.png': gnuplot not found; name a .gp file to get the script");
  EXPECT_EQ(doc["parameters"].size(), 3u);
  EXPECT_EQ(doc["points"].size(), 12u);
}

// A gnuplot that fails ends the run with the line of its complaint that names
// the script line, trimmed; a shell's "not found" status (127) and a
// temporary folder that cannot be written are said as such.
TEST(Plot, FailuresSayWhatWentWrong) {
  const std::string dir = tavtest::make_temp_dir();
  struct Case {
    const char *gnuplot;  // the body of a stand-in gnuplot
    const char *tmpdir;
    const char *why;
  } const kCases[] = {
      {"printf 'plot foo\\n     ^\\ns.gp line 3: undefined variable: foo \\n\\nmore\\n' >&2; exit 1",
       "/tmp", "gnuplot failed: s.gp line 3: undefined variable: foo"},
      {"exit 2", "/tmp", "gnuplot failed"},
      {"exit 127", "/tmp", "gnuplot not found; name a .gp file to get the script"},
      {"exit 0", "/nonexistent", "cannot create a temporary file in /nonexistent"},
      {"exit 0", "/tmp", "the file gnuplot wrote is incomplete"},
  };
  int n = 0;
  for (const Case &c : kCases) {
    const std::string bin = stand_in_gnuplot(dir + "/bin" + std::to_string(++n), c.gnuplot);
    std::string output;
    const int status =
        tavtest::run_shell(dir, "PATH=" + bin + " TMPDIR=" + c.tmpdir + " " + TAVFIT_BIN + " -d " + kT1 +
                       " -fit T1_RELAX -parms =900:=2:=1 -o v.txt -short s.txt -plot fit.svg",
              &output);
    EXPECT_EQ(status, 1) << c.gnuplot;
    EXPECT_EQ(output, std::string(" Fatal Error Detected!\n Message: Unable to draw plot 'fit.svg': ") +
                          c.why + "\n");
  }
  // A gnuplot that cannot be executed at all.
  const std::string bin = stand_in_gnuplot(dir + "/bin0", "exit 0");
  chmod((bin + "/gnuplot").c_str(), 0644);
  std::string output;
  EXPECT_EQ(tavtest::run_shell(dir, "PATH=" + bin + " " + TAVFIT_BIN + " -d " + kT1 +
                                        " -fit T1_RELAX -parms =900:=2:=1 -o v.txt -short s.txt -plot fit.svg",
                               &output),
            1);
  EXPECT_EQ(output, " Fatal Error Detected!\n Message: Unable to draw plot 'fit.svg': gnuplot "
                    "cannot be run: Permission denied\n");
}

// A script or plot whose bytes do not reach the disk (here a name for
// /dev/full, where only the final flush fails) is not reported as written.
TEST(Plot, UnwritableScriptOrPlotIsFatal) {
  const std::string dir = tavtest::make_temp_dir();
  for (const std::string name : {"full.gp", "full.svg"}) {
    std::string output;
    const int status = tavtest::run_shell(dir, "ln -s /dev/full " + name + " && " + kFitT1 + " -plot " + name, &output);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(output,
              " Fatal Error Detected!\n Message: Unable to write output file '" + name + "'.\n");
  }
}

// gnuplot reports no failed write, so a plot cut short (here by a file size
// limit; with SIGXFSZ ignored, writes fail as on a full disk) is found by
// its missing end.  The target is not left half written.
TEST(Plot, PlotCutShortIsAFailure) {
  const std::string dir = tavtest::make_temp_dir();
  tavtest::write_file(dir + "/xy1.dat", "0 0.0009 10\n5 0.1507 10\n10 0.2782 10\n20 0.4571 10\n");
  for (const std::string name : {"fit.svg", "fit.png", "fit.pdf"}) {
    std::string output;
    const int status = tavtest::run_shell(dir, "trap '' XFSZ; ulimit -f 8; " + std::string(TAVFIT_BIN) +
                                      " -d xy1.dat -fit XY1 -parms 1:10 -o v.txt -short s.txt"
                                      " -json fit.json -plot " + name,
                             &output);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(output, " Fatal Error Detected!\n Message: Unable to draw plot '" + name +
                          "': the file gnuplot wrote is incomplete\n");
    EXPECT_EQ(nlohmann::json::parse(tavtest::read_file(dir + "/fit.json"))["status"], "failed");
    EXPECT_EQ(tavtest::read_file(dir + "/" + name), "");
  }
  EXPECT_EQ(names_starting(dir, ".tavfit"), std::vector<std::string>());
}

// A temporary folder whose name starts with '-' is not an option to gnuplot.
TEST(Plot, TemporaryFolderNamedLikeAnOption) {
  const std::string dir = tavtest::make_temp_dir();
  std::string output;
  const int status = tavtest::run_shell(dir, "mkdir ./-tmp && TMPDIR=-tmp " + kFitT1 + " -plot fit.svg", &output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_TRUE(whole_plot(dir + "/fit.svg"));
}

// A run that a signal ends while gnuplot draws leaves no temporary file,
// neither gnuplot's script and log nor the plot's own beside the target.
TEST(Plot, SignalLeavesNoTemporaryFiles) {
  const std::string dir = tavtest::make_temp_dir();
  const std::string bin =
      stand_in_gnuplot(dir + "/bin", "echo $$ > started.tmp; mv started.tmp started; exec sleep 30");
  for (const std::string sig : {"INT", "TERM", "HUP"}) {
    std::string output;
    tavtest::run_shell(dir, "mkdir -p tmp; PATH=" + bin + ":$PATH TMPDIR=tmp " + kFitT1 + " -plot fit.svg &" +
                   " for i in $(seq 500); do [ -e started ] && break; sleep 0.01; done;" +
                   " kill -" + sig + " $!; wait $!; kill $(cat started); rm started",
          &output);
    EXPECT_EQ(names_starting(dir + "/tmp", "tavfit"), std::vector<std::string>()) << sig;
    EXPECT_EQ(names_starting(dir, ".tavfit"), std::vector<std::string>()) << sig;
  }
}

// The program ignores SIGPIPE; gnuplot, and what it runs, get the default.
TEST(Plot, GnuplotGetsTheDefaultSigpipe) {
  const std::string dir = tavtest::make_temp_dir();
  std::string gnuplot;
  ASSERT_EQ(tavtest::run_shell(dir, "command -v gnuplot", &gnuplot), 0);
  gnuplot.pop_back();  // the line break
  const std::string bin = stand_in_gnuplot(
      dir + "/bin",
      "sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status > ignored; exec " + gnuplot + " \"$@\"");
  std::string output;
  EXPECT_EQ(tavtest::run_shell(dir, "PATH=" + bin + ":$PATH " + kFitT1 + " -plot fit.svg", &output), 0) << output;
  const unsigned long long ignored = std::stoull(tavtest::read_file(dir + "/ignored"), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u);
}

// The extension picks gnuplot's terminal.
TEST(Plot, PngAndPdfAreDrawn) {
  const std::string dir = tavtest::make_temp_dir();
  for (const std::string name : {"fit.png", "fit.PDF"}) {
    const tavtest::RunResult run = tavtest::run_tavfit(
        {"-d", kT1, "-fit", "T1_RELAX", "-parms", "=900:=2:=1", "-o", "v.txt", "-short", "s.txt",
         "-plot", name},
        dir);
    EXPECT_EQ(run.status, 0) << name << run.out;
  }
  EXPECT_EQ(tavtest::read_file(dir + "/fit.png").substr(1, 3), "PNG");
  EXPECT_EQ(tavtest::read_file(dir + "/fit.PDF").substr(0, 5), "%PDF-");
}

// A model of X2 is drawn one line per X2 value up to six values; with more,
// the fitted values are one line in X order.
TEST(Plot, UpToSixX2ValuesAreSeparateLines) {
  const std::string dir = tavtest::make_temp_dir();
  for (int levels : {6, 7}) {
    std::string data;
    for (int level = 0; level < levels; ++level)
      for (int x : {1, 2}) data += format_msg("%d 0.%d %d\n", x, level + 1, 10 * (level + 1));
    tavtest::write_file(dir + "/xy1.dat", data);
    const tavtest::RunResult run = tavtest::run_tavfit(
        {"-d", "xy1.dat", "-fit", "XY1", "-parms", "=1:=10", "-o", "v.txt", "-short", "s.txt",
         "-plot", "fit.gp"},
        dir);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string script = tavtest::read_file(dir + "/fit.gp");
    const size_t from = script.find("$curve << EOD\n");
    ASSERT_NE(from, std::string::npos);
    const std::string curve = script.substr(from, script.find("EOD\n", from + 14) - from);
    EXPECT_EQ(count(curve, "\n\n"), levels == 6 ? 5 : 0) << curve;
  }
}

}  // namespace
