// CowMap: the map behind each of a guild's collections.  Copying one is
// O(1) and shares everything; the first change after a copy copies only the
// one table it touches, and no table ever holds more than kSplitAt entries,
// so that change costs the same in a guild of a thousand members and in one
// of a million.
//
// Layout.  The map itself is two words: a reader-writer lock word and a
// pointer to a directory, which is null until the first insertion (an
// all-zero CowMap is a valid empty map, and an empty one allocates nothing).
// The directory also keeps the map's counts (entries, storage bytes, the
// values' summed weight) as it changes, so that reading them costs nothing.
//
//   CowMap:  [ lock | dir ]
//                      |
//   Dir:     [ refs | keys | depth D | counts | slot 0 | slot 1 | ... | slot 2^D-1 ]
//                                        |        |            |
//   Node:                             [ refs | depth d | table ]  ...
//                                                          |
//   storage:                                       [refs|ctrl|slots]
//
// The directory is an extendible hash: the D bits of the key's hash just
// below its top seven (the table's tag) pick a slot, and each slot points to
// a node holding one table.  A node of depth d owns every slot whose index
// agrees with it in the top d of those D bits, a run of 2^(D-d) slots.  A
// table that would pass kSplitAt entries splits into two nodes of depth d+1
// by the next bit, doubling the directory first if d == D.  So a small map
// is one node and one table whatever the host, a big one has about
// size / kSplitAt * 2 tables, and growth never moves more than one table's
// entries at a time.
//
// Sharing.  Directories and nodes carry reference counts (nodes count the
// directories that hold them).  A copy takes a reference to the source's
// directory.  A write to a map whose directory is shared first gives the map
// a directory of its own, holding the same nodes (one more reference each);
// then the node it writes, if another directory holds it too, is replaced by
// a copy of its own.  Nothing shared is ever written, so every copy stays
// independent, and the first change after a copy costs one directory and one
// table of at most kSplitAt entries.
//
// Locking.  Readers (get, copy, size, for_each) hold the map's lock shared;
// writers (insert, erase) hold it exclusively, for the whole change.  The
// lock guards this map's own words and its directory while owned; shared
// directories and nodes are read-only, so owners on different threads that
// share them never contend.  A guard from get() holds the read lock; drop it
// before writing to the same map.  The WritersExcluded copy takes no lock:
// it is for owners whose writers all hold some outer lock the copier holds.
// The same goes for find(key, WritersExcluded) and next(): a cursor walk
// takes no lock, so it is for a map nobody writes, such as a copy that
// only its walker holds.
#pragma once

#include <algorithm>
#include <atomic>
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
#include "core/rw_lock.hpp"
#include "core/flat_table.hpp"
#include "core/keyed_hash.hpp"
#include "core/tally.hpp"

namespace tarnwick {

// Picks the CowMap copy that does not take the source's lock.
struct WritersExcluded {};

template <class V>
class CowMap {
 public:
  // No table holds more entries than this: the capacity of 1024 buckets.
  static constexpr std::size_t kSplitAt = FlatTable<V>::capacity_of(1024);

  using ReadGuard = tarnwick::ReadGuard<V>;

  CowMap() noexcept = default;

  // Shares the source's directory: O(1), whatever the size.
  CowMap(const CowMap& o) noexcept {
    std::shared_lock guard(o.lock_);
    dir_ = o.dir_;
    if (dir_ != nullptr) dir_->refs.fetch_add(1, std::memory_order_relaxed);
  }

  // The same without taking the source's lock, for a caller that already
  // excludes every writer of `o` by a lock all of them hold.
  CowMap(const CowMap& o, WritersExcluded) noexcept : dir_(o.dir_) {
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
    own_dir();
    const std::uint64_t h = dir_->hash(key);
    Node* node = own_node(h);
    if (node->table.size() >= kSplitAt && node->table.find(h, key) == nullptr) {
      split(h);
      node = dir_->node_for(h);
    }
    const Weight_t<V> w = weight_of(value);
    const std::size_t before = node->table.storage_bytes();
    std::optional<V> old = node->table.insert(h, key, std::move(value), KeyedHasher{dir_->keys});
    Counts& c = dir_->counts;
    c.storage += node->table.storage_bytes() - before;
    c.weight += w;
    if (old) {
      c.weight -= weight_of(*old);
    } else {
      ++c.size;
    }
    return old;
  }

  // Takes the entry under `key` out, if there is one.  A map that shares
  // its directory copies nothing when the key is absent.
  std::optional<V> erase(std::uint64_t key) {
    if (!get(key)) return std::nullopt;
    std::lock_guard guard(lock_);
    if (dir_ == nullptr) return std::nullopt;
    const std::uint64_t h = dir_->hash(key);
    if (dir_->node_for(h)->table.find(h, key) == nullptr) return std::nullopt;
    own_dir();
    Node* node = own_node(h);
    const std::size_t before = node->table.storage_bytes();
    std::optional<V> old = node->table.erase(h, key, KeyedHasher{dir_->keys});
    Counts& c = dir_->counts;
    c.storage -= before - node->table.storage_bytes();
    if (old) {
      c.weight -= weight_of(*old);
      --c.size;
    }
    return old;
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
      if (const V* v = std::as_const(dir_->node_for(h)->table).find(h, key)) return ReadGuard(lock_, *v, key);
    }
    lock_.unlock_shared();
    return {};
  }

  // The entry under `key`, or null, without taking the lock; for a caller
  // that excludes every writer as for the WritersExcluded copy, and only
  // for as long as it does.
  const V* find(std::uint64_t key, WritersExcluded) const noexcept {
    if (dir_ == nullptr) return nullptr;
    const std::uint64_t h = dir_->hash(key);
    return std::as_const(dir_->node_for(h)->table).find(h, key);
  }

  // A place in a walk over the entries: a directory slot (the first of its
  // node's run) and the next bucket of that node's table.
  struct Cursor {
    std::size_t slot = 0;
    std::size_t bucket = 0;
  };

  // The entry at the cursor or after it, or null when the walk is over;
  // the cursor moves past it.  Nodes come in slot order, each one's full
  // buckets in bucket order.  No lock is taken, as for find(key,
  // WritersExcluded): the walk is for a map nobody writes while it lasts,
  // such as a private copy, whose tables stay as they were because shared
  // ones are never written.
  const V* next(Cursor& c, WritersExcluded, std::uint64_t* key = nullptr) const noexcept {
    if (dir_ == nullptr) return nullptr;
    for (const std::size_t n = dir_->slot_count(); c.slot < n;) {
      const Node* node = dir_->slots()[c.slot];
      const std::size_t i = node->table.next_full(c.bucket);
      if (i < node->table.bucket_count()) {
        c.bucket = i + 1;
        if (key != nullptr) *key = node->table.key_at(i);
        return &node->table.value_at(i);
      }
      c.slot += run_of(node->depth);
      c.bucket = 0;
    }
    return nullptr;
  }

  // What the map keeps count of as it changes, read together under one lock.
  struct Counts {
    std::size_t size = 0;
    std::size_t storage = 0;  // as storage_bytes() says
    [[no_unique_address]] Weight_t<V> weight{};
  };
  Counts counts() const {
    std::shared_lock guard(lock_);
    return dir_ == nullptr ? Counts{} : dir_->counts;
  }

  // The counts are kept as the map changes: O(1).
  std::size_t size() const {
    std::shared_lock guard(lock_);
    return dir_ == nullptr ? 0 : dir_->counts.size;
  }
  // The summed weight() of the values (tally.hpp).
  Weight_t<V> weight() const {
    std::shared_lock guard(lock_);
    return dir_ == nullptr ? Weight_t<V>{} : dir_->counts.weight;
  }

  // Calls f(key, value) for every entry, under the read lock; f must not
  // use this map.
  template <class F>
  void for_each(F&& f) const {
    std::shared_lock guard(lock_);
    each_node([&](const Node& node) { node.table.for_each(f); });
  }

  // Bytes of the directory, the nodes and the table storage (shared ones
  // counted in full by every holder).
  std::size_t storage_bytes() const {
    std::shared_lock guard(lock_);
    return dir_ == nullptr ? 0 : dir_->counts.storage;
  }

  // For tests: the same figures found by walking the map.
  std::size_t walked_size() const {
    std::shared_lock guard(lock_);
    std::size_t n = 0;
    each_node([&](const Node& node) { n += node.table.size(); });
    return n;
  }
  std::size_t walked_storage_bytes() const {
    std::shared_lock guard(lock_);
    if (dir_ == nullptr) return 0;
    std::size_t n = Dir::bytes_for(dir_->depth);
    each_node([&](const Node& node) { n += sizeof(Node) + node.table.storage_bytes(); });
    return n;
  }

  // For tests: how many tables the map has, how many of them another
  // directory holds too, and whether two maps share a directory.
  std::size_t table_count() const {
    std::shared_lock guard(lock_);
    std::size_t n = 0;
    each_node([&](const Node&) { ++n; });
    return n;
  }
  std::size_t shared_tables() const {
    std::shared_lock guard(lock_);
    std::size_t n = 0;
    each_node([&](const Node& node) { n += node.refs.load(std::memory_order_acquire) != 1; });
    return n;
  }
  bool shares_directory_with(const CowMap& o) const noexcept { return dir_ != nullptr && dir_ == o.dir_; }

  // The entries that letting go of this map would free: those of the
  // tables no other directory holds, when no other map holds this one's.
  // Only for a map no other thread uses.
  std::size_t sole_entries() const noexcept {
    if (dir_ == nullptr || dir_->refs.load(std::memory_order_acquire) != 1) return 0;
    std::size_t n = 0;
    each_node([&](const Node& node) { n += node.refs.load(std::memory_order_acquire) == 1 ? node.table.size() : 0; });
    return n;
  }

 private:
  // One table and the number of directories that hold it.
  struct Node {
    mutable std::atomic<std::size_t> refs{1};
    unsigned depth = 0;
    FlatTable<V> table;

    static Node* make(unsigned depth) {
      Node* n = ::new (checked_malloc(sizeof(Node))) Node();
      n->depth = depth;
      return n;
    }
    void destroy() noexcept {
      std::destroy_at(this);
      std::free(this);
    }
  };

  static void drop(Node* n) noexcept {
    if (n->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) n->destroy();
  }

  // The directory header; its 2^depth node pointers follow it.
  // What a map holds, kept in its directory as it changes: shared with the
  // directory (whose sharers hold the same), copied with it.
  struct Dir {
    std::atomic<std::size_t> refs{1};
    HashKeys keys;
    unsigned depth = 0;
    Counts counts;

    static std::size_t bytes_for(unsigned depth) noexcept {
      return sizeof(Dir) + (std::size_t{1} << depth) * sizeof(Node*);
    }
    static Dir* make(HashKeys keys, unsigned depth) {
      Dir* d = ::new (checked_malloc(bytes_for(depth))) Dir();
      d->keys = keys;
      d->depth = depth;
      return d;
    }
    Node** slots() noexcept { return reinterpret_cast<Node**>(this + 1); }
    Node* const* slots() const noexcept { return reinterpret_cast<Node* const*>(this + 1); }
    std::size_t slot_count() const noexcept { return std::size_t{1} << depth; }

    std::uint64_t hash(std::uint64_t key) const noexcept { return KeyedHasher{keys}(key); }
    // The bits just below the tag, as many as the directory's depth.
    std::size_t index_of(std::uint64_t h) const noexcept {
      return depth == 0 ? 0 : static_cast<std::size_t>((h << 7) >> (64 - depth));
    }
    Node* node_for(std::uint64_t h) const noexcept { return slots()[index_of(h)]; }

    // Calls f(node, first slot) once per node, in slot order; f may
    // destroy the node.
    template <class F>
    void each_node(F&& f) const {
      const std::size_t n = slot_count();
      for (std::size_t i = 0; i < n;) {
        Node* node = slots()[i];
        const std::size_t next = i + (std::size_t{1} << (depth - node->depth));
        f(*node, i);
        i = next;
      }
    }
  };
  static_assert(sizeof(Dir) % alignof(Node*) == 0);

  static void drop(Dir* d) noexcept {
    if (d->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    d->each_node([](const Node& node, std::size_t) { drop(const_cast<Node*>(&node)); });
    std::destroy_at(d);
    std::free(d);
  }

  template <class F>
  void each_node(F&& f) const {
    if (dir_ != nullptr) dir_->each_node([&](const Node& node, std::size_t) { f(node); });
  }

  // Under the write lock: a directory that is this map's alone.
  void own_dir() {
    if (dir_ == nullptr) {
      Dir* d = Dir::make(take_map_keys(), 0);
      d->slots()[0] = Node::make(0);
      dir_ = d;
      d->counts.storage = Dir::bytes_for(0) + sizeof(Node);
      return;
    }
    if (dir_->refs.load(std::memory_order_acquire) == 1) return;
    Dir* mine = Dir::make(dir_->keys, dir_->depth);
    mine->counts = dir_->counts;
    std::copy_n(dir_->slots(), dir_->slot_count(), mine->slots());
    mine->each_node([](const Node& node, std::size_t) { node.refs.fetch_add(1, std::memory_order_relaxed); });
    drop(std::exchange(dir_, mine));
  }

  // Under the write lock, with the directory owned: the node for `h`, made
  // this directory's alone (a copy of its table if another one holds it).
  Node* own_node(std::uint64_t h) {
    Node* node = dir_->node_for(h);
    if (node->refs.load(std::memory_order_acquire) == 1) return node;
    Node* mine = Node::make(node->depth);
    try {
      mine->table = FlatTable<V>(node->table);
    } catch (...) {
      mine->destroy();
      throw;
    }
    std::fill_n(dir_->slots() + first_slot(h, node->depth), run_of(node->depth), mine);
    drop(node);
    return mine;
  }

  // The run of slots that a node of depth `depth` owns, and the first of
  // them for hash h.
  std::size_t run_of(unsigned depth) const noexcept { return std::size_t{1} << (dir_->depth - depth); }
  std::size_t first_slot(std::uint64_t h, unsigned depth) const noexcept {
    return dir_->index_of(h) & ~(run_of(depth) - 1);
  }

  // Under the write lock, with the directory and the node for `h` owned:
  // that node's table splits in two by the next bit of the hash.
  void split(std::uint64_t h) {
    Node* node = dir_->node_for(h);
    if (node->depth == dir_->depth) grow_dir();
    const unsigned depth = node->depth + 1;
    Node* halves[2] = {Node::make(depth), Node::make(depth)};
    const KeyedHasher rehash{dir_->keys};
    for (Node* half : halves) half->table.reserve(node->table.size() / 2 + 1, rehash);
    // The node is owned, so its values move; nothing below can fail.
    node->table.for_each([&](std::uint64_t key, const V& v) {
      const std::uint64_t kh = rehash(key);
      Node* half = halves[((kh << 7) >> (63 - node->depth)) & 1];
      half->table.insert(kh, key, V(std::move(const_cast<V&>(v))), rehash);
    });
    const std::size_t run = run_of(node->depth), first = first_slot(h, node->depth);
    std::fill_n(dir_->slots() + first, run / 2, halves[0]);
    std::fill_n(dir_->slots() + first + run / 2, run / 2, halves[1]);
    dir_->counts.storage += sizeof(Node) + halves[0]->table.storage_bytes() + halves[1]->table.storage_bytes() -
                       node->table.storage_bytes();
    node->destroy();
  }

  // Under the write lock, with the directory owned: twice the slots, each
  // node owning twice as many.
  void grow_dir() {
    Dir* bigger = Dir::make(dir_->keys, dir_->depth + 1);
    bigger->counts = dir_->counts;
    const std::size_t n = dir_->slot_count();
    for (std::size_t i = 0; i < n; ++i) bigger->slots()[2 * i] = bigger->slots()[2 * i + 1] = dir_->slots()[i];
    std::destroy_at(dir_);  // its node references move to the bigger one
    std::free(dir_);
    dir_ = bigger;
    dir_->counts.storage += Dir::bytes_for(dir_->depth) - Dir::bytes_for(dir_->depth - 1);
  }

  mutable RwLock lock_;
  Dir* dir_ = nullptr;
};

}  // namespace tarnwick
