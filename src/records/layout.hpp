// Where a record's fixed-size fields live: the scalar area, derived from the
// field table.
//
// Scalars (integers and booleans) live inline, ordered 8-byte, 4-byte,
// 1-byte so there is no padding between them.  Every optional field, scalar
// or not, has one bit in a presence word: a byte among the 1-byte fields
// when eight bits do, else a 32-bit word among the 4-byte ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <type_traits>

#include "records/fields.hpp"

namespace tarnwick {

// Where one field lives.
struct FieldSlot {
  std::uint16_t offset = 0;    // scalars: byte offset in the scalar area
  std::uint8_t var = 0;        // var fields: index among the var fields
  std::int8_t presence = -1;   // optional fields: presence bit, else -1
};

template <std::size_t N>
struct Layout {
  std::array<FieldSlot, N> slots{};
  std::size_t scalar_bytes = 0;
  std::size_t var_count = 0;
  int presence_offset = -1;   // offset of the presence word, if any
  std::size_t presence_width = 0;  // 1 or 4 bytes
  std::size_t required = 0;
};

template <std::size_t N>
constexpr Layout<N> compute_layout(const FieldSpec (&fields)[N]) {
  Layout<N> out{};
  std::size_t optionals = 0;
  for (std::size_t i = 0; i < N; ++i) {
    if (fields[i].fill == Fill::Absent) ++optionals;
    if (fields[i].fill == Fill::Required) out.required = i + 1;
  }
  if (optionals > 32) throw "too many optional fields";
  out.presence_width = optionals == 0 ? 0 : optionals <= 8 ? 1 : 4;
  std::size_t offset = 0;
  for (std::size_t width : {8u, 4u, 1u}) {
    for (std::size_t i = 0; i < N; ++i) {
      if (scalar_width(fields[i].kind) == width) {
        out.slots[i].offset = static_cast<std::uint16_t>(offset);
        offset += width;
      }
    }
    if (width == out.presence_width) {
      out.presence_offset = static_cast<int>(offset);
      offset += width;
    }
  }
  out.scalar_bytes = (offset + 7) / 8 * 8;
  std::int8_t bit = 0;
  for (std::size_t i = 0; i < N; ++i) {
    if (is_var(fields[i].kind)) out.slots[i].var = static_cast<std::uint8_t>(out.var_count++);
    if (fields[i].fill == Fill::Absent) out.slots[i].presence = bit++;
  }
  // Required fields must come first: binding reports the first r as required.
  for (std::size_t i = 0; i < out.required; ++i) {
    if (fields[i].fill != Fill::Required) throw "required fields must lead the table";
  }
  return out;
}

// The inline scalar area of a record class described by Desc.
template <class Desc>
class Scalars {
 public:
  static constexpr std::size_t N = std::size(Desc::fields);
  static constexpr Layout<N> layout = compute_layout(Desc::fields);

  template <class T>
  T load(std::size_t i) const noexcept {
    T v;
    std::memcpy(&v, bytes_ + layout.slots[i].offset, sizeof v);
    return v;
  }
  template <class T>
  void store(std::size_t i, T v) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(bytes_ + layout.slots[i].offset, &v, sizeof v);
  }
  bool present(std::size_t i) const noexcept {
    const int bit = layout.slots[i].presence;
    return bit < 0 || ((presence_word() >> bit) & 1u) != 0;
  }
  void set_present(std::size_t i, bool present = true) noexcept {
    if constexpr (layout.presence_offset >= 0) {
      const std::uint32_t bit = 1u << layout.slots[i].presence;
      const std::uint32_t word = present ? presence_word() | bit : presence_word() & ~bit;
      std::memcpy(bytes_ + layout.presence_offset, &word, layout.presence_width);
    }
  }

 private:
  std::uint32_t presence_word() const noexcept {
    std::uint32_t word = 0;
    if constexpr (layout.presence_offset >= 0) {
      std::memcpy(&word, bytes_ + layout.presence_offset, layout.presence_width);
    }
    return word;
  }

  alignas(8) unsigned char bytes_[layout.scalar_bytes] = {};
};

}  // namespace tarnwick
