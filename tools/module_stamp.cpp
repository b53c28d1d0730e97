// Build tool: writes the header that stamps the Ceres module's size and
// checksum into the program, which then refuses any other module file.
//   tavfit_module_stamp MODULE HEADER
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "file_checksum.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s MODULE HEADER\n", argv[0]);
    return 2;
  }
  const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  std::uint64_t checksum = 0, size = 0;
  if (fd < 0 || !file_checksum(fd, &checksum, &size)) {
    std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  close(fd);
  FILE *out = std::fopen(argv[2], "w");
  if (out == nullptr) {
    std::fprintf(stderr, "%s: %s\n", argv[2], std::strerror(errno));
    return 1;
  }
  std::fprintf(out,
               "// The Ceres module this program was built with; written by "
               "tavfit_module_stamp.\n"
               "#pragma once\n\n"
               "#define TAVFIT_CERES_MODULE_SIZE %" PRIu64 "ULL\n"
               "#define TAVFIT_CERES_MODULE_CHECKSUM 0x%016" PRIx64 "ULL\n",
               size, checksum);
  if (std::fclose(out) != 0) {
    std::fprintf(stderr, "%s: %s\n", argv[2], std::strerror(errno));
    return 1;
  }
  return 0;
}
