// IdTable<V> and IdSet: a FlatTable under hash keys of its own, for the side
// structures that one owner keeps behind a lock of its own, or on one thread
// (the message order's index, the ids a sweep must keep).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/flat_table.hpp"
#include "core/keyed_hash.hpp"

namespace tarnwick {

template <class V>
class IdTable {
 public:
  // Draws the table's hash keys (keyed_hash.hpp).
  IdTable() : hasher_{take_map_keys()} {}

  // Stores `value` under `key`; returns the value it replaced, if any.
  std::optional<V> insert(std::uint64_t key, V value) {
    return table_.insert(hasher_(key), key, std::move(value), hasher_);
  }
  const V* find(std::uint64_t key) const noexcept { return table_.find(hasher_(key), key); }
  std::optional<V> erase(std::uint64_t key) { return table_.erase(hasher_(key), key, hasher_); }
  // erase() that never shrinks the table (for a table about to be filled
  // again), and the shrink it leaves out, for when it is done.
  std::optional<V> erase_keeping_room(std::uint64_t key) { return table_.erase_keeping_room(hasher_(key), key); }
  void shrink_to_suit() { table_.shrink_to_suit(hasher_); }
  std::size_t size() const noexcept { return table_.size(); }
  // Room for n entries, so that inserting them grows nothing, and every
  // page of it touched once (see FlatTable::touch).
  void reserve_touched(std::size_t n) {
    table_.reserve(n, hasher_);
    table_.touch();
  }
  template <class F>
  void for_each(F&& f) const {
    table_.for_each(f);
  }

 private:
  KeyedHasher hasher_;
  FlatTable<V> table_;
};

// A set of ids, 8 bytes a member: the entry is its own key.
class IdSet {
 public:
  void insert(std::uint64_t id) { table_.insert(id, Entry{id}); }
  bool contains(std::uint64_t id) const noexcept { return table_.find(id) != nullptr; }
  std::size_t size() const noexcept { return table_.size(); }
  void reserve_touched(std::size_t n) { table_.reserve_touched(n); }

 private:
  struct Entry {
    std::uint64_t id;
    std::uint64_t key() const noexcept { return id; }
  };
  IdTable<Entry> table_;
};

}  // namespace tarnwick
