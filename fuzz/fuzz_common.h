// Shared set-up of the fuzz targets: fatal paths unwind to the target instead
// of ending the process, and messages go nowhere.
#pragma once

#include <fcntl.h>
#include <unistd.h>

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

}  // namespace fuzz
