// libFuzzer target: the curve data reader, read_crv_data, on arbitrary file
// contents.  Fatal messages (too many or too few points, inconsistent
// columns, NUL bytes, UTF-16 text, overlong lines) are normal outcomes; memory
// errors and undefined behaviour are not.
#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

namespace {

double x[kMaxData], y[kMaxData], x2[kMaxData];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::set_up();
  const std::string &path = fuzz::as_file(data, size);
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
