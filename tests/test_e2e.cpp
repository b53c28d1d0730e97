// End-to-end cases: each folder under tests/e2e/ is one run of the binary.
//
//   args      the command-line words, one per line; @EXAMPLES@ stands for the
//             examples folder.  The run happens in a fresh folder that holds
//             a copy of every other file of the case folder except the
//             expected ones below.
//   stdout    standard output, byte for byte
//   status    exit status (0 when absent)
//   expect/   files the run must leave in its folder, byte for byte
//   absent    names, one per line, of files the run must not leave
// The case list is read when the test binary lists its tests, so a new case
// folder is picked up at the next build.
#include <dirent.h>

#include <algorithm>
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

class EndToEnd : public ::testing::TestWithParam<std::string> {};

TEST_P(EndToEnd, MatchesExpectedOutputAndFiles) {
  if (!TAVFIT_HAVE_CERES && GetParam().rfind("ceres_", 0) == 0)
    GTEST_SKIP() << "built without the Ceres method";
  const std::string caseDir = kCases + "/" + GetParam();
  const std::string work = tavtest::make_temp_dir();
  const std::vector<std::string> reserved = {"args", "stdout", "status", "expect", "absent"};
  for (const std::string &name : list_dir(caseDir))
    if (std::find(reserved.begin(), reserved.end(), name) == reserved.end())
      tavtest::write_file(work + "/" + name, tavtest::read_file(caseDir + "/" + name));

  std::vector<std::string> args;
  for (const std::string &word : lines_of(tavtest::read_file(caseDir + "/args")))
    args.push_back(replace_all(word, "@EXAMPLES@", TAVFIT_EXAMPLES));
  const tavtest::RunResult run = tavtest::run_tavfit(args, work);

  EXPECT_EQ(run.out, tavtest::read_file(caseDir + "/stdout"));
  const std::string status = tavtest::read_file(caseDir + "/status");
  EXPECT_EQ(run.status, status.empty() ? 0 : std::stoi(status));
  for (const std::string &name : list_dir(caseDir + "/expect")) {
    EXPECT_TRUE(tavtest::file_exists(work + "/" + name)) << name;
    EXPECT_EQ(tavtest::read_file(work + "/" + name),
              tavtest::read_file(caseDir + "/expect/" + name))
        << "report file " << name;
  }
  for (const std::string &name : lines_of(tavtest::read_file(caseDir + "/absent")))
    EXPECT_FALSE(tavtest::file_exists(work + "/" + name)) << name;
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, ::testing::ValuesIn(list_dir(kCases)),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                           return info.param;
                         });

}  // namespace
