// Helpers shared by the tests: running the built binary and temporary files.
#pragma once

#include <string>
#include <vector>

#include <tavfit/tavfit.h>

namespace tavtest {

struct RunResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status;       // exit status, or -1 when the process did not exit normally
};

// Runs the tavfit binary with the given arguments (program name excluded) in
// the directory dir (the current one when empty).
RunResult run_tavfit(const std::vector<std::string> &args, const std::string &dir = "");

// Runs a shell command in dir; returns its exit status (-1 when it did not
// exit normally) and leaves what it printed on standard output and standard
// error, interleaved, in output.
int run_shell(const std::string &dir, const std::string &command, std::string *output);

// A fresh, empty directory under /tmp, removed at process exit.
std::string make_temp_dir();

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);

// Path of a file in tests/data.
std::string test_data(const std::string &name);

// The points of a tests/data file of "X Y SD" lines after one header line,
// with their sigmas.
tavfit::Curve read_sigma_curve(const std::string &name);

}  // namespace tavtest
