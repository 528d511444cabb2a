// CowMap: the map behind each of a guild's collections.  Copying one is
// O(1) and shares everything; the first change after a copy copies only what
// it touches, one shard at a time.
//
// Layout.  The map itself is two words: a reader-writer lock word and a
// pointer to a directory, which is null until the first insertion (an
// all-zero CowMap is a valid empty map, and an empty one allocates nothing).
//
//   CowMap:  [ lock | dir ]
//                      |
//   Dir:     [ refs | keys | amount, shift | tables | table 0 | table 1 | ... ]
//                                                     |          |
//   storage:                                        [refs|ctrl|slots] ...
//
// The directory holds the map's hash keys, its shard amount (fixed at the
// first insertion: the process's shard amount, and kept by every copy), and
// either one table for every key (while the map is small) or one table per
// shard, the shard being chosen by the bits of the key's hash just below its
// top seven, as in ShardedMap.  A small map becomes sharded once it holds
// more than kSplitAt entries per shard, so a map of a few entries pays for
// one table however many processors the host has, and a big one has every
// shard as an independent table.
//
// Sharing.  Directories and table storage carry reference counts.  A copy
// takes a reference to the source's directory.  A write to a map whose
// directory is shared first gives the map a directory of its own, whose
// tables share the old one's storage (one reference per table); then the
// table it writes is unshared, which copies that one table if anyone else
// still holds it.  So a change after a copy costs one directory and one
// shard's table, and every copy stays independent: nothing shared is ever
// written.
//
// Locking.  Readers (get, copy, size, for_each) hold the map's lock shared;
// writers (insert, erase) hold it exclusively, for the whole change.  The
// lock guards this map's own words and its directory while owned; shared
// directories and storage are read-only, so owners on different threads
// that share them never contend.  A guard from get() holds the read lock;
// drop it before writing to the same map.
#pragma once

#include <atomic>
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

#include "core/fault.hpp"
#include "core/processors.hpp"
#include "core/shard_lock.hpp"
#include "core/shard_table.hpp"
#include "core/sharded_map.hpp"
#include "core/siphash.hpp"

namespace tarnwick {

template <class V>
class CowMap {
 public:
  // A small map turns into one table per shard beyond this many entries per
  // shard.
  static constexpr std::size_t kSplitAt = 16;

  class ReadGuard {
   public:
    ReadGuard() noexcept = default;
    ReadGuard(ReadGuard&& o) noexcept
        : lock_(std::exchange(o.lock_, nullptr)), value_(std::exchange(o.value_, nullptr)) {}
    ReadGuard& operator=(ReadGuard&& o) noexcept {
      if (this != &o) {
        release();
        lock_ = std::exchange(o.lock_, nullptr);
        value_ = std::exchange(o.value_, nullptr);
      }
      return *this;
    }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ~ReadGuard() { release(); }

    explicit operator bool() const noexcept { return value_ != nullptr; }
    const V& value() const noexcept { return *value_; }

   private:
    friend class CowMap;
    ReadGuard(ShardLock& lock, const V& value) noexcept : lock_(&lock), value_(&value) {}
    void release() noexcept {
      if (lock_ != nullptr) std::exchange(lock_, nullptr)->unlock_shared();
    }

    ShardLock* lock_ = nullptr;
    const V* value_ = nullptr;
  };

  CowMap() noexcept = default;

  // Shares the source's directory: O(1), whatever the size.
  CowMap(const CowMap& o) noexcept {
    std::shared_lock guard(o.lock_);
    dir_ = o.dir_;
    if (dir_ != nullptr) dir_->refs.fetch_add(1, std::memory_order_relaxed);
  }

  CowMap(CowMap&& o) noexcept : dir_(std::exchange(o.dir_, nullptr)) {}
  CowMap& operator=(CowMap&& o) noexcept {
    if (this != &o) {
      reset();
      dir_ = std::exchange(o.dir_, nullptr);
    }
    return *this;
  }
  CowMap& operator=(const CowMap&) = delete;

  ~CowMap() { reset(); }

  // Releases this map's hold on its entries now; it is empty afterwards.
  void reset() noexcept {
    if (Dir* d = std::exchange(dir_, nullptr)) drop(d);
  }

  // Stores `value` under `key`; returns the value it replaced, which the
  // caller destroys after the lock is released.
  std::optional<V> insert(std::uint64_t key, V value) {
    std::lock_guard guard(lock_);
    Dir* d = own();
    const std::uint64_t h = d->hash(key);
    ShardTable<V>& t = d->table_for(h);
    t.unshare();
    std::optional<V> old = t.insert(h, key, std::move(value), Hasher{d->keys});
    if (d->tables == 1 && t.size() > kSplitAt * d->amount()) split();
    return old;
  }

  // Takes the entry under `key` out, if there is one.  A map that shares
  // its directory copies nothing when the key is absent.
  std::optional<V> erase(std::uint64_t key) {
    if (!get(key)) return std::nullopt;
    std::lock_guard guard(lock_);
    if (dir_ == nullptr) return std::nullopt;
    Dir* d = own();
    const std::uint64_t h = d->hash(key);
    ShardTable<V>& t = d->table_for(h);
    if (t.find(h, key) == nullptr) return std::nullopt;
    t.unshare();
    return t.erase(h, key, Hasher{d->keys});
  }

  // Gives this map the contents of `other` and `other` this map's, under
  // this map's write lock; `other` must not be in use by anyone else.
  void swap_contents(CowMap& other) noexcept {
    std::lock_guard guard(lock_);
    std::swap(dir_, other.dir_);
  }

  ReadGuard get(std::uint64_t key) const {
    lock_.lock_shared();
    if (dir_ != nullptr) {
      const std::uint64_t h = dir_->hash(key);
      if (const V* v = dir_->table_for(h).find(h, key)) return ReadGuard(lock_, *v);
    }
    lock_.unlock_shared();
    return {};
  }

  std::size_t size() const {
    std::shared_lock guard(lock_);
    std::size_t n = 0;
    if (dir_ != nullptr) {
      for (std::size_t i = 0; i < dir_->tables; ++i) n += dir_->table(i).size();
    }
    return n;
  }

  // Calls f(key, value) for every entry, under the read lock; f must not
  // use this map.
  template <class F>
  void for_each(F&& f) const {
    std::shared_lock guard(lock_);
    if (dir_ == nullptr) return;
    for (std::size_t i = 0; i < dir_->tables; ++i) dir_->table(i).for_each(f);
  }

  // Bytes of the directory and the table storage (shared storage counted in
  // full by every holder).
  std::size_t storage_bytes() const {
    std::shared_lock guard(lock_);
    if (dir_ == nullptr) return 0;
    std::size_t n = Dir::bytes_for(dir_->tables);
    for (std::size_t i = 0; i < dir_->tables; ++i) n += dir_->table(i).storage_bytes();
    return n;
  }

  // For tests: the shard amount fixed at the first insertion (0 before),
  // how many tables the directory has, and what this map shares.
  std::size_t shard_amount() const {
    std::shared_lock guard(lock_);
    return dir_ == nullptr ? 0 : dir_->amount();
  }
  std::size_t table_count() const {
    std::shared_lock guard(lock_);
    return dir_ == nullptr ? 0 : dir_->tables;
  }
  bool shares_directory_with(const CowMap& o) const noexcept {
    return dir_ != nullptr && dir_ == o.dir_;
  }
  // How many tables of this map have storage that another holder shares.
  std::size_t shared_tables() const {
    std::shared_lock guard(lock_);
    std::size_t n = 0;
    if (dir_ != nullptr) {
      for (std::size_t i = 0; i < dir_->tables; ++i) n += dir_->table(i).is_shared();
    }
    return n;
  }

 private:
  struct Hasher {
    HashKeys keys;
    std::uint64_t operator()(std::uint64_t key) const noexcept {
      return siphash13_u64(keys.k0, keys.k1, key);
    }
  };

  // The directory header; its `tables` ShardTables follow it in the same
  // allocation.
  struct Dir {
    std::atomic<std::size_t> refs{1};
    HashKeys keys;
    unsigned shift;       // 64 - log2(shard amount)
    std::uint32_t tables; // 1 while small, else the shard amount

    static std::size_t bytes_for(std::size_t tables) {
      return sizeof(Dir) + tables * sizeof(ShardTable<V>);
    }
    static Dir* make(HashKeys keys, unsigned shift, std::size_t tables) {
      void* p = checked_aligned_alloc(alignof(Dir), bytes_for(tables));
      Dir* d = ::new (p) Dir{};
      d->keys = keys;
      d->shift = shift;
      d->tables = static_cast<std::uint32_t>(tables);
      for (std::size_t i = 0; i < tables; ++i) ::new (static_cast<void*>(&d->table(i))) ShardTable<V>();
      return d;
    }
    void destroy() noexcept {
      for (std::size_t i = 0; i < tables; ++i) std::destroy_at(&table(i));
      std::destroy_at(this);
      std::free(this);
    }

    std::size_t amount() const noexcept { return std::size_t{1} << (64 - shift); }
    std::uint64_t hash(std::uint64_t key) const noexcept { return Hasher{keys}(key); }
    ShardTable<V>& table(std::size_t i) noexcept {
      return reinterpret_cast<ShardTable<V>*>(this + 1)[i];
    }
    const ShardTable<V>& table(std::size_t i) const noexcept {
      return reinterpret_cast<const ShardTable<V>*>(this + 1)[i];
    }
    std::size_t index_of(std::uint64_t h) const noexcept {
      return tables == 1 ? 0 : static_cast<std::size_t>((h << 7) >> shift);
    }
    ShardTable<V>& table_for(std::uint64_t h) noexcept { return table(index_of(h)); }
    const ShardTable<V>& table_for(std::uint64_t h) const noexcept { return table(index_of(h)); }
  };
  static_assert(sizeof(Dir) % alignof(ShardTable<V>) == 0);

  static void drop(Dir* d) noexcept {
    if (d->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) d->destroy();
  }

  // Under the write lock: a directory that is this map's alone, made or
  // copied as needed.
  Dir* own() {
    if (dir_ == nullptr) {
      const std::size_t amount = collection_shard_amount();
      if (amount <= 1) fault("assertion failed: shard_amount > 1");
      if (!std::has_single_bit(amount)) fault("assertion failed: shard_amount.is_power_of_two()");
      dir_ = Dir::make(take_map_keys(), 64 - static_cast<unsigned>(std::countr_zero(amount)), 1);
    } else if (dir_->refs.load(std::memory_order_acquire) != 1) {
      Dir* mine = Dir::make(dir_->keys, dir_->shift, dir_->tables);
      for (std::size_t i = 0; i < dir_->tables; ++i) mine->table(i) = dir_->table(i).share();
      drop(std::exchange(dir_, mine));
    }
    return dir_;
  }

  // Under the write lock, with the directory owned: one table per shard.
  void split() {
    Dir* small = dir_;
    const std::size_t amount = small->amount();
    Dir* big = Dir::make(small->keys, small->shift, amount);
    ShardTable<V>& all = small->table(0);
    const Hasher rehash{small->keys};
    const std::size_t each = all.size() / amount;
    for (std::size_t i = 0; i < amount; ++i) big->table(i).reserve(each + each / 4 + 1, rehash);
    // The single table may still be shared with another directory; then its
    // values are copied, else moved.
    const bool shared = all.is_shared();
    try {
      all.for_each([&](std::uint64_t key, const V& v) {
        const std::uint64_t h = rehash(key);
        V value = shared ? V(v) : V(std::move(const_cast<V&>(v)));
        big->table_for(h).insert(h, key, std::move(value), rehash);
      });
    } catch (...) {
      big->destroy();  // only copies were made: the source is intact
      throw;
    }
    dir_ = big;
    drop(small);
  }

  mutable ShardLock lock_;
  Dir* dir_ = nullptr;
};

}  // namespace tarnwick
