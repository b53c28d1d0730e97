// libFuzzer target: the table reader, read_table, on arbitrary file contents
// under one of a few column choices (the input's first byte picks it).
// Fatal messages (unclear separators, quotes, missing or non-numeric fields,
// too few points) are normal outcomes; memory errors and undefined behaviour
// are not, and neither is a table whose columns differ in length.
#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

namespace {

const char *const kChoices[] = {"x=1,y=2", "x=1,y=2,x2=3,sigma=4", "x=a,y=\"b, c\",sigma=err",
                                "x=2,y=delay"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  fuzz::set_up();
  const std::string &path = fuzz::as_file(data + 1, size - 1);

  ColumnChoice choice;
  std::string error;
  if (!parse_columns(kChoices[data[0] % 4], &choice, &error)) __builtin_trap();
  TableData table;
  try {
    if (read_table(path.c_str(), choice, &table) &&
        (table.x.size() < static_cast<size_t>(kMinData) || table.y.size() != table.x.size() ||
         table.x2.size() != table.x.size() ||
         table.sigma.size() != (choice.sigma.given() ? table.x.size() : 0)))
      __builtin_trap();
  } catch (const fuzz::FatalUnwind &) {
  }
  clear_run_messages();
  return 0;
}
