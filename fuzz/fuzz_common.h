// Shared set-up of the fuzz targets: fatal paths unwind to the target instead
// of ending the process, and messages go nowhere.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "program.h"

namespace fuzz {

struct FatalUnwind {};

inline void throw_on_fatal(const std::string &) { throw FatalUnwind{}; }

// Once per process: standard output to /dev/null (libFuzzer reports on
// standard error) and the throwing fatal hook.
inline void set_up() {
  static bool done = false;
  if (done) return;
  done = true;
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  add_fatal_hook(throw_on_fatal);
}

// The readers take a path: each input goes through one in-memory file,
// rewritten for every input (a file on disk costs milliseconds per input).
// Returns its path.
inline const std::string &as_file(const uint8_t *data, size_t size) {
  static int fd = -1;
  static std::string path;
  if (fd < 0) {
    fd = memfd_create("tavfit_fuzz_input", 0);
    if (fd < 0) __builtin_trap();
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    __builtin_trap();
  return path;
}

}  // namespace fuzz
