// ShardedMap: a concurrent map from 64-bit ids to values, split into a
// power-of-two number of shards, each a FlatTable behind its own RwLock.
//
// Layout.  One 128-byte-aligned array of shards; each shard is padded to 128
// bytes (lock word, then the table's five words) so that no two lock words
// share a cache-line pair.  Beside it: shift = 64 - log2(shards) and the
// map's two SipHash-1-3 keys.
//
// One hash, two uses.  h = siphash13(k0, k1, key).  The shard is
// (h << 7) >> shift, the bits just below the top seven; the top seven are
// the table's tag and the low bits its probe start, so the shard choice and
// the in-table position do not correlate.
//
// Locking.  insert write-locks one shard and releases it before returning
// the replaced value, so the caller destroys that value unlocked.  get
// read-locks one shard; on a hit the returned guard keeps the read lock until
// it is destroyed, on a miss the lock is released before get returns.  copy
// read-locks each source shard in turn: consistent per shard, not across
// shards.  A thread must drop its guards on a map before it inserts into it.
//
// Keys.  Every map hashes under a key pair of its own (keyed_hash.hpp); a
// copy keeps its source's keys.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "core/fault.hpp"
#include "core/processors.hpp"
#include "core/rw_lock.hpp"
#include "core/flat_table.hpp"
#include "core/keyed_hash.hpp"
#include "core/tally.hpp"

namespace tarnwick {

template <class V>
class ShardedMap {
  struct alignas(128) MapShard {
    RwLock lock;
    FlatTable<V> table;
    [[no_unique_address]] Weight_t<V> weight{};  // of what the table holds
  };
  static_assert(sizeof(MapShard) == 128);

 public:
  // Holds a shard's read lock while the caller looks at one entry.
  using ReadGuard = tarnwick::ReadGuard<V>;

  ShardedMap() : ShardedMap(shard_amount(), take_map_keys()) {}

  // A map with a chosen shard amount, for tests of other machine sizes.
  static ShardedMap with_shard_amount(std::size_t amount) {
    return ShardedMap(amount, take_map_keys());
  }

  ShardedMap(ShardedMap&& other) noexcept
      : shards_(std::exchange(other.shards_, nullptr)),
        shift_(other.shift_),
        keys_(other.keys_) {}

  ShardedMap& operator=(ShardedMap&& other) noexcept {
    if (this != &other) {
      release();
      shards_ = std::exchange(other.shards_, nullptr);
      shift_ = other.shift_;
      keys_ = other.keys_;
    }
    return *this;
  }

  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  ~ShardedMap() { release(); }

  // Releases every entry and the shard array now; the map is then unusable
  // until assigned anew (as after a move).
  void reset() noexcept { release(); }

  // Stores `value` under `key`; returns the value it replaced, which the
  // caller destroys after the shard lock is already released.
  std::optional<V> insert(std::uint64_t key, V value) {
    const std::uint64_t h = hash(key);
    MapShard& s = shards_[index_of_hash(h)];
    std::optional<V> old;
    {
      const Weight_t<V> w = weight_of(value);
      std::lock_guard guard(s.lock);
      old = s.table.insert(h, key, std::move(value), KeyedHasher{keys_});
      s.weight += w;
      if (old) s.weight -= weight_of(*old);
    }
    return old;
  }

  ReadGuard get(std::uint64_t key) const {
    const std::uint64_t h = hash(key);
    MapShard& s = shards_[index_of_hash(h)];
    s.lock.lock_shared();
    const V* value = s.table.find(h, key);
    if (value == nullptr) {
      s.lock.unlock_shared();
      return {};
    }
    return ReadGuard(s.lock, *value, key);
  }

  // Looks up keys[0..n) and calls f(i, value) for each one filed, with its
  // shard read-locked.  The keys go kManyAtOnce at a time, shard by shard,
  // so a shard's read lock is taken once for all of its keys in the batch,
  // and the memory of their entries is fetched together rather than one
  // miss after another: first every key's control bytes, then its likely
  // slot, then every value found (on which touch(value) runs, to prefetch
  // what the value points to), then f for each.  Neither touch nor f may
  // use this map.
  static constexpr std::size_t kManyAtOnce = 128;

  template <class Touch, class F>
  void get_many(const std::uint64_t* keys, std::size_t n, Touch&& touch, F&& f) const {
    std::uint64_t hashes[kManyAtOnce];
    std::uint16_t order[kManyAtOnce];
    const V* found[kManyAtOnce];
    std::vector<std::uint16_t, CheckedAllocator<std::uint16_t>> ends(shard_count());
    for (std::size_t done = 0; done < n; done += kManyAtOnce) {
      const std::size_t m = std::min(n - done, kManyAtOnce);
      const std::uint64_t* batch = keys + done;
      // A counting sort of the batch by shard: shard s's keys end up at
      // ends[s - 1] .. ends[s] of `order` (from 0 for shard 0).
      std::fill(ends.begin(), ends.end(), 0);
      for (std::size_t i = 0; i < m; ++i) {
        hashes[i] = hash(batch[i]);
        ++ends[index_of_hash(hashes[i])];
      }
      for (std::size_t s = 0, start = 0; s < ends.size(); ++s) {
        const std::size_t count = ends[s];
        ends[s] = static_cast<std::uint16_t>(start);
        start += count;
      }
      for (std::size_t i = 0; i < m; ++i) order[ends[index_of_hash(hashes[i])]++] = static_cast<std::uint16_t>(i);
      for (std::size_t s = 0, a = 0; s < ends.size(); a = ends[s++]) {
        const std::size_t b = ends[s];
        if (a == b) continue;
        std::shared_lock guard(shards_[s].lock);
        const FlatTable<V>& table = shards_[s].table;
        for (std::size_t k = a; k < b; ++k) table.prefetch_group(hashes[order[k]]);
        for (std::size_t k = a; k < b; ++k) table.prefetch_slot(hashes[order[k]]);
        for (std::size_t k = a; k < b; ++k) {
          found[k] = table.find(hashes[order[k]], batch[order[k]]);
          if (found[k] != nullptr) touch(*found[k]);
        }
        for (std::size_t k = a; k < b; ++k) {
          if (found[k] != nullptr) f(done + order[k], *found[k]);
        }
      }
    }
  }

  // Runs f(value) on the entry under `key` with its shard write-locked, so
  // f may change the value in place (never its key); false if there is no
  // such entry.  f must not use this map.
  template <class F>
  bool update(std::uint64_t key, F&& f) {
    const std::uint64_t h = hash(key);
    MapShard& s = shards_[index_of_hash(h)];
    std::lock_guard guard(s.lock);
    V* value = s.table.find(h, key);
    if (value == nullptr) return false;
    s.weight -= weight_of(*value);
    try {
      f(*value);
    } catch (...) {
      s.weight += weight_of(*value);
      throw;
    }
    s.weight += weight_of(*value);
    return true;
  }

  // Takes the entry under `key` out, if there is one; the caller destroys
  // it after the shard lock is already released.
  std::optional<V> erase(std::uint64_t key) {
    const std::uint64_t h = hash(key);
    MapShard& s = shards_[index_of_hash(h)];
    std::lock_guard guard(s.lock);
    std::optional<V> old = s.table.erase(h, key, KeyedHasher{keys_});
    if (old) s.weight -= weight_of(*old);
    return old;
  }

  // Calls f(key, value) for every entry, one shard's read lock at a time;
  // f must not use this map.
  template <class F>
  void for_each(F&& f) const {
    for (std::size_t i = 0; i < shard_count(); ++i) for_each_in(i, f);
  }

  // What erase_if and clear take out, for the caller to destroy after the
  // locks are gone: values taken one by one, and whole tables (clear's).
  class Removed {
   public:
    std::size_t size() const noexcept {
      std::size_t n = values_.size();
      for (const FlatTable<V>& t : tables_) n += t.size();
      return n;
    }
    bool empty() const noexcept { return size() == 0; }
    // f(value) for each value taken.
    template <class F>
    void each(F&& f) const {
      for (const V& v : values_) f(v);
      for (const FlatTable<V>& t : tables_) t.for_each([&](std::uint64_t, const V& v) { f(v); });
    }
    void clear() noexcept {
      values_.clear();
      tables_.clear();
    }

   private:
    friend class ShardedMap;
    std::vector<V> values_;
    std::vector<FlatTable<V>> tables_;
  };

  // Takes out every entry for which drop(key, value) holds into `out`, a
  // run of buckets under each hold of a shard's write lock, so that a
  // writer to a big shard waits for one run, not for the whole walk; a
  // shard left sparse shrinks.  Should a shard's entries move while the
  // lock is let go (its table resized, rehashed or emptied), its walk
  // starts again; after a few such starts, the rest of it is walked in one
  // hold.
  // What is filed meanwhile may or may not be walked.  drop must not use
  // this map.
  // (Run, the buckets of a hold, is for tests.)
  static constexpr std::size_t kEraseRun = 4096;
  template <std::size_t Run = kEraseRun, class P>
  void erase_if(P&& drop, Removed& out) {
    for (std::size_t i = 0; i < shard_count(); ++i) {
      std::size_t from = 0, run = Run, starts = 0;
      std::uint64_t layout = ~std::uint64_t{0};  // no table's
      for (bool done = false, want_room = false; !done;) {
        // Room is made here, outside the lock: a run that finds `out` full
        // ends there.
        if (std::exchange(want_room, false)) {
          out.values_.reserve(std::max<std::size_t>(64, 2 * out.values_.capacity()));
        }
        RwLock& lock = shards_[i].lock;
        lock.lock();
        struct LetIn {
          RwLock& lock;
          ~LetIn() { lock.unlock_letting_in(); }
        } let_in{lock};
        FlatTable<V>& table = shards_[i].table;
        if (table.layout() != layout || from > table.bucket_count()) {
          layout = table.layout();
          from = 0;
          if (++starts > 4) run = table.bucket_count();
        }
        const std::size_t buckets = table.bucket_count(), to = from + std::min(run, buckets - from);
        std::size_t b = table.next_full(from);
        for (; b < to; b = table.next_full(b + 1)) {
          if (!drop(table.key_at(b), table.value_at(b))) continue;
          if ((want_room = out.values_.size() == out.values_.capacity())) break;
          shards_[i].weight -= weight_of(table.value_at(b));
          out.values_.push_back(table.take_at(b));
        }
        from = std::min(b, to);
        done = from == buckets;
        if (done) table.shrink_to_suit(KeyedHasher{keys_});
      }
    }
  }

  // Calls f(key, value) for every entry of shard i, under its read lock; f
  // must not use this map.
  template <class F>
  void for_each_in(std::size_t i, F&& f) const {
    std::shared_lock guard(shards_[i].lock);
    shards_[i].table.for_each(f);
  }

  std::size_t size() const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < shard_count(); ++i) {
      std::shared_lock guard(shards_[i].lock);
      n += shards_[i].table.size();
    }
    return n;
  }

  // The summed weight() of every value (tally.hpp), one shard's read lock at
  // a time: it costs the same however much the map holds.
  Weight_t<V> weight() const {
    Weight_t<V> sum{};
    for (std::size_t i = 0; i < shard_count(); ++i) {
      std::shared_lock guard(shards_[i].lock);
      sum += shards_[i].weight;
    }
    return sum;
  }

  // Bytes of the shard array and the tables' storage.
  std::size_t storage_bytes() const {
    std::size_t n = shard_count() * sizeof(MapShard);
    for (std::size_t i = 0; i < shard_count(); ++i) {
      std::shared_lock guard(shards_[i].lock);
      n += shards_[i].table.storage_bytes();
    }
    return n;
  }

  // Empties every shard; the entries are destroyed outside the locks.
  void clear() {
    for (std::size_t i = 0; i < shard_count(); ++i) {
      FlatTable<V> old;
      std::lock_guard guard(shards_[i].lock);
      old = std::move(shards_[i].table);
      shards_[i].weight = {};
    }
  }

  // Empties every shard into `out`, its tables whole, for the caller to
  // destroy after the locks are gone.
  void clear(Removed& out) {
    out.tables_.reserve(out.tables_.size() + shard_count());
    for (std::size_t i = 0; i < shard_count(); ++i) {
      std::lock_guard guard(shards_[i].lock);
      out.tables_.push_back(std::move(shards_[i].table));
      shards_[i].table = FlatTable<V>();
      shards_[i].weight = {};
    }
  }

  ShardedMap copy() const {
    ShardedMap out(shard_count(), keys_);
    for (std::size_t i = 0; i < shard_count(); ++i) {
      std::shared_lock guard(shards_[i].lock);
      out.shards_[i].table = FlatTable<V>(shards_[i].table);
      out.shards_[i].weight = shards_[i].weight;
    }
    return out;
  }

  std::size_t shard_count() const noexcept { return std::size_t{1} << (64 - shift_); }
  unsigned shift() const noexcept { return shift_; }
  std::uint64_t key0() const noexcept { return keys_.k0; }
  std::uint64_t key1() const noexcept { return keys_.k1; }
  const FlatTable<V>& shard_table(std::size_t i) const noexcept { return shards_[i].table; }
  std::uint64_t lock_word(std::size_t i) const noexcept { return shards_[i].lock.load_word(); }
  std::size_t shard_index_of(std::uint64_t key) const noexcept {
    return index_of_hash(hash(key));
  }

 private:
  ShardedMap(std::size_t amount, HashKeys keys) : keys_(keys) {
    if (amount <= 1) fault("assertion failed: shard_amount > 1");
    if (!std::has_single_bit(amount)) fault("assertion failed: shard_amount.is_power_of_two()");
    shards_ = static_cast<MapShard*>(
        checked_aligned_alloc(alignof(MapShard), checked_mul(amount, sizeof(MapShard))));
    for (std::size_t i = 0; i < amount; ++i) ::new (static_cast<void*>(&shards_[i])) MapShard{};
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(amount));
  }

  std::uint64_t hash(std::uint64_t key) const noexcept { return KeyedHasher{keys_}(key); }

  std::size_t index_of_hash(std::uint64_t h) const noexcept {
    return static_cast<std::size_t>((h << 7) >> shift_);
  }

  void release() noexcept {
    if (shards_ == nullptr) return;
    std::destroy_n(shards_, shard_count());
    std::free(shards_);
    shards_ = nullptr;
  }

  MapShard* shards_ = nullptr;
  unsigned shift_ = 64;
  HashKeys keys_;
};

}  // namespace tarnwick
