// Unsigned LEB128 varints, as the blob uses them for lengths.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

inline std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

inline unsigned char* put_varint(unsigned char* p, std::uint64_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<unsigned char>(v | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<unsigned char>(v);
  return p;
}

inline const unsigned char* get_varint(const unsigned char* p, std::uint64_t* v) {
  std::uint64_t r = 0;
  unsigned shift = 0;
  while (*p & 0x80) {
    r |= static_cast<std::uint64_t>(*p++ & 0x7f) << shift;
    shift += 7;
  }
  *v = r | (static_cast<std::uint64_t>(*p++) << shift);
  return p;
}

}  // namespace tarnwick
