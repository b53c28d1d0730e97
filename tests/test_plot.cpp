// Plots: the script gnuplot runs, the SVG it draws, and a missing gnuplot.
#include <sys/wait.h>

#include <cstdio>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support.h"
#include "tavfit.h"

namespace {

const std::string kT1 = std::string(TAVFIT_EXAMPLES) + "/t1_relax.dat";

// Runs a shell command in dir; returns its exit status and what it printed
// on standard output and standard error.
int shell(const std::string &dir, const std::string &command, std::string *output) {
  FILE *pipe = popen(("cd '" + dir + "' && " + command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t got;
  output->clear();
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, got);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
    EXPECT_EQ(shell(dir, "gnuplot " + script, &output), 0);
    EXPECT_EQ(output, "") << script;  // no warning of any kind
    EXPECT_TRUE(well_formed(tavtest::read_file(dir + "/" + stem + ".svg"))) << stem;
  }
  // The script is self-contained: the data are inline, the held parameter is marked.
  const std::string script = tavtest::read_file(dir + "/t1.gp");
  EXPECT_NE(script.find("$points << EOD\n0.01 -936.5 "), std::string::npos);
  EXPECT_NE(script.find("$curve << EOD\n0.01 "), std::string::npos);  // from the smallest X
  EXPECT_NE(script.find("W = 2 (held)"), std::string::npos);
  EXPECT_EQ(script.find("plot '"), std::string::npos);  // no plot reads a file
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

// Without gnuplot the reports are still written, then the run fails; the JSON
// document keeps every figure and says why.
TEST(Plot, MissingGnuplotFailsAfterTheReports) {
  const std::string dir = tavtest::make_temp_dir();
  std::string output;
  const int status = shell(dir, "PATH=/nonexistent " + std::string(TAVFIT_BIN) + " -d " + kT1 +
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
  };
  int n = 0;
  for (const Case &c : kCases) {
    const std::string bin = dir + "/bin" + std::to_string(++n);
    std::string output;
    ASSERT_EQ(shell(dir, "mkdir " + bin + " && printf '#!/bin/sh\\n%s\\n' \"" + c.gnuplot + "\" > " +
                             bin + "/gnuplot && chmod +x " + bin + "/gnuplot",
                    &output),
              0)
        << output;
    const int status =
        shell(dir, "PATH=" + bin + " TMPDIR=" + c.tmpdir + " " + TAVFIT_BIN + " -d " + kT1 +
                       " -fit T1_RELAX -parms =900:=2:=1 -o v.txt -short s.txt -plot fit.svg",
              &output);
    EXPECT_EQ(status, 1) << c.gnuplot;
    EXPECT_EQ(output, std::string(" Fatal Error Detected!\n Message: Unable to draw plot 'fit.svg': ") +
                          c.why + "\n");
  }
}

// A script whose bytes do not reach the disk (here a name for /dev/full,
// where only the final flush fails) is not reported as written.
TEST(Plot, UnwritableScriptIsFatal) {
  const std::string dir = tavtest::make_temp_dir();
  std::string output;
  const int status = shell(dir, "ln -s /dev/full full.gp && " + std::string(TAVFIT_BIN) + " -d " +
                                    kT1 + " -fit T1_RELAX -parms =900:=2:=1 -o v.txt -short s.txt -plot full.gp",
                           &output);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(output, " Fatal Error Detected!\n Message: Unable to write output file 'full.gp'.\n");
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
