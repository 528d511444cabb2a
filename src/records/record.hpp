// Record<Desc>: the value type of a record class, derived from its field
// table (fields.hpp) in three parts:
//
//   +-----------------------------+-----------+-------------------+
//   | scalars (packed, 8-aligned) | Blob      | Desc::Extra       |
//   +-----------------------------+-----------+-------------------+
//
// the scalar area (layout.hpp), the blob of variable-size fields (blob.hpp),
// and what is not a field (a guild's three collections).  Copying is deep.
//
// Nothing here knows Python; the boundary converts arguments into a
// BlobBuilder and scalars, and reads fields back through the views.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>

#include "records/blob.hpp"
#include "records/fields.hpp"
#include "records/layout.hpp"

namespace tarnwick {

// What a filed record holds beyond its slot in a map: the bytes of its
// blob, and for a guild its collections' storage and records and how many
// of each they hold.  The maps keep it summed as records come and go
// (tally.hpp), so that counting what is filed costs nothing.
struct Weight {
  std::size_t bytes = 0, members = 0, roles = 0, emojis = 0;

  Weight& operator+=(const Weight& o) noexcept {
    bytes += o.bytes, members += o.members, roles += o.roles, emojis += o.emojis;
    return *this;
  }
  Weight& operator-=(const Weight& o) noexcept {
    bytes -= o.bytes, members -= o.members, roles -= o.roles, emojis -= o.emojis;
    return *this;
  }
};

// The defaults of a class's scalars, as a constructor given no argument
// but the required ones fills them in.
template <class Desc>
const Scalars<Desc>& default_scalars() {
  static const Scalars<Desc> sc = [] {
    Scalars<Desc> out;
    for (std::size_t i = 0; i < std::size(Desc::fields); ++i) {
      const FieldSpec& f = Desc::fields[i];
      if (f.fill != Fill::Value || is_var(f.kind)) continue;
      switch (f.kind) {
        case Kind::U64: out.store(i, f.value); break;
        case Kind::U32: out.store(i, static_cast<std::uint32_t>(f.value)); break;
        case Kind::I32: out.store(i, static_cast<std::int32_t>(f.value)); break;
        default: out.store(i, static_cast<std::uint8_t>(f.value)); break;
      }
    }
    return out;
  }();
  return sc;
}

// No extra state beyond the fields.
struct NoExtra {
  Weight weight() const noexcept { return {}; }
};

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
  using Description = Desc;

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
    return same_fields(o.scalars_, o.blob_.block(), o.blob_size());
  }
  // The same against scalars and a sealed blob of n bytes.
  bool same_fields(const Scalars<Desc>& scalars, const unsigned char* block, std::size_t n) const noexcept
    requires std::is_same_v<Extra, NoExtra>
  {
    return std::memcmp(&scalars_, &scalars, sizeof scalars_) == 0 && n == blob_size() &&
           (n == 0 || std::memcmp(blob_.block(), block, n) == 0);
  }

  Weight weight() const {
    Weight w = extra_.weight();
    w.bytes += blob_size();
    return w;
  }

  // A copy with var field i rewritten: write(b, old) appends its new value
  // (the field is closed after it), every other field kept as it is.
  template <class Write>
  Record with_var(std::size_t i, Write&& write) const
    requires std::is_same_v<Extra, NoExtra>
  {
    return rebuilt(scalars_, [&](std::size_t k, BlobBuilder& b, VarView old) {
      if (k != i) return false;
      write(b, old);
      return true;
    });
  }
  // A copy with these scalars, and each var field k rewritten where
  // rewrite(k, b, old) appends its new value and says so, kept otherwise.
  template <class Rewrite>
  Record rebuilt(const Scalars<Desc>& scalars, Rewrite&& rewrite) const
    requires std::is_same_v<Extra, NoExtra>
  {
    BlobBuilder b;
    for (std::size_t k = 0; k < N; ++k) {
      if (!is_var(Desc::fields[k].kind)) continue;
      const VarView v = var(k);
      if (!rewrite(k, b, v)) b.append(v.data, v.size);
      b.end_field();
    }
    return Record(scalars, b.seal());
  }

  // A copy of the fields alone (a guild's without its collections).
  Record fields_copy() const { return Record(scalars_, blob_.clone(layout.var_count), Extra()); }

  const Extra& extra() const { return extra_; }
  Extra& extra() { return extra_; }

 private:
  Scalars<Desc> scalars_;
  Blob blob_;
  [[no_unique_address]] Extra extra_;
};

}  // namespace tarnwick
