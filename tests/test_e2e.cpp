// End-to-end cases: each folder under tests/e2e/ is one run of the binary.
//
//   args      the command-line words, one per line; @EXAMPLES@ stands for the
//             examples folder, here and in the expected texts.  The run
//             happens in a fresh folder that holds a copy of every other
//             file of the case folder except the expected ones below.
//   stdout    standard output, byte for byte
//   stderr    standard error, byte for byte (not compared when absent)
//   status    exit status (0 when absent)
//   expect/   files the run must leave in its folder, byte for byte
//   absent    names, one per line, of files the run must not leave
//   NAME.gen  a generated data file NAME: its first line is a point count N,
//             and NAME holds the N lines "i i%2" (i from 0) followed by the
//             rest of NAME.gen, so that large files need not be committed
// The case list is read when the test binary lists its tests, so a new case
// folder is picked up at the next build.
#include <dirent.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>

#include "support.h"

namespace {

const std::string kCases = std::string(TAVFIT_TEST_DATA) + "/../e2e";

std::vector<std::string> list_dir(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *entry = readdir(d))
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

void write_case_file(const std::string &work, const std::string &name, const std::string &text) {
  const size_t suffix = name.size() >= 4 ? name.size() - 4 : std::string::npos;
  if (suffix == std::string::npos || name.compare(suffix, 4, ".gen") != 0) {
    tavtest::write_file(work + "/" + name, text);
    return;
  }
  const size_t firstLine = text.find('\n');
  std::string points;
  for (int i = 0, n = std::stoi(text.substr(0, firstLine)); i < n; ++i)
    points += std::to_string(i) + " " + std::to_string(i % 2) + "\n";
  tavtest::write_file(work + "/" + name.substr(0, suffix), points + text.substr(firstLine + 1));
}

class EndToEnd : public ::testing::TestWithParam<std::string> {};

TEST_P(EndToEnd, MatchesExpectedOutputAndFiles) {
  if (!TAVFIT_HAVE_CERES && GetParam().rfind("ceres_", 0) == 0)
    GTEST_SKIP() << "built without the Ceres method";
  const std::string caseDir = kCases + "/" + GetParam();
  const std::string work = tavtest::make_temp_dir();
  const std::vector<std::string> reserved = {"args", "stdout", "stderr", "status",
                                               "expect", "absent"};
  for (const std::string &name : list_dir(caseDir))
    if (std::find(reserved.begin(), reserved.end(), name) == reserved.end())
      write_case_file(work, name, tavtest::read_file(caseDir + "/" + name));

  std::vector<std::string> args;
  for (const std::string &word : lines_of(tavtest::read_file(caseDir + "/args")))
    args.push_back(replace_all(word, "@EXAMPLES@", TAVFIT_EXAMPLES));
  const tavtest::RunResult run = tavtest::run_tavfit(args, work);

  // Expected texts may name the examples folder as @EXAMPLES@ too.
  auto expected = [&caseDir](const std::string &name) {
    return replace_all(tavtest::read_file(caseDir + "/" + name), "@EXAMPLES@", TAVFIT_EXAMPLES);
  };
  EXPECT_EQ(run.out, expected("stdout"));
  if (tavtest::file_exists(caseDir + "/stderr")) {
    EXPECT_EQ(run.err, expected("stderr")) << "standard error";
  }
  const std::string status = tavtest::read_file(caseDir + "/status");
  EXPECT_EQ(run.status, status.empty() ? 0 : std::stoi(status));
  for (const std::string &name : list_dir(caseDir + "/expect")) {
    EXPECT_TRUE(tavtest::file_exists(work + "/" + name)) << name;
    EXPECT_EQ(tavtest::read_file(work + "/" + name), expected("expect/" + name))
        << "report file " << name;
  }
  for (const std::string &name : lines_of(tavtest::read_file(caseDir + "/absent")))
    EXPECT_FALSE(tavtest::file_exists(work + "/" + name)) << name;
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, ::testing::ValuesIn(list_dir(kCases)),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                           return info.param;
                         });

// Runs the binary through the shell, so that a case can redirect or close
// standard output, or run it under a command such as timeout; returns the exit
// status and leaves standard error in err.
int run_redirected(const std::string &args, const std::string &redirect, std::string *err,
              const std::string &wrapper = "") {
  const std::string dir = tavtest::make_temp_dir();
  const std::string command = "cd " + dir + " && " + wrapper + " '" + TAVFIT_BIN + "' " + args +
                              " " + redirect + " 2> err.txt";
  const int status = std::system(command.c_str());
  *err = tavtest::read_file(dir + "/err.txt");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::string kT1Fit =
    std::string("-d ") + TAVFIT_EXAMPLES + "/t1_relax.dat -fit T1_RELAX -parms 900:2:1";

TEST(StandardOutput, AFailedWriteEndsTheRunWithStatusOne) {
  std::string err;
  EXPECT_EQ(run_redirected(kT1Fit, "> /dev/full", &err), 1);
  EXPECT_EQ(err, "Unable to write standard output.\n");
  EXPECT_EQ(run_redirected(kT1Fit, ">&-", &err), 1);
  EXPECT_EQ(err, "Unable to write standard output.\n");
  for (const char *word : {"-h", "-version", "-list", "-describe T1_RELAX"}) {
    EXPECT_EQ(run_redirected(word, "> /dev/full", &err), 1) << word;
    EXPECT_EQ(err, "Unable to write standard output.\n") << word;
  }
  const std::string json = tavtest::make_temp_dir() + "/fit.json";
  EXPECT_EQ(run_redirected(kT1Fit + " -json " + json, "> /dev/full", &err), 1);
  const std::string doc = tavtest::read_file(json);
  EXPECT_NE(doc.find("\"status\": \"failed\""), std::string::npos) << doc;
  EXPECT_NE(doc.find("Unable to write standard output."), std::string::npos) << doc;
}

TEST(StandardOutput, ClosedButUnusedIsNoFailureAndReceivesNoReport) {
  const std::string dir = tavtest::make_temp_dir();
  std::string err;
  const std::string files = " -o " + dir + "/v.txt -short " + dir + "/s.txt";
  EXPECT_EQ(run_redirected(kT1Fit + files, ">&-", &err), 0);
  EXPECT_EQ(err, "");
  const tavtest::RunResult piped =
      tavtest::run_tavfit({"-d", std::string(TAVFIT_EXAMPLES) + "/t1_relax.dat", "-fit",
                           "T1_RELAX", "-parms", "900:2:1"});
  EXPECT_EQ(tavtest::read_file(dir + "/v.txt") + tavtest::read_file(dir + "/s.txt"), piped.out);
}

// A report named /dev/stdout follows the solver summary also when standard
// output is a file the shell opened, appending or not.
TEST(StandardOutput, ReportOnStdoutFileFollowsTheSummary) {
  const std::vector<std::string> args = {"-d", std::string(TAVFIT_EXAMPLES) + "/t1_relax.dat",
                                         "-fit", "T1_RELAX", "-parms", "900:2:1", "-levmar",
                                         "-o", "/dev/stdout"};
  const std::string piped = tavtest::run_tavfit(args).out;
  ASSERT_NE(piped.find("Solution:"), std::string::npos);
  ASSERT_LT(piped.find("Solution:"), piped.find("Data Input.:"));
  const std::string dir = tavtest::make_temp_dir();
  std::string err;
  EXPECT_EQ(run_redirected(kT1Fit + " -levmar -o /dev/stdout", "> " + dir + "/out.txt", &err), 0);
  EXPECT_EQ(tavtest::read_file(dir + "/out.txt"), piped);
  tavtest::write_file(dir + "/log.txt", "earlier run\n");
  EXPECT_EQ(run_redirected(kT1Fit + " -levmar -o /dev/stdout -log /dev/stdout",
                      ">> " + dir + "/log.txt", &err),
            0);
  EXPECT_EQ(tavtest::read_file(dir + "/log.txt"), "earlier run\n" + piped);
}

// A file without newlines ends at the line-length limit instead of filling
// memory; the timeout only keeps such a fault from stalling the suite.
TEST(DataFile, EndlessLineIsRefused) {
  const std::string dir = tavtest::make_temp_dir();
  std::string err;
  EXPECT_EQ(run_redirected("-d /dev/zero -fit LINE -parms 1:1", "> " + dir + "/out.txt", &err,
                      "timeout 10"),
            1);
  EXPECT_EQ(tavtest::read_file(dir + "/out.txt"),
            " Fatal Error Detected!\n"
            " Message: Line 1 of the data file is longer than 1048576 characters.\n");
}

}  // namespace
