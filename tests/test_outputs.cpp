// Output files are whole or not there: concurrent runs, readers during a
// run, permissions, links, standard output, and the runs that end early
// (a check that fails, a reader that went away, a signal).
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support.h"

namespace {

const std::string kT1 = std::string(TAVFIT_EXAMPLES) + "/t1_relax.dat";
const std::string kFit = std::string(TAVFIT_BIN) + " -d " + kT1 + " -fit T1_RELAX -parms 900:2:1";

std::string status_of(const std::string &jsonPath) {
  const nlohmann::json doc = nlohmann::json::parse(tavtest::read_file(jsonPath), nullptr, false);
  return doc.is_discarded() ? "not JSON" : doc.value("status", "no status");
}

bool has_temporary_files(const std::string &dir) {
  std::string listing;
  tavtest::run_shell(dir, "ls -A", &listing);
  return listing.find(".tavfit-") != std::string::npos;
}

// Twenty runs write the same report and JSON file at once, each with its own
// text, while a reader keeps reading them: every read sees the old file or
// one run's whole text, and one run's text is left.
TEST(Outputs, ConcurrentRunsAndReadersSeeWholeFiles) {
  const std::string dir = tavtest::make_temp_dir();
  constexpr int kRuns = 20;
  std::vector<std::string> reports;
  for (int i = 0; i < kRuns; ++i) {
    const tavtest::RunResult run = tavtest::run_tavfit(
        {"-d", kT1, "-fit", "T1_RELAX", "-parms", "900:2:1", "-itmax", std::to_string(500 + i),
         "-short", "/dev/null"});
    ASSERT_EQ(run.status, 0);
    reports.push_back(run.out);
  }
  tavtest::write_file(dir + "/v.txt", "old\n");
  auto known = [&](const std::string &text) {
    return text == "old\n" || std::find(reports.begin(), reports.end(), text) != reports.end();
  };

  std::string script = "for i in $(seq 0 " + std::to_string(kRuns - 1) + "); do " + kFit +
                       " -itmax $((500 + i)) -o v.txt -short /dev/null -json r.json & done; wait";
  FILE *runs = popen(("cd '" + dir + "' && (" + script + ") >/dev/null 2>&1").c_str(), "r");
  ASSERT_NE(runs, nullptr);
  std::thread reader([&] {
    for (int k = 0; k < 2000; ++k) {
      const std::string text = tavtest::read_file(dir + "/v.txt");
      ASSERT_TRUE(known(text)) << "read " << text.size() << " bytes";
      if (tavtest::file_exists(dir + "/r.json")) {
        ASSERT_NE(status_of(dir + "/r.json"), "not JSON");
      }
    }
  });
  reader.join();
  pclose(runs);
  const std::string last = tavtest::read_file(dir + "/v.txt");
  EXPECT_TRUE(known(last) && last != "old\n");
  EXPECT_EQ(status_of(dir + "/r.json"), "ok");
  EXPECT_FALSE(has_temporary_files(dir));
}

// A new file gets the permissions open() would give it; a file that is
// replaced keeps its own; a symbolic link stays a link to the new text.
TEST(Outputs, ReplacedFilesKeepTheirModeAndLinks) {
  const std::string dir = tavtest::make_temp_dir();
  tavtest::write_file(dir + "/kept.txt", "old\n");
  chmod((dir + "/kept.txt").c_str(), 0640);
  tavtest::write_file(dir + "/target.txt", "old\n");
  ASSERT_EQ(symlink("target.txt", (dir + "/link.txt").c_str()), 0);
  ASSERT_EQ(symlink("later.txt", (dir + "/dangling.txt").c_str()), 0);
  std::string output;
  ASSERT_EQ(tavtest::run_shell(dir, "umask 027 && " + kFit +
                                        " -o new.txt -short kept.txt -json link.txt",
                               &output),
            0)
      << output;
  struct stat info;
  ASSERT_EQ(stat((dir + "/new.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  ASSERT_EQ(chmod((dir + "/new.txt").c_str(), 0604), 0);
  ASSERT_EQ(tavtest::run_shell(dir, "umask 077 && " + kFit + " -o new.txt -short dangling.txt",
                               &output),
            0);
  ASSERT_EQ(stat((dir + "/new.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
  ASSERT_EQ(stat((dir + "/kept.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  ASSERT_EQ(lstat((dir + "/link.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(status_of(dir + "/target.txt"), "ok");
  ASSERT_EQ(lstat((dir + "/dangling.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(tavtest::read_file(dir + "/later.txt").substr(0, 12), "     1001.6 ");
}

// A file its user may not write is refused before the fit, although its
// folder would take the new file that replaces it.  (Run as nobody when the
// tests run as root, whom no permission stops.)
TEST(Outputs, ReadOnlyFileIsRefusedBeforeTheFit) {
  const std::string dir = tavtest::make_temp_dir();
  chmod(dir.c_str(), 0777);
  tavtest::write_file(dir + "/kept.txt", "old\n");
  chmod((dir + "/kept.txt").c_str(), 0444);
  const std::string as = getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  std::string output;
  if (tavtest::run_shell(dir, as + "test -x " + TAVFIT_BIN + " -a -r " + kT1, &output) != 0)
    GTEST_SKIP() << "the program or its example curve is out of reach of user nobody";
  EXPECT_EQ(tavtest::run_shell(dir, as + kFit + " -o kept.txt", &output), 1);
  EXPECT_EQ(output, " Fatal Error Detected!\n Message: Unable to open output file 'kept.txt'.\n");
  EXPECT_EQ(tavtest::read_file(dir + "/kept.txt"), "old\n");
}

// A FIFO is written in place, whole, to the reader that waits at its end:
// the check of the command line does not open it (its reader would see an
// end of file), and a report larger than the pipe holds is written on as
// the reader drains it.
TEST(Outputs, FifoIsWrittenInPlace) {
  const std::string dir = tavtest::make_temp_dir();
  ASSERT_EQ(mkfifo((dir + "/v.fifo").c_str(), 0600), 0);
  const std::string fit = std::string(TAVFIT_BIN) + " -d " + TAVFIT_BENCH_CURVE +
                          " -fit T1_RELAX -parms 80:1.5:1 -short /dev/null";
  std::string output;
  ASSERT_EQ(tavtest::run_shell(dir, "cat v.fifo > got.txt & " + fit + " -o v.fifo; wait", &output),
            0)
      << output;
  ASSERT_EQ(tavtest::run_shell(dir, fit + " -o want.txt", &output), 0);
  const std::string want = tavtest::read_file(dir + "/want.txt");
  EXPECT_GT(want.size(), 65536u);
  EXPECT_EQ(tavtest::read_file(dir + "/got.txt"), want);
}

// Outputs named by the file standard output goes to (a plot through a
// link) follow the reports in the stream, which keeps them; an output that is
// the data file is refused also when it is where standard output goes.
TEST(Outputs, OutputsOnStandardOutputFollowTheReports) {
  const std::string dir = tavtest::make_temp_dir();
  ASSERT_EQ(symlink("/dev/stdout", (dir + "/out.svg").c_str()), 0);
  std::string output;
  ASSERT_EQ(tavtest::run_shell(dir, kFit + " -plot out.svg -json /dev/stdout > out.txt", &output),
            0);
  const std::string text = tavtest::read_file(dir + "/out.txt");
  const size_t svg = text.find("<?xml");
  const size_t json = text.find("{\n  \"tavfit\"");
  ASSERT_NE(svg, std::string::npos);
  ASSERT_NE(json, std::string::npos);
  EXPECT_EQ(text.substr(0, svg), tavtest::run_tavfit({"-d", kT1, "-fit", "T1_RELAX", "-parms",
                                                      "900:2:1"}).out);
  EXPECT_EQ(text.find_first_not_of(" \n", text.rfind("</svg>", json) + 6), json);
  EXPECT_EQ(nlohmann::json::parse(text.substr(json))["status"], "ok");

  const std::string data = tavtest::read_file(kT1);
  tavtest::write_file(dir + "/d.dat", data);
  EXPECT_EQ(tavtest::run_shell(dir,
                               std::string(TAVFIT_BIN) +
                                   " -d d.dat -fit T1_RELAX -parms 900:2:1 -json d.dat >> d.dat",
                               &output),
            1);
  EXPECT_EQ(tavtest::read_file(dir + "/d.dat"),
            data + " Fatal Error Detected!\n Message: Output file 'd.dat' is the data file.\n");
}

// After a good run, every failing run with the same -json leaves a failure
// document: checks of the command line, a standard output whose reader went
// away, and a signal, which also removes the temporary files.
TEST(Outputs, EveryFailureReplacesAnEarlierResult) {
  const std::string dir = tavtest::make_temp_dir();
  const std::string good = kFit + " -json r.json";
  std::string output;
  for (const char *failing : {" -o " /* the data file */, " -o r.json", " -o nodir/v.txt"}) {
    ASSERT_EQ(tavtest::run_shell(dir, good, &output), 0);
    ASSERT_EQ(status_of(dir + "/r.json"), "ok");
    const std::string extra = std::string(failing) == " -o " ? " -o " + kT1 : failing;
    EXPECT_EQ(tavtest::run_shell(dir, good + extra, &output), 1) << extra;
    EXPECT_EQ(status_of(dir + "/r.json"), "failed") << extra;
  }

  // A pipe whose reader has gone: no death by SIGPIPE, the write is reported.
  ASSERT_EQ(tavtest::run_shell(dir, good, &output), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    if (chdir(dir.c_str()) != 0) _exit(127);
    execl("/bin/sh", "sh", "-c", (good + " 2>err.txt").c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(tavtest::read_file(dir + "/err.txt"), "Unable to write standard output.\n");
  EXPECT_EQ(status_of(dir + "/r.json"), "failed");

  // A data file that is a FIFO holds the run in set-up until the signal.
  ASSERT_EQ(mkfifo((dir + "/fifo.dat").c_str(), 0600), 0);
  for (int sig : {SIGINT, SIGTERM}) {
    ASSERT_EQ(tavtest::run_shell(dir, good, &output), 0);
    const pid_t run = fork();
    if (run == 0) {
      if (chdir(dir.c_str()) != 0) _exit(127);
      execl(TAVFIT_BIN, TAVFIT_BIN, "-d", "fifo.dat", "-fit", "LINE", "-json", "r.json", "-o",
            "v.txt", static_cast<char *>(nullptr));
      _exit(127);
    }
    for (int k = 0; k < 500 && status_of(dir + "/r.json") == "ok"; ++k)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(run, sig);
    waitpid(run, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    const nlohmann::json doc = nlohmann::json::parse(tavtest::read_file(dir + "/r.json"));
    EXPECT_EQ(doc["status"], "failed");
    EXPECT_EQ(doc["message"], "The run did not finish (interrupted or killed).");
    EXPECT_TRUE(doc.contains("termination") && doc["termination"].is_null());
    EXPECT_FALSE(tavtest::file_exists(dir + "/v.txt"));
    EXPECT_FALSE(has_temporary_files(dir));
  }
}

}  // namespace
