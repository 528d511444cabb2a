// FlatTable: a hash table from 64-bit keys to values, open addressing over a
// power-of-two number of buckets, probed 16 control bytes at a time (the
// SwissTable scheme).  It holds no lock and no hash keys: its owner hashes
// (each ShardedMap shard, each CowMap node, the registry's side tables).
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
// Removal.  erase() leaves 0xFF (empty) where no probe can have walked past
// the bucket: when every 16-byte window that covers it also holds an empty
// byte, a probe passing there would have stopped anyway.  Otherwise it
// leaves 0x80 (deleted), which lookups skip and insertions reuse.  Deleted
// buckets take room from growth_left, so
//
//   items + deleted + growth_left == capacity(B)
//
// An insertion that finds growth_left == 0 therefore first looks at why: if
// deleted buckets crowd the table (items <= 25/32 of capacity) it rehashes
// in place, turning every deleted byte back into an empty one; otherwise it
// grows.  Removals that leave a table nearly empty shrink it, and the last
// one frees its storage, so a cache that forgets what it held gives the
// memory back.  A slot holds a live {key, value} exactly when its control byte is
// full (high bit clear); a new table owns no memory.
//
// Growth.  Growing makes room for one more entry than the present capacity:
// 4 buckets for up to 3 entries, 8 for up to 7, otherwise the next power of
// two of ceil(need * 8 / 7).  Entries are rehashed from their keys with the
// caller's hash and moved; values must therefore move without throwing, so a
// growth can never stop half done.
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
#include "core/fresh.hpp"
#include "core/group.hpp"

namespace tarnwick {

// A value that carries its own key (every record does) is stored without a
// second copy of it: 8 bytes less per slot, a tenth of a member's footprint.
template <class V>
concept CarriesKey = requires(const V& v) {
  { v.key() } noexcept -> std::same_as<std::uint64_t>;
};

template <class V>
class FlatTable {
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

  FlatTable() noexcept = default;

  // A deep copy: same bucket count and control bytes, each value copied
  // with V's copy constructor, in storage of its own.
  FlatTable(const FlatTable& other) : layout_(fresh_number()) {
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

  FlatTable(FlatTable&& other) noexcept { steal(other); }

  FlatTable& operator=(FlatTable&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }

  FlatTable& operator=(const FlatTable&) = delete;

  ~FlatTable() { release(); }

  const V* find(std::uint64_t hash, std::uint64_t key) const noexcept {
    if (buckets_ == 0) return nullptr;
    const std::uint8_t tag = tag_of(hash);
    Probe p(hash, buckets_);
    // Most entries sit within a few buckets of where their probe starts:
    // fetch that slot now, while the control bytes are still on their way,
    // so a cold lookup waits for one miss there instead of two in a row.
    __builtin_prefetch(&slots_[p.pos]);
    for (;; p.next()) {
      const Group g(ctrl_ + p.pos);
      for (unsigned i : g.match(tag)) {
        const Slot& s = slots_[p.bucket(i)];
        if (s.key() == key) return &s.value;
      }
      if (g.match_empty()) return nullptr;
    }
  }

  // For a caller about to look up many keys, so that their memory arrives
  // together: prefetch_group() starts fetching the control bytes find()
  // reads first; prefetch_slot(), once they are in, the slot of the first
  // entry whose tag matches, most likely the one sought.
  void prefetch_group(std::uint64_t hash) const noexcept {
    if (buckets_ != 0) __builtin_prefetch(ctrl_ + (static_cast<std::size_t>(hash) & (buckets_ - 1)));
  }
  void prefetch_slot(std::uint64_t hash) const noexcept {
    if (buckets_ == 0) return;
    const std::size_t p = static_cast<std::size_t>(hash) & (buckets_ - 1);
    if (const BitMask m = Group(ctrl_ + p).match(tag_of(hash))) {
      __builtin_prefetch(&slots_[(p + m.lowest()) & (buckets_ - 1)]);
    }
  }

  // The same, for an owner that may change the value in place (not its key).
  V* find(std::uint64_t hash, std::uint64_t key) noexcept {
    const std::size_t i = index_of(hash, key);
    return i == buckets_ ? nullptr : &slots_[i].value;
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
    if (const std::size_t i = index_of(hash, key); i != buckets_) {
      std::optional<V> old(std::move(slots_[i].value));
      slots_[i].value = std::move(value);
      return old;
    }
    if (growth_left_ == 0) make_room(rehash);
    const std::size_t target = first_free(hash);
    growth_left_ -= ctrl_[target] == kCtrlEmpty;
    ::new (static_cast<void*>(&slots_[target])) Slot(key, std::move(value));
    set_ctrl(target, tag_of(hash));
    ++items_;
    return std::nullopt;
  }

  // Takes the entry under `key` out of the table, if there is one.  A table
  // that removals leave nearly empty gives its memory back: all of it when
  // the last entry goes, else by moving into a quarter of the room once it
  // holds no more than a sixteenth of what it could.
  template <class Hasher>
  std::optional<V> erase(std::uint64_t hash, std::uint64_t key, const Hasher& rehash) {
    const std::size_t i = index_of(hash, key);
    if (i == buckets_) return std::nullopt;
    std::optional<V> old(take_at(i));
    if (items_ == 0) {
      release();
    } else if (buckets_ > 64 && items_ * 16 <= capacity_of(buckets_)) {
      resize(buckets_ / 4, rehash);
    }
    return old;
  }

  // erase() without giving memory back (see take_at).
  std::optional<V> erase_keeping_room(std::uint64_t hash, std::uint64_t key) noexcept {
    const std::size_t i = index_of(hash, key);
    if (i == buckets_) return std::nullopt;
    return take_at(i);
  }

  // Takes the entry of full bucket i out of the table, without giving
  // memory back, so that the other buckets keep their places: for a walk
  // that removes many (and then calls shrink_to_suit()).
  V take_at(std::size_t i) noexcept {
    static_assert(std::is_nothrow_move_constructible_v<V>);
    V old(std::move(slots_[i].value));
    std::destroy_at(&slots_[i]);
    --items_;
    if (never_walked_past(i)) {
      set_ctrl(i, kCtrlEmpty);
      ++growth_left_;
    } else {
      set_ctrl(i, kCtrlDeleted);
    }
    return old;
  }

  // After many removals at once: moves into a table with room for twice
  // the entries left, if that is a quarter of the present one or less, so a
  // table that once held far more gives the memory back (all of it when
  // none is left).  (A lone erase waits for a sixteenth, so that a table
  // near the edge does not thrash.)
  template <class Hasher>
  void shrink_to_suit(const Hasher& rehash) {
    if (items_ == 0) release();
    if (items_ == 0 || buckets_ <= 64) return;
    const std::size_t fit = buckets_for(checked_mul(items_, 2));
    if (fit <= buckets_ / 4) resize(fit, rehash);
  }

  // Writes each page of an empty table's slots once, so that filling it
  // later takes no first touch of fresh memory (which costs a fault a page).
  void touch() noexcept {
    if (items_ == 0 && buckets_ != 0) std::memset(static_cast<void*>(slots_), 0, buckets_ * sizeof(Slot));
  }

  // Makes room for `n` entries in all, without counting deleted buckets.
  template <class Hasher>
  void reserve(std::size_t n, const Hasher& rehash) {
    if (n > capacity_of(buckets_)) resize(buckets_for(n), rehash);
  }

  // Calls f(key, value) for every entry.
  template <class F>
  void for_each(F&& f) const {
    for (std::size_t i = 0; i < buckets_; ++i) {
      if (is_full(ctrl_[i])) f(slots_[i].key(), static_cast<const V&>(slots_[i].value));
    }
  }

  // The first full bucket at `from` or after it, or bucket_count() if none:
  // with key_at() and value_at(), a walk over the entries that keeps its
  // place in one index, for an owner that excludes writers while it walks.
  std::size_t next_full(std::size_t from) const noexcept {
    for (; from < buckets_; from += kGroupWidth) {
      std::uint32_t full = ~Group(ctrl_ + from).match_empty_or_deleted().bits() & 0xFFFFu;
      // Bytes past the last bucket are the mirrored tail: not entries again.
      if (const std::size_t left = buckets_ - from; left < kGroupWidth) full &= (1u << left) - 1;
      if (full != 0) return from + static_cast<std::size_t>(std::countr_zero(full));
    }
    return buckets_;
  }
  std::uint64_t key_at(std::size_t i) const noexcept { return slots_[i].key(); }
  const V& value_at(std::size_t i) const noexcept { return slots_[i].value; }

  std::size_t bucket_count() const noexcept { return buckets_; }
  // Which placement the entries are in: a number this table takes whenever
  // they may move or go (a resize, a rehash in place, its storage freed, a
  // copy made), never one taken before, so
  // that a walk letting go of its lock between runs knows to start again.
  std::uint64_t layout() const noexcept { return layout_; }
  std::size_t size() const noexcept { return items_; }
  std::size_t growth_left() const noexcept { return growth_left_; }
  // Bytes of the storage block.
  std::size_t storage_bytes() const noexcept {
    return buckets_ == 0 ? 0 : slots_offset(buckets_) + buckets_ * sizeof(Slot);
  }

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
  static constexpr std::size_t kPrefaultBytes = std::size_t{1} << 20;

  static constexpr std::size_t kAlign =
      alignof(Slot) > kGroupWidth ? alignof(Slot) : kGroupWidth;

  static constexpr std::size_t slots_offset(std::size_t buckets) noexcept {
    return (buckets + kGroupWidth + alignof(Slot) - 1) / alignof(Slot) * alignof(Slot);
  }

  // The bucket holding `key`, or buckets_ when there is none.
  std::size_t index_of(std::uint64_t hash, std::uint64_t key) const noexcept {
    if (buckets_ == 0) return buckets_;
    const std::uint8_t tag = tag_of(hash);
    for (Probe p(hash, buckets_);; p.next()) {
      const Group g(ctrl_ + p.pos);
      for (unsigned i : g.match(tag)) {
        if (slots_[p.bucket(i)].key() == key) return p.bucket(i);
      }
      if (g.match_empty()) return buckets_;
    }
  }

  // The first empty or deleted bucket on the probe path of `hash`.
  std::size_t first_free(std::uint64_t hash) const noexcept {
    for (Probe p(hash, buckets_);; p.next()) {
      if (const BitMask free = Group(ctrl_ + p.pos).match_empty_or_deleted()) {
        return p.bucket(free.lowest());
      }
    }
  }

  // Whether no probe can have passed bucket i without stopping: every
  // 16-byte window over it also covers an empty byte.  Tables of fewer than
  // 16 buckets are always probed in one window, which ends every probe.
  bool never_walked_past(std::size_t i) const noexcept {
    if (buckets_ < kGroupWidth) return true;
    const std::size_t before = (i - kGroupWidth) & (buckets_ - 1);
    const std::uint32_t after_bits = Group(ctrl_ + i).match_empty().bits();
    const std::uint32_t before_bits = Group(ctrl_ + before).match_empty().bits();
    if (after_bits == 0 || before_bits == 0) return false;
    const unsigned full_after = static_cast<unsigned>(std::countr_zero(after_bits));
    const unsigned full_before =
        static_cast<unsigned>(std::countl_zero(static_cast<std::uint16_t>(before_bits)));
    return full_after + full_before < kGroupWidth;
  }

  // Fresh storage for `buckets` buckets, all empty; *this must own nothing.
  void allocate(std::size_t buckets) {
    const std::size_t bytes = checked_add(slots_offset(buckets), checked_mul(buckets, sizeof(Slot)));
    ctrl_ = static_cast<std::uint8_t*>(checked_aligned_alloc(kAlign, bytes));
    // A big table's every page is written soon (its control bytes now, its
    // slots as entries move in): fetched at once they cost about half.
    if (bytes >= kPrefaultBytes) prefault(ctrl_, bytes);
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
  void make_room(const Hasher& rehash) {
    if (buckets_ != 0 && items_ * 32 <= capacity_of(buckets_) * 25) {
      drop_deleted(rehash);
    } else {
      resize(buckets_for(checked_add(capacity_of(buckets_), 1)), rehash);
    }
  }

  // Moves every entry into new storage of `buckets` buckets.
  template <class Hasher>
  void resize(std::size_t buckets, const Hasher& rehash) {
    FlatTable bigger;
    bigger.allocate(buckets);
    // Nothing below can throw: every entry moves exactly once.
    for (std::size_t i = 0; i < buckets_; ++i) {
      if (!is_full(ctrl_[i])) continue;
      Slot& s = slots_[i];
      const std::uint64_t h = rehash(s.key());
      const std::size_t target = bigger.first_free(h);
      ::new (static_cast<void*>(&bigger.slots_[target])) Slot(std::move(s));
      std::destroy_at(&s);
      bigger.set_ctrl(target, tag_of(h));
    }
    bigger.items_ = items_;
    bigger.growth_left_ -= items_;
    std::free(ctrl_);  // slots already moved out
    ctrl_ = nullptr;
    steal(bigger);
    layout_ = fresh_number();
  }

  // Rehash in place: every deleted byte becomes empty again.  First every
  // full byte is marked deleted ("still to place") and every deleted one
  // empty; then each entry still to place goes to the first free bucket of
  // its probe path.  One that would land in the window it already sits in
  // stays; one whose target is empty moves there; one whose target holds
  // another entry still to place swaps with it, and the entry swapped in is
  // placed next.  Each step places one entry for good, so this ends.
  template <class Hasher>
  void drop_deleted(const Hasher& rehash) noexcept {
    layout_ = fresh_number();
    for (std::size_t i = 0; i < buckets_; ++i) {
      set_ctrl(i, is_full(ctrl_[i]) ? kCtrlDeleted : kCtrlEmpty);
    }
    const std::size_t mask = buckets_ - 1;
    for (std::size_t i = 0; i < buckets_; ++i) {
      if (ctrl_[i] != kCtrlDeleted) continue;
      const std::uint64_t h = rehash(slots_[i].key());
      const std::size_t start = static_cast<std::size_t>(h) & mask;
      const std::size_t target = first_free(h);
      const auto window = [&](std::size_t pos) { return ((pos - start) & mask) / kGroupWidth; };
      if (window(target) == window(i)) {
        set_ctrl(i, tag_of(h));
        continue;
      }
      if (ctrl_[target] == kCtrlEmpty) {
        ::new (static_cast<void*>(&slots_[target])) Slot(std::move(slots_[i]));
        std::destroy_at(&slots_[i]);
        set_ctrl(target, tag_of(h));
        set_ctrl(i, kCtrlEmpty);
      } else {
        alignas(Slot) unsigned char spare[sizeof(Slot)];
        Slot* tmp = ::new (static_cast<void*>(spare)) Slot(std::move(slots_[target]));
        std::destroy_at(&slots_[target]);
        ::new (static_cast<void*>(&slots_[target])) Slot(std::move(slots_[i]));
        std::destroy_at(&slots_[i]);
        ::new (static_cast<void*>(&slots_[i])) Slot(std::move(*tmp));
        std::destroy_at(tmp);
        set_ctrl(target, tag_of(h));
        --i;  // place the entry that was swapped in
      }
    }
    growth_left_ = capacity_of(buckets_) - items_;
  }

  void steal(FlatTable& other) noexcept {
    ctrl_ = std::exchange(other.ctrl_, nullptr);
    slots_ = std::exchange(other.slots_, nullptr);
    buckets_ = std::exchange(other.buckets_, 0);
    items_ = std::exchange(other.items_, 0);
    growth_left_ = std::exchange(other.growth_left_, 0);
    layout_ = std::exchange(other.layout_, 0);
  }

  // Destroys the entries and frees the storage.
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
    layout_ = fresh_number();
  }

  std::uint8_t* ctrl_ = nullptr;
  Slot* slots_ = nullptr;
  std::size_t buckets_ = 0;
  std::size_t items_ = 0;
  std::size_t growth_left_ = 0;
  std::uint64_t layout_ = 0;
};

}  // namespace tarnwick
