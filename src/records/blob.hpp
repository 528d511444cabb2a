// The blob: one heap block holding every variable-size field of a record
// (texts, lists), so a deep copy of a record is one allocation and one memcpy
// however many texts it has, and a record whose texts are all empty or
// absent allocates nothing.  Block layout, for n var fields:
//
//   varint L | end offsets of fields 0 .. n-2 | payloads, L bytes in all
//
// Field k runs from the end of field k-1 (0 for the first) to its own end
// (L for the last).  The offsets take 1 byte each while L < 256, 2 while
// L < 65536, then 4, then 8, so a member's header is no longer than one
// varint per field would be, and both reading a field and sizing the block
// for a copy take constant time.  A text payload is its UTF-8 bytes; an
// integer list is 8-byte little-endian values; a text list is
// (varint length, bytes)*.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/fault.hpp"
#include "records/varint.hpp"

namespace tarnwick {

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
    if (n == 0) return;  // data may be null then
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

  // Payload bytes so far, and going back to such a point (within the
  // field being built) to drop what was appended since.
  std::size_t length() const noexcept { return len_; }
  void rewind(std::size_t length) noexcept { len_ = length; }
  // The payloads appended so far, back to back.
  std::string_view payloads() const noexcept { return {reinterpret_cast<const char*>(buf_), len_}; }

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

}  // namespace tarnwick
