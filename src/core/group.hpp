// Control bytes and 16-byte groups of them.
//
// Every bucket of a flat table has one control byte:
//
//   0xFF          empty
//   0x80          deleted (an entry was removed here; probes go on past it)
//   0x00 .. 0x7F  full; the low 7 bits are the tag, the top 7 bits of the
//                 entry's 64-bit hash
//
// So "full" is exactly "high bit clear", and "empty or deleted" exactly "high
// bit set".  A Group answers three questions about 16 consecutive control
// bytes at once, each as a BitMask with bit i set for byte i:
//
//   match(tag)                 bytes equal to tag
//   match_empty()              bytes equal to 0xFF
//   match_empty_or_deleted()   bytes with the high bit set
//
// GroupSse2 does each with one compare and one movemask.  GroupPortable does
// the same on two 64-bit words with exact byte tests (no false positives, so
// both give identical answers for every input), then gathers the high bit of
// each byte into one bit per byte.  `Group` is whichever one the target
// supports; both stay compiled where possible so tests can hold them
// against each other.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tarnwick {

inline constexpr std::uint8_t kCtrlEmpty = 0xFF;
inline constexpr std::uint8_t kCtrlDeleted = 0x80;
inline constexpr unsigned kGroupWidth = 16;

constexpr std::uint8_t tag_of(std::uint64_t hash) noexcept {
  return static_cast<std::uint8_t>(hash >> 57);
}

// A set of byte positions within a group, iterated lowest first.
class BitMask {
 public:
  class iterator {
   public:
    constexpr explicit iterator(std::uint32_t bits) noexcept : bits_(bits) {}
    constexpr unsigned operator*() const noexcept {
      return static_cast<unsigned>(std::countr_zero(bits_));
    }
    constexpr iterator& operator++() noexcept {
      bits_ &= bits_ - 1;
      return *this;
    }
    constexpr bool operator==(const iterator&) const noexcept = default;

   private:
    std::uint32_t bits_;
  };

  constexpr explicit BitMask(std::uint32_t bits) noexcept : bits_(bits) {}
  constexpr explicit operator bool() const noexcept { return bits_ != 0; }
  constexpr unsigned lowest() const noexcept {
    return static_cast<unsigned>(std::countr_zero(bits_));
  }
  constexpr std::uint32_t bits() const noexcept { return bits_; }
  constexpr iterator begin() const noexcept { return iterator(bits_); }
  constexpr iterator end() const noexcept { return iterator(0); }

 private:
  std::uint32_t bits_;
};

class GroupPortable {
 public:
  explicit GroupPortable(const std::uint8_t* ctrl) noexcept {
    std::memcpy(&lo_, ctrl, 8);
    std::memcpy(&hi_, ctrl + 8, 8);
    if constexpr (std::endian::native == std::endian::big) {
      lo_ = __builtin_bswap64(lo_);
      hi_ = __builtin_bswap64(hi_);
    }
  }

  BitMask match(std::uint8_t tag) const noexcept {
    return gather(zero_bytes(lo_ ^ (kLsbs * tag)), zero_bytes(hi_ ^ (kLsbs * tag)));
  }
  BitMask match_empty() const noexcept {
    return gather(zero_bytes(~lo_), zero_bytes(~hi_));
  }
  BitMask match_empty_or_deleted() const noexcept {
    return gather(lo_ & kMsbs, hi_ & kMsbs);
  }

 private:
  static constexpr std::uint64_t kLsbs = 0x0101010101010101ULL;
  static constexpr std::uint64_t kMsbs = 0x8080808080808080ULL;
  static constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;

  // High bit set in exactly the bytes of x that are zero.  The addition
  // cannot carry between bytes (0x7F + 0x7F < 0x100), unlike the shorter
  // subtract-and-mask trick, which flags a 0x01 byte above a zero byte.
  static constexpr std::uint64_t zero_bytes(std::uint64_t x) noexcept {
    return ~(((x & kLow7) + kLow7) | x | kLow7);
  }

  // Byte i's high bit becomes bit i of the top byte: after >> 7 each byte is
  // 0 or 1, and the multiplier adds byte i shifted so that it lands on bit
  // 56 + i; every other partial product falls below bit 56 without carries,
  // or above bit 63.
  static constexpr std::uint32_t gather8(std::uint64_t high_bits) noexcept {
    return static_cast<std::uint32_t>(((high_bits >> 7) * 0x0102040810204080ULL) >> 56);
  }
  static constexpr BitMask gather(std::uint64_t lo, std::uint64_t hi) noexcept {
    return BitMask(gather8(lo) | (gather8(hi) << 8));
  }

  std::uint64_t lo_, hi_;
};

#ifdef __SSE2__
class GroupSse2 {
 public:
  explicit GroupSse2(const std::uint8_t* ctrl) noexcept
      : ctrl_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ctrl))) {}

  BitMask match(std::uint8_t tag) const noexcept {
    return mask(_mm_cmpeq_epi8(_mm_set1_epi8(static_cast<char>(tag)), ctrl_));
  }
  BitMask match_empty() const noexcept { return match(kCtrlEmpty); }
  BitMask match_empty_or_deleted() const noexcept { return mask(ctrl_); }

 private:
  static BitMask mask(__m128i v) noexcept {
    return BitMask(static_cast<std::uint32_t>(_mm_movemask_epi8(v)));
  }

  __m128i ctrl_;
};

using Group = GroupSse2;
#else
using Group = GroupPortable;
#endif

}  // namespace tarnwick
