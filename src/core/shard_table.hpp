// The hash table inside one shard: open addressing over a power-of-two number
// of buckets, probed 16 control bytes at a time (the SwissTable scheme).
//
// Layout.  One allocation, control bytes first, slots after:
//
//   ctrl:  [ c0 c1 ... c(B-1) | m0 m1 ... m15 ]    B + 16 bytes
//   slots: [ s0 s1 ... s(B-1) ]                     B slots {key, value}
//
// A group may be loaded at any bucket index p, reading ctrl[p .. p+15]
// without bounds checks, because of one invariant on the tail:
//
//   ctrl[p] == ctrl[p & (B-1)]   for every p < B + 16.
//
// For B >= 16 this is the usual mirror of the first 16 bytes.  For the small
// tables (B = 4 or 8) the tail repeats the whole control array, so a group
// sees some buckets more than once; that is harmless, since a lookup stops at
// the first match and bit i of a group always means bucket (p + i) & (B-1).
// set_ctrl() writes a byte and every copy of it.
//
// Probing.  A hash h starts at p = h & (B-1) and compares its tag h >> 57
// against the group there; then it moves on by 16, 32, 48, ... (triangular
// steps), wrapping with the mask, and stops at the first group holding an
// empty byte.  When B >= 16 there are B/16 windows of the form
// p + 16k (mod B); the triangular numbers modulo a power of two hit every
// residue, so the probe visits each window exactly once within B/16 steps.
// When B < 16 the first group already spans the whole table.  Either way a
// probe ends, because the load limit always leaves an empty bucket:
//
//   capacity(B) = B - 1 for B < 8, else B / 8 * 7        (0 for B = 0)
//
// Invariants: items + growth_left == capacity(B) minus deleted buckets (there
// are none in practice); a slot holds a live {key, value} exactly when its
// control byte is full (high bit clear); a new table owns no memory.
//
// Growth.  An insertion that finds growth_left == 0 first grows to hold one
// more entry than the present capacity: 4 buckets for up to 3 entries, 8 for
// up to 7, otherwise the next power of two of ceil(need * 8 / 7).  Entries
// are rehashed from their keys with the caller's hash and moved; values must
// therefore move without throwing, so a growth can never stop half done.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "core/fault.hpp"
#include "core/group.hpp"

namespace tarnwick {

// A value that carries its own key (every record does) is stored without a
// second copy of it: 8 bytes less per slot, a tenth of a member's footprint.
template <class V>
concept CarriesKey = requires(const V& v) {
  { v.key() } noexcept -> std::same_as<std::uint64_t>;
};

template <class V>
class ShardTable {
  static_assert(std::is_nothrow_move_constructible_v<V> &&
                    std::is_nothrow_move_assignable_v<V>,
                "growth and replacement move values and must not fail half way");

 public:
  struct KeyedSlot {
    std::uint64_t stored_key;
    V value;
    KeyedSlot(std::uint64_t k, V&& v) noexcept : stored_key(k), value(std::move(v)) {}
    std::uint64_t key() const noexcept { return stored_key; }
  };
  struct BareSlot {
    V value;
    BareSlot(std::uint64_t, V&& v) noexcept : value(std::move(v)) {}
    std::uint64_t key() const noexcept { return value.key(); }
  };
  using Slot = std::conditional_t<CarriesKey<V>, BareSlot, KeyedSlot>;

  ShardTable() noexcept = default;

  // Same bucket count and control bytes; each value copied with V's copy
  // constructor.
  ShardTable(const ShardTable& other) {
    if (other.buckets_ == 0) return;
    allocate(other.buckets_);
    try {
      for (std::size_t i = 0; i < buckets_; ++i) {
        if (!is_full(other.ctrl_[i])) continue;
        ::new (static_cast<void*>(&slots_[i])) Slot(other.slots_[i]);
        set_ctrl(i, other.ctrl_[i]);  // only now does release() own it
        ++items_;
      }
    } catch (...) {
      release();
      throw;
    }
    std::memcpy(ctrl_, other.ctrl_, buckets_ + kGroupWidth);
    growth_left_ = other.growth_left_;
  }

  ShardTable(ShardTable&& other) noexcept { steal(other); }

  ShardTable& operator=(ShardTable&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }

  ShardTable& operator=(const ShardTable&) = delete;

  ~ShardTable() { release(); }

  const V* find(std::uint64_t hash, std::uint64_t key) const noexcept {
    if (buckets_ == 0) return nullptr;
    const std::uint8_t tag = tag_of(hash);
    for (Probe p(hash, buckets_);; p.next()) {
      const Group g(ctrl_ + p.pos);
      for (unsigned i : g.match(tag)) {
        const Slot& s = slots_[p.bucket(i)];
        if (s.key() == key) return &s.value;
      }
      if (g.match_empty()) return nullptr;
    }
  }

  // Stores `value` under `key`; returns the value it replaced, if any.
  // `rehash` maps a key to the same hash the caller used for `hash`.
  template <class Hasher>
  std::optional<V> insert(std::uint64_t hash, std::uint64_t key, V&& value,
                          const Hasher& rehash) {
    static_assert(std::is_nothrow_invocable_r_v<std::uint64_t, const Hasher&, std::uint64_t>);
    if constexpr (CarriesKey<V>) {
      if (value.key() != key) fault("assertion failed: key == value.key()");
    }
    if (growth_left_ == 0) grow(rehash);
    const std::uint8_t tag = tag_of(hash);
    std::size_t target = buckets_;  // none yet
    for (Probe p(hash, buckets_);; p.next()) {
      const Group g(ctrl_ + p.pos);
      for (unsigned i : g.match(tag)) {
        Slot& s = slots_[p.bucket(i)];
        if (s.key() == key) {
          std::optional<V> old(std::move(s.value));
          s.value = std::move(value);
          return old;
        }
      }
      if (target == buckets_) {
        if (const BitMask free = g.match_empty_or_deleted()) target = p.bucket(free.lowest());
      }
      if (g.match_empty()) break;
    }
    growth_left_ -= ctrl_[target] == kCtrlEmpty;
    ::new (static_cast<void*>(&slots_[target])) Slot(key, std::move(value));
    set_ctrl(target, tag);
    ++items_;
    return std::nullopt;
  }

  std::size_t bucket_count() const noexcept { return buckets_; }
  std::size_t size() const noexcept { return items_; }
  std::size_t growth_left() const noexcept { return growth_left_; }

  // All bucket_count() + 16 control bytes, tail included (empty when no
  // buckets).
  std::span<const std::uint8_t> control() const noexcept {
    return {ctrl_, buckets_ == 0 ? 0 : buckets_ + kGroupWidth};
  }

  static constexpr std::size_t capacity_of(std::size_t buckets) noexcept {
    return buckets < 8 ? (buckets == 0 ? 0 : buckets - 1) : buckets / 8 * 7;
  }

  static std::size_t buckets_for(std::size_t need) {
    if (need < 4) return 4;
    if (need < 8) return 8;
    const std::size_t eighths = checked_mul(need, 8);
    const std::size_t adjusted = eighths / 7 + (eighths % 7 != 0);
    if (adjusted > (SIZE_MAX >> 1) + 1) fault("capacity overflow");
    return std::bit_ceil(adjusted);
  }

 private:
  struct Probe {
    std::size_t mask, pos, stride = 0;
    Probe(std::uint64_t hash, std::size_t buckets) noexcept
        : mask(buckets - 1), pos(static_cast<std::size_t>(hash) & mask) {}
    void next() noexcept {
      stride += kGroupWidth;
      pos = (pos + stride) & mask;
    }
    std::size_t bucket(unsigned i) const noexcept { return (pos + i) & mask; }
  };

  static constexpr bool is_full(std::uint8_t c) noexcept { return c < 0x80; }

  static constexpr std::size_t kAlign =
      alignof(Slot) > kGroupWidth ? alignof(Slot) : kGroupWidth;

  static constexpr std::size_t slots_offset(std::size_t buckets) noexcept {
    return (buckets + kGroupWidth + alignof(Slot) - 1) / alignof(Slot) * alignof(Slot);
  }

  // Fresh storage for `buckets` buckets, all empty; *this must own nothing.
  void allocate(std::size_t buckets) {
    const std::size_t bytes =
        checked_add(slots_offset(buckets), checked_mul(buckets, sizeof(Slot)));
    ctrl_ = static_cast<std::uint8_t*>(checked_aligned_alloc(kAlign, bytes));
    slots_ = reinterpret_cast<Slot*>(ctrl_ + slots_offset(buckets));
    std::memset(ctrl_, kCtrlEmpty, buckets + kGroupWidth);
    buckets_ = buckets;
    items_ = 0;
    growth_left_ = capacity_of(buckets);
  }

  void set_ctrl(std::size_t i, std::uint8_t c) noexcept {
    for (std::size_t p = i; p < buckets_ + kGroupWidth; p += buckets_) ctrl_[p] = c;
  }

  template <class Hasher>
  void grow(const Hasher& rehash) {
    ShardTable bigger;
    bigger.allocate(buckets_for(checked_add(capacity_of(buckets_), 1)));
    // Nothing below can throw: every entry moves exactly once.
    for (std::size_t i = 0; i < buckets_; ++i) {
      if (!is_full(ctrl_[i])) continue;
      Slot& s = slots_[i];
      const std::uint64_t h = rehash(s.key());
      Probe p(h, bigger.buckets_);
      BitMask free = Group(bigger.ctrl_ + p.pos).match_empty();
      while (!free) {
        p.next();
        free = Group(bigger.ctrl_ + p.pos).match_empty();
      }
      const std::size_t target = p.bucket(free.lowest());
      ::new (static_cast<void*>(&bigger.slots_[target])) Slot(s.key(), std::move(s.value));
      std::destroy_at(&s);
      bigger.set_ctrl(target, tag_of(h));
    }
    bigger.items_ = items_;
    bigger.growth_left_ -= items_;
    std::free(ctrl_);  // the slots are already moved out and destroyed
    steal(bigger);
  }

  void steal(ShardTable& other) noexcept {
    ctrl_ = std::exchange(other.ctrl_, nullptr);
    slots_ = std::exchange(other.slots_, nullptr);
    buckets_ = std::exchange(other.buckets_, 0);
    items_ = std::exchange(other.items_, 0);
    growth_left_ = std::exchange(other.growth_left_, 0);
  }

  void release() noexcept {
    if (ctrl_ == nullptr) return;
    if constexpr (!std::is_trivially_destructible_v<V>) {
      for (std::size_t i = 0; i < buckets_; ++i) {
        if (is_full(ctrl_[i])) std::destroy_at(&slots_[i]);
      }
    }
    std::free(ctrl_);
    ctrl_ = nullptr;
    slots_ = nullptr;
    buckets_ = items_ = growth_left_ = 0;
  }

  std::uint8_t* ctrl_ = nullptr;
  Slot* slots_ = nullptr;
  std::size_t buckets_ = 0;
  std::size_t items_ = 0;
  std::size_t growth_left_ = 0;
};

}  // namespace tarnwick
