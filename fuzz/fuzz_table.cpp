// libFuzzer target: the table reader, read_table, on arbitrary file contents
// under one of a few column choices (the input's first byte picks it).
// Fatal messages (unclear separators, quotes, missing or non-numeric fields,
// too few points) are normal outcomes; memory errors and undefined behaviour
// are not, and neither is a table whose columns differ in length.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_common.h"

namespace {

const char *const kSpecs[] = {"x=1,y=2", "x=1,y=2,x2=3,sigma=4", "x=a,y=\"b, c\",sigma=err",
                              "x=2,y=delay"};
int inputFd = -1;
std::string inputPath;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  fuzz::set_up();
  if (inputFd < 0) {
    inputFd = memfd_create("tavfit_fuzz_table", 0);
    if (inputFd < 0) __builtin_trap();
    inputPath = "/proc/self/fd/" + std::to_string(inputFd);
  }
  if (ftruncate(inputFd, 0) != 0 ||
      pwrite(inputFd, data + 1, size - 1, 0) != static_cast<ssize_t>(size - 1))
    __builtin_trap();

  ColumnSpec spec;
  std::string error;
  if (!parse_columns(kSpecs[data[0] % 4], &spec, &error)) __builtin_trap();
  TableData table;
  try {
    if (read_table(inputPath.c_str(), spec, &table) &&
        (table.x.size() < static_cast<size_t>(kMinData) || table.y.size() != table.x.size() ||
         table.x2.size() != table.x.size() ||
         table.sigma.size() != (spec.sigma.given() ? table.x.size() : 0)))
      __builtin_trap();
  } catch (const fuzz::FatalUnwind &) {
  }
  clear_run_messages();
  return 0;
}
