#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>


namespace tavtest {
namespace {

std::vector<std::string> &temp_dirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

void remove_temp_dirs() {
  for (const std::string &dir : temp_dirs()) {
    const std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) continue;
  }
}

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  return text;
}

}  // namespace

RunResult run_tavfit(const std::vector<std::string> &args, const std::string &dir) {
  // Standard error goes to a file so that neither pipe can fill and block.
  char errPath[] = "/tmp/tavfit_err_XXXXXX";
  const int errFd = mkstemp(errPath);
  int outPipe[2];
  if (errFd < 0 || pipe(outPipe) != 0) return {"", "", -1};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    close(outPipe[0]);
    close(outPipe[1]);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(TAVFIT_BIN));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(TAVFIT_BIN, argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  RunResult result;
  result.out = drain(outPipe[0]);
  close(outPipe[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  result.err = read_file(errPath);
  close(errFd);
  unlink(errPath);
  return result;
}

int run_shell(const std::string &dir, const std::string &command, std::string *output) {
  FILE *pipe = popen(("cd '" + dir + "' && (" + command + ") 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t got;
  output->clear();
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, got);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string make_temp_dir() {
  char path[] = "/tmp/tavfit_test_XXXXXX";
  if (mkdtemp(path) == nullptr) return "/tmp";
  if (temp_dirs().empty()) std::atexit(remove_temp_dirs);
  temp_dirs().push_back(path);
  return path;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string test_data(const std::string &name) { return std::string(TAVFIT_TEST_DATA) + "/" + name; }

tavfit::Curve read_sigma_curve(const std::string &name) {
  tavfit::Curve curve;
  std::ifstream in(test_data(name));
  std::string header;
  std::getline(in, header);
  for (double x, y, s; in >> x >> y >> s;) {
    curve.x.push_back(x), curve.y.push_back(y), curve.sigma.push_back(s);
  }
  return curve;
}

}  // namespace tavtest
