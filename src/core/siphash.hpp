// SipHash-1-3: one compression round per 8-byte block, three finalisation
// rounds.  It is the keyed hash of every map: fast enough for 8-byte keys and
// keyed per map, so no caller can choose ids that pile into one bucket.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarnwick {

namespace sip {

struct State {
  std::uint64_t v0, v1, v2, v3;

  constexpr State(std::uint64_t k0, std::uint64_t k1) noexcept
      : v0(k0 ^ 0x736f6d6570736575ULL),
        v1(k1 ^ 0x646f72616e646f6dULL),
        v2(k0 ^ 0x6c7967656e657261ULL),
        v3(k1 ^ 0x7465646279746573ULL) {}

  [[gnu::always_inline]] constexpr void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13) ^ v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16) ^ v2;
    v0 += v3;
    v3 = std::rotl(v3, 21) ^ v0;
    v2 += v1;
    v1 = std::rotl(v1, 17) ^ v2;
    v2 = std::rotl(v2, 32);
  }

  [[gnu::always_inline]] constexpr void compress(std::uint64_t m) noexcept {
    v3 ^= m;
    round();
    v0 ^= m;
  }

  // `last` is the final block: the tail bytes with the length in the top byte.
  [[gnu::always_inline]] constexpr std::uint64_t finish(std::uint64_t last) noexcept {
    compress(last);
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t m;
  std::memcpy(&m, p, sizeof m);
  if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
  return m;
}

}  // namespace sip

inline std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data,
                               std::size_t len) noexcept {
  const auto* in = static_cast<const unsigned char*>(data);
  sip::State s(k0, k1);
  std::size_t rest = len;
  for (; rest >= 8; rest -= 8, in += 8) s.compress(sip::load_le64(in));
  std::uint64_t last = static_cast<std::uint64_t>(len) << 56;
  for (std::size_t i = 0; i < rest; ++i) last |= std::uint64_t{in[i]} << (8 * i);
  return s.finish(last);
}

// The 8 little-endian bytes of `key` are exactly one block whose value is the
// key itself, followed by an empty tail of length 8.  Every lookup hashes
// once, so it is always inlined.
[[gnu::always_inline]] constexpr std::uint64_t siphash13_u64(std::uint64_t k0, std::uint64_t k1,
                                      std::uint64_t key) noexcept {
  sip::State s(k0, k1);
  s.compress(key);
  return s.finish(std::uint64_t{8} << 56);
}

}  // namespace tarnwick
