// The checksum by which the program knows its Ceres module: the build stamps
// it into the program, and the program compares it before loading the module.
//
// The file, zero-padded to a multiple of 32 bytes, is read as little-endian
// 64-bit words; word i goes to lane i mod 4, each lane an FNV-1a 64 over whole
// words; the checksum is FNV-1a 64 over the four lane values and the size.
// Four lanes of words hash a module of a few MB about as fast as it is read,
// where FNV-1a over bytes would add some 10 ms to every -ceres run.
// Any change within one word always changes the checksum.  It guards against
// damage, not against tampering.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace file_checksum_detail {

constexpr std::uint64_t kOffset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kPrime = 0x100000001b3ULL;

inline std::uint64_t load_le64(const unsigned char *p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = __builtin_bswap64(w);
#endif
  return w;
}

}  // namespace file_checksum_detail

// Reads fd to its end.  Returns false, with errno set, when a read fails.
inline bool file_checksum(int fd, std::uint64_t *checksum, std::uint64_t *size) {
  using namespace file_checksum_detail;
  // 64 KiB stays in the cache between read and hash; larger blocks are slower.
  constexpr std::size_t kBlock = 1 << 16;
  std::vector<unsigned char> buffer(kBlock);
  unsigned char *block = buffer.data();
  std::uint64_t lane[4] = {kOffset, kOffset, kOffset, kOffset};
  std::uint64_t total = 0;
  for (bool end = false; !end;) {
    std::size_t filled = 0;
    while (filled < kBlock) {
      const ssize_t got = read(fd, block + filled, kBlock - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) {
        end = true;
        break;
      }
      filled += static_cast<std::size_t>(got);
    }
    total += filled;
    const std::size_t padded = (filled + 31) / 32 * 32;
    std::memset(block + filled, 0, padded - filled);
    std::uint64_t a = lane[0], b = lane[1], c = lane[2], d = lane[3];
    for (const unsigned char *p = block; p < block + padded; p += 32) {
      a = (a ^ load_le64(p)) * kPrime;
      b = (b ^ load_le64(p + 8)) * kPrime;
      c = (c ^ load_le64(p + 16)) * kPrime;
      d = (d ^ load_le64(p + 24)) * kPrime;
    }
    lane[0] = a, lane[1] = b, lane[2] = c, lane[3] = d;
  }
  std::uint64_t h = kOffset;
  for (std::uint64_t v : {lane[0], lane[1], lane[2], lane[3], total}) h = (h ^ v) * kPrime;
  *checksum = h;
  *size = total;
  return true;
}
