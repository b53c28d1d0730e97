// libFuzzer target: the curve data reader, read_crv_data, on arbitrary file
// contents.  Fatal messages (too many or too few points, inconsistent
// columns, NUL bytes, UTF-16 text, overlong lines) are normal outcomes; memory
// errors and undefined behaviour are not.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_common.h"

namespace {

double x[kMaxData], y[kMaxData], x2[kMaxData];
int inputFd = -1;
std::string inputPath;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::set_up();
  // The reader takes a path: the input goes through an in-memory file (a
  // file on disk costs milliseconds per input).
  if (inputFd < 0) {
    inputFd = memfd_create("tavfit_fuzz_reader", 0);
    if (inputFd < 0) __builtin_trap();
    inputPath = "/proc/self/fd/" + std::to_string(inputFd);
  }
  if (ftruncate(inputFd, 0) != 0 ||
      pwrite(inputFd, data, size, 0) != static_cast<ssize_t>(size))
    __builtin_trap();
  const std::string &path = inputPath;

  int count = 0, columns = 0;
  try {
    if (read_crv_data(path.c_str(), x, y, x2, &count, &columns) == 1 &&
        (count < kMinData || count > kMaxData || (columns != 2 && columns != 3)))
      __builtin_trap();
  } catch (const fuzz::FatalUnwind &) {
  }
  clear_run_messages();
  return 0;
}
