// RwLock: a reader-writer lock in a single 64-bit word, parked threads kept
// off to the side in the parking table.  Each shard of a ShardedMap has one,
// and so does each CowMap.
//
// The word:
//
//   63                                  2   1   0
//   [ reader count (each reader adds 4)  | W | R ]
//
//   R  readers parked: some reader is, or is about to be, parked on &word + 1
//   W  writers parked: some writer is, or is about to be, parked on &word
//   a writer holds the lock when bits 2..63 are all set (0xff..fc | W | R)
//
//   0            free, nobody waiting
//   4            one reader
//   6            one reader, a writer waiting
//   0xff..fc     a writer
//
// Acquisitions use acquire ordering, releases release ordering.  The fast
// paths are one compare-and-swap each (reader: add 4 while no writer and the
// count cannot reach the writer pattern; writer: 0 -> 0xff..fc) and each
// release is one atomic operation unless a parked bit is set.
//
// Slow paths.  A thread that cannot take the lock spins for ten rounds (2, 4,
// 8 pauses, then seven sched_yield calls), then sets its parked bit and
// parks, with a validation that the lock is still held and the bit still
// set; the parking table runs that check under its bucket lock, so a release
// that clears the bit and then unparks cannot slip in between.  Readers that
// merely lose a compare-and-swap race against other readers back off with
// 2, 4, ... 1024 pauses instead.
//
// Who wakes whom.  Whoever clears a parked bit wakes the threads it stood
// for, so no parked thread is ever left without a bit that names it:
//   - A writer releasing with R set wakes all readers.  With W set too, it
//     leaves the word at 2 (free, W still set) so the readers get in first.
//   - A writer releasing with only W set clears it and wakes one writer.
//   - The last reader leaving while W is set (word 6 before its subtraction)
//     swaps 2 -> 0 and wakes one writer.
// Waking one writer clears W although more writers may be parked; the woken
// writer therefore takes the lock with W set again ("extra bit"), and its
// own release wakes the next.  If it loses the race instead, it sets W
// itself before parking again.  Readers win whenever no writer holds the
// lock, even with writers parked: the lock prefers readers.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace tarnwick {

class RwLock {
 public:
  static constexpr std::uint64_t kReadersParked = 1;
  static constexpr std::uint64_t kWritersParked = 2;
  static constexpr std::uint64_t kOneReader = 4;
  static constexpr std::uint64_t kWriter = ~std::uint64_t{3};

  constexpr RwLock() noexcept = default;
  // Starts from a crafted word; for tests of states that take billions of
  // readers to reach.
  constexpr explicit RwLock(std::uint64_t word) noexcept : word_(word) {}
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock_shared() {
    std::uint64_t w = word_.load(std::memory_order_relaxed);
    if (w < kWriter - kOneReader &&
        word_.compare_exchange_strong(w, w + kOneReader, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      return;
    }
    lock_shared_slow();
  }

  void unlock_shared() noexcept {
    const std::uint64_t before = word_.fetch_sub(kOneReader, std::memory_order_release);
    if (before == kOneReader + kWritersParked) unlock_shared_slow();
  }

  void lock() noexcept {
    std::uint64_t expected = 0;
    if (word_.compare_exchange_strong(expected, kWriter, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      return;
    }
    lock_slow();
  }

  void unlock() noexcept {
    std::uint64_t expected = kWriter;
    if (word_.compare_exchange_strong(expected, 0, std::memory_order_release,
                                      std::memory_order_relaxed)) {
      return;
    }
    unlock_slow(expected);
  }

  std::uint64_t load_word() const noexcept { return word_.load(std::memory_order_relaxed); }

  // For a writer that lets go between the runs of a long walk: the lock is
  // not fair, so a walker that took it straight back could keep a parked
  // thread out for the whole walk.  Lets go, and if some thread was parked,
  // waits (about 200 microseconds at most) until another thread holds it.
  void unlock_letting_in() noexcept;

 private:
  void lock_shared_slow();
  void unlock_shared_slow() noexcept;
  void lock_slow() noexcept;
  void unlock_slow(std::uint64_t word) noexcept;

  const void* readers_key() const noexcept {
    return reinterpret_cast<const char*>(&word_) + 1;
  }
  const void* writers_key() const noexcept { return &word_; }

  std::atomic<std::uint64_t> word_{0};
};

// A read hold on a lock and the entry (key and value) it guards, given up
// with the guard; an empty guard holds nothing.
template <class V>
class ReadGuard {
 public:
  ReadGuard() noexcept = default;
  // Takes over a read hold the caller already has.
  ReadGuard(RwLock& lock, const V& value, std::uint64_t key) noexcept
      : lock_(&lock), value_(&value), key_(key) {}
  ReadGuard(ReadGuard&& o) noexcept
      : lock_(std::exchange(o.lock_, nullptr)), value_(std::exchange(o.value_, nullptr)), key_(o.key_) {}
  ReadGuard& operator=(ReadGuard&& o) noexcept {
    if (this != &o) {
      release();
      lock_ = std::exchange(o.lock_, nullptr);
      value_ = std::exchange(o.value_, nullptr);
      key_ = o.key_;
    }
    return *this;
  }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;
  ~ReadGuard() { release(); }

  explicit operator bool() const noexcept { return value_ != nullptr; }
  const V& value() const noexcept { return *value_; }
  std::uint64_t key() const noexcept { return key_; }

 private:
  void release() noexcept {
    if (lock_ != nullptr) std::exchange(lock_, nullptr)->unlock_shared();
  }

  RwLock* lock_ = nullptr;
  const V* value_ = nullptr;
  std::uint64_t key_ = 0;
};

}  // namespace tarnwick
