// Record storage: one field table per record class drives the layout.
//
// A record class is described by a constexpr array of FieldSpec (name, kind,
// optional or not, default).  From that table this header derives a compact
// value type, Record<Desc>, with two parts:
//
//   +-----------------------------+-----------+-------------------+
//   | scalars (packed, 8-aligned) | Blob      | Desc::Extra       |
//   +-----------------------------+-----------+-------------------+
//
// * Scalars (integers and booleans) live inline, ordered 8-byte, 4-byte,
//   1-byte so there is no padding between them.  Every optional field,
//   scalar or not, has one bit in a presence word: a byte among the 1-byte
//   fields when eight bits do, else a 32-bit word among the 4-byte ones.
// * Every variable-size field (texts, lists) lives in ONE heap block, the
//   blob, so a deep copy of a record is one allocation and one memcpy
//   however many texts it has, and a record whose texts are all empty or
//   absent allocates nothing.  Blob layout, for n var fields:
//
//     varint L | end offsets of fields 0 .. n-2 | payloads, L bytes in all
//
//   Field k runs from the end of field k-1 (0 for the first) to its own end
//   (L for the last).  The offsets take 1 byte each while L < 256, 2 while
//   L < 65536, then 4, then 8, so a member's header is no longer than one
//   varint per field would be, and both reading a field and sizing the
//   block for a copy take constant time.  A text payload is its UTF-8
//   bytes; an integer list is 8-byte little-endian values; a text list is
//   (varint length, bytes)*.
// * Extra holds what is not a field (a guild's three collections).
//
// Nothing here knows Python; the boundary converts arguments into a
// BlobBuilder and scalars, and reads fields back through the views below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <new>
#include <string_view>
#include <utility>

#include "core/fault.hpp"

namespace tarnwick {

enum class Kind : std::uint8_t { U64, U32, I32, U8, Bool, Text, U64List, TextList };

// How a missing argument is filled in.
enum class Fill : std::uint8_t {
  Required,  // no default: binding reports it missing
  Absent,    // optional field: missing and None both mean absent
  Value,     // absent-only default: an integer/boolean value or a text
  Empty,     // absent-only default: empty text or empty list
};

struct FieldSpec {
  const char* name;
  Kind kind;
  Fill fill;
  std::uint64_t value = 0;       // Fill::Value for integers and booleans
  const char* text = nullptr;    // Fill::Value for texts
};

// The index of the field called `name` in a description's table; naming a
// field the table lacks is a compile-time error where this is constexpr.
template <class Desc>
constexpr std::size_t field_index(std::string_view name) {
  for (std::size_t i = 0; i < std::size(Desc::fields); ++i) {
    if (std::string_view(Desc::fields[i].name) == name) return i;
  }
  throw "no such field";
}

constexpr bool is_var(Kind k) { return k == Kind::Text || k == Kind::U64List || k == Kind::TextList; }

constexpr std::size_t scalar_width(Kind k) {
  switch (k) {
    case Kind::U64: return 8;
    case Kind::U32:
    case Kind::I32: return 4;
    case Kind::U8:
    case Kind::Bool: return 1;
    default: return 0;
  }
}

// Field table helpers, so a record source reads as a table.
constexpr FieldSpec required(const char* name, Kind kind) { return {name, kind, Fill::Required}; }
constexpr FieldSpec optional(const char* name, Kind kind) { return {name, kind, Fill::Absent}; }
constexpr FieldSpec defaulted(const char* name, Kind kind, std::uint64_t value) {
  return {name, kind, Fill::Value, value};
}
constexpr FieldSpec defaulted_text(const char* name, const char* text) {
  return {name, Kind::Text, Fill::Value, 0, text};
}
constexpr FieldSpec empty_default(const char* name, Kind kind) { return {name, kind, Fill::Empty}; }

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

// ---- varints -------------------------------------------------------------

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

// ---- views ---------------------------------------------------------------

// The payload of one variable-size field.
struct VarView {
  const unsigned char* data = nullptr;
  std::size_t size = 0;

  std::string_view text() const { return {reinterpret_cast<const char*>(data), size}; }
  std::size_t u64_count() const { return size / 8; }
  std::uint64_t u64_at(std::size_t i) const {
    std::uint64_t v;
    std::memcpy(&v, data + 8 * i, 8);
    return v;  // little-endian hosts only; see the static_assert below
  }
};

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "integer lists are stored little-endian");

// Walks the items of a text list payload.
class TextListCursor {
 public:
  explicit TextListCursor(const VarView& v) : p_(v.data), end_(v.data + v.size) {}
  bool next(std::string_view* out) {
    if (p_ == end_) return false;
    std::uint64_t len;
    p_ = get_varint(p_, &len);
    *out = {reinterpret_cast<const char*>(p_), static_cast<std::size_t>(len)};
    p_ += len;
    return true;
  }

 private:
  const unsigned char* p_;
  const unsigned char* end_;
};

// ---- the blob ------------------------------------------------------------

// Width of the end offsets of a block whose payloads take `payload` bytes.
constexpr std::size_t offset_width(std::uint64_t payload) noexcept {
  return payload < (1u << 8) ? 1 : payload < (1u << 16) ? 2 : payload < (std::uint64_t{1} << 32) ? 4 : 8;
}

// One end offset of width w (little-endian, as the integer lists); fixed-size
// loads, so no call to memcpy on the way to a field.
inline std::uint64_t load_width(const unsigned char* p, std::size_t w) noexcept {
  switch (w) {
    case 1: return *p;
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case 4: {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    default: {
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      return v;
    }
  }
}

// The heap block of a record's variable-size fields, or nothing.  The block
// does not know how many fields it holds; the record passes n.
//
// A blob either owns its block (malloc'd) or borrows one that lives inside
// the allocation of the object holding the record (a Python instance made
// with its record in one piece); bit 0 of the pointer tells which, since
// both kinds of block are at least 2-aligned.  Copies always own.
class Blob {
 public:
  Blob() = default;
  static Blob owning(unsigned char* block) noexcept { return Blob(reinterpret_cast<std::uintptr_t>(block)); }
  static Blob borrowing(unsigned char* block) noexcept {
    return Blob(block == nullptr ? 0 : reinterpret_cast<std::uintptr_t>(block) | 1);
  }
  Blob(const Blob&) = delete;
  Blob& operator=(const Blob&) = delete;
  Blob(Blob&& other) noexcept : bits_(std::exchange(other.bits_, 0)) {}
  Blob& operator=(Blob&& other) noexcept {
    std::swap(bits_, other.bits_);
    return *this;
  }
  ~Blob() {
    if ((bits_ & 1) == 0) std::free(reinterpret_cast<void*>(bits_));
  }

  const unsigned char* block() const noexcept {
    return reinterpret_cast<const unsigned char*>(bits_ & ~std::uintptr_t{1});
  }

  // A deep copy that owns its block: one allocation and one memcpy.
  Blob clone(std::size_t n) const {
    if (bits_ == 0) return Blob();
    const std::size_t bytes = size(n);
    auto* copy = static_cast<unsigned char*>(checked_malloc(bytes));
    std::memcpy(copy, block(), bytes);
    return owning(copy);
  }

  // Size in bytes of a block holding n var fields (0 when there is none).
  std::size_t size(std::size_t n) const noexcept {
    if (bits_ == 0) return 0;
    std::uint64_t payload;
    const unsigned char* offsets = get_varint(block(), &payload);
    return static_cast<std::size_t>(offsets - block()) + (n - 1) * offset_width(payload) +
           static_cast<std::size_t>(payload);
  }

  // Field k of a block holding n var fields.
  VarView field(std::size_t k, std::size_t n) const noexcept {
    if (bits_ == 0) return {};
    std::uint64_t payload;
    const unsigned char* offsets = get_varint(block(), &payload);
    const std::size_t w = offset_width(payload);
    const unsigned char* data = offsets + (n - 1) * w;
    const std::uint64_t begin = k == 0 ? 0 : load_width(offsets + (k - 1) * w, w);
    const std::uint64_t end = k == n - 1 ? payload : load_width(offsets + k * w, w);
    return {data + begin, static_cast<std::size_t>(end - begin)};
  }

 private:
  explicit Blob(std::uintptr_t bits) noexcept : bits_(bits) {}
  std::uintptr_t bits_ = 0;
};

// Collects var-field payloads in field order, then seals them into a block.
// Small records never touch the heap until the final, exact-size block.
class BlobBuilder {
 public:
  static constexpr std::size_t kMaxVars = 16;

  BlobBuilder() = default;
  BlobBuilder(const BlobBuilder&) = delete;
  BlobBuilder& operator=(const BlobBuilder&) = delete;
  ~BlobBuilder() {
    if (buf_ != inline_) std::free(buf_);
  }

  // Each var field is recorded exactly once, in order: its payload is
  // appended, then end_field() closes it (an absent or empty field appends
  // nothing).
  void end_field() { ends_[count_++] = len_; }

  void append(const void* data, std::size_t n) {
    reserve(n);
    std::memcpy(buf_ + len_, data, n);
    len_ += n;
  }
  void append_u64(std::uint64_t v) { append(&v, 8); }
  void append_varint(std::uint64_t v) {
    reserve(10);
    len_ = static_cast<std::size_t>(put_varint(buf_ + len_, v) - buf_);
  }
  void reserve(std::size_t extra) {
    std::size_t need = checked_add(len_, extra);
    if (need <= cap_) return;
    std::size_t cap = cap_ * 2 > need ? cap_ * 2 : need;
    if (buf_ == inline_) {
      auto* heap = static_cast<unsigned char*>(checked_malloc(cap));
      std::memcpy(heap, inline_, len_);
      buf_ = heap;
    } else {
      buf_ = static_cast<unsigned char*>(checked_realloc(buf_, cap));
    }
    cap_ = cap;
  }

  // Bytes of the sealed block; 0 means no block at all.
  std::size_t sealed_size() const noexcept {
    if (len_ == 0) return 0;
    return varint_size(len_) + (count_ - 1) * offset_width(len_) + len_;
  }

  // Writes the block to `dst` (sealed_size() bytes).
  void seal_to(unsigned char* dst) const noexcept {
    unsigned char* p = put_varint(dst, len_);
    switch (offset_width(len_)) {
      case 1: p = put_offsets<std::uint8_t>(p); break;
      case 2: p = put_offsets<std::uint16_t>(p); break;
      case 4: p = put_offsets<std::uint32_t>(p); break;
      default: p = put_offsets<std::uint64_t>(p); break;
    }
    std::memcpy(p, buf_, len_);
  }

  Blob seal() const {
    const std::size_t bytes = sealed_size();
    if (bytes == 0) return Blob();
    auto* block = static_cast<unsigned char*>(checked_malloc(bytes));
    seal_to(block);
    return Blob::owning(block);
  }

 private:
  template <class W>
  unsigned char* put_offsets(unsigned char* p) const noexcept {
    for (std::size_t i = 0; i + 1 < count_; ++i, p += sizeof(W)) {
      const W end = static_cast<W>(ends_[i]);
      std::memcpy(p, &end, sizeof(W));
    }
    return p;
  }

  unsigned char* buf_ = inline_;
  std::size_t len_ = 0;
  std::size_t cap_ = sizeof inline_;
  std::size_t count_ = 0;
  std::uint64_t ends_[kMaxVars];  // written in order, never read unwritten
  unsigned char inline_[256];
};

// No extra state beyond the fields.
struct NoExtra {};

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
  void set_present(std::size_t i) noexcept {
    if constexpr (layout.presence_offset >= 0) {
      const std::uint32_t word = presence_word() | (1u << layout.slots[i].presence);
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

// The value type of a record class described by Desc (see the top of file).
// Copying is deep: the blob and the extra state copy their storage.
template <class Desc>
class Record {
 public:
  static constexpr std::size_t N = std::size(Desc::fields);
  static constexpr Layout<N> layout = compute_layout(Desc::fields);
  static_assert(layout.var_count <= BlobBuilder::kMaxVars);
  static_assert(Desc::fields[0].kind == Kind::U64 && Desc::fields[0].fill == Fill::Required,
                "the first field is the record's key");
  using Extra = typename Desc::Extra;

  Record(const Scalars<Desc>& scalars, Blob blob) : scalars_(scalars), blob_(std::move(blob)) {}
  Record(const Record& o) : scalars_(o.scalars_), blob_(o.blob_.clone(layout.var_count)), extra_(o.extra_) {}
  Record(const Scalars<Desc>& scalars, Blob blob, Extra&& extra)
      : scalars_(scalars), blob_(std::move(blob)), extra_(std::move(extra)) {}
  Record(Record&&) noexcept = default;
  Record& operator=(const Record&) = delete;
  Record& operator=(Record&&) noexcept = default;

  static constexpr const FieldSpec* fields() { return Desc::fields; }

  std::uint64_t key() const noexcept { return u64(0); }

  std::uint64_t u64(std::size_t i) const noexcept { return scalars_.template load<std::uint64_t>(i); }
  std::uint32_t u32(std::size_t i) const { return scalars_.template load<std::uint32_t>(i); }
  std::int32_t i32(std::size_t i) const { return scalars_.template load<std::int32_t>(i); }
  std::uint8_t u8(std::size_t i) const { return scalars_.template load<std::uint8_t>(i); }
  bool flag(std::size_t i) const { return scalars_.template load<std::uint8_t>(i) != 0; }
  bool present(std::size_t i) const { return scalars_.present(i); }
  VarView var(std::size_t i) const { return blob_.field(layout.slots[i].var, layout.var_count); }
  std::size_t blob_size() const noexcept { return blob_.size(layout.var_count); }
  const Scalars<Desc>& scalars() const noexcept { return scalars_; }
  const unsigned char* blob_block() const noexcept { return blob_.block(); }

  // Whether two records hold the same field values (records with extra
  // state have more to compare, and do not offer this).
  bool same_fields(const Record& o) const noexcept
    requires std::is_same_v<Extra, NoExtra>
  {
    const std::size_t n = blob_size();
    return std::memcmp(&scalars_, &o.scalars_, sizeof scalars_) == 0 && n == o.blob_size() &&
           (n == 0 || std::memcmp(blob_.block(), o.blob_.block(), n) == 0);
  }

  const Extra& extra() const { return extra_; }
  Extra& extra() { return extra_; }

 private:
  Scalars<Desc> scalars_;
  Blob blob_;
  [[no_unique_address]] Extra extra_;
};

}  // namespace tarnwick
