#include "core/rw_lock.hpp"

#include <sched.h>

#include <cassert>
#include <chrono>

#include "core/fault.hpp"
#include "core/parking.hpp"

namespace tarnwick {
namespace {

// One "pause" hint: tells the core a spin-wait is in progress.
inline void cpu_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

void pause_times(unsigned n) noexcept {
  for (unsigned i = 0; i < n; ++i) cpu_pause();
}

// Ten rounds before parking: 2, 4 and 8 pauses, then seven yields.
class SpinWait {
 public:
  // Waits one round and returns true, or returns false once all are spent.
  bool spin() noexcept {
    if (rounds_ == 10) return false;
    ++rounds_;
    if (rounds_ <= 3) {
      pause_times(1u << rounds_);
    } else {
      sched_yield();
    }
    return true;
  }

 private:
  unsigned rounds_ = 0;
};

// Between reader compare-and-swap attempts: 2, 4, ... 1024 pauses.
class Backoff {
 public:
  void pause() noexcept {
    pause_times(pauses_);
    if (pauses_ < 1024) pauses_ *= 2;
  }

 private:
  unsigned pauses_ = 2;
};

constexpr bool writer_holds(std::uint64_t w) noexcept {
  return (w & RwLock::kWriter) == RwLock::kWriter;
}

constexpr std::uint64_t kParkedBits = RwLock::kReadersParked | RwLock::kWritersParked;

}  // namespace

void RwLock::lock_shared_slow() {
  for (;;) {
    SpinWait spin;
    Backoff backoff;
    std::uint64_t w = word_.load(std::memory_order_relaxed);
    for (;;) {
      // No writer: the count may grow, whoever else is waiting.
      while (!writer_holds(w)) {
        if (w + kOneReader >= kWriter) fault("reader count overflowed");
        if (word_.compare_exchange_weak(w, w + kOneReader, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
          return;
        }
        backoff.pause();
      }
      if ((w & kReadersParked) == 0) {
        if (spin.spin()) {
          w = word_.load(std::memory_order_relaxed);
          continue;
        }
        if (!word_.compare_exchange_strong(w, w | kReadersParked, std::memory_order_relaxed,
                                           std::memory_order_relaxed)) {
          continue;
        }
      }
      parking::park(readers_key(), [this] {
        const std::uint64_t v = word_.load(std::memory_order_relaxed);
        return writer_holds(v) && (v & kReadersParked) != 0;
      });
      break;  // woken or never slept: start over with fresh spin counts
    }
  }
}

void RwLock::unlock_shared_slow() noexcept {
  std::uint64_t expected = kWritersParked;
  if (word_.compare_exchange_strong(expected, 0, std::memory_order_relaxed,
                                    std::memory_order_relaxed)) {
    parking::unpark_one(writers_key());
  }
}

void RwLock::unlock_letting_in() noexcept {
  const bool parked = (word_.load(std::memory_order_relaxed) & (kReadersParked | kWritersParked)) != 0;
  unlock();
  if (!parked) return;
  // A woken thread takes some microseconds to run; the bound is for one
  // that never comes (it gave up, or another took the lock and left).
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
  while ((word_.load(std::memory_order_relaxed) & ~(kReadersParked | kWritersParked)) == 0 &&
         std::chrono::steady_clock::now() < until) {
    sched_yield();
  }
}

void RwLock::lock_slow() noexcept {
  std::uint64_t extra = 0;
  for (;;) {
    SpinWait spin;
    std::uint64_t w = word_.load(std::memory_order_relaxed);
    for (;;) {
      while (w <= kParkedBits) {
        if (word_.compare_exchange_weak(w, w | kWriter | extra, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
          return;
        }
      }
      if ((w & kWritersParked) == 0) {
        if (spin.spin()) {
          w = word_.load(std::memory_order_relaxed);
          continue;
        }
        if (!word_.compare_exchange_strong(w, w | kWritersParked, std::memory_order_relaxed,
                                           std::memory_order_relaxed)) {
          continue;
        }
      }
      const bool slept = parking::park(writers_key(), [this] {
        const std::uint64_t v = word_.load(std::memory_order_relaxed);
        return (v & kWriter) != 0 && (v & kWritersParked) != 0;
      });
      // Whoever woke us cleared the bit, maybe with other writers still
      // parked; keep it set on our way in so our release wakes the next.
      if (slept) extra = kWritersParked;
      break;
    }
  }
}

void RwLock::unlock_slow(std::uint64_t w) noexcept {
  assert(writer_holds(w) && (w & kParkedBits) != 0);
  for (;;) {
    if ((w & kParkedBits) == kParkedBits) {
      // Free, writers still flagged: readers go first, and the last of them
      // wakes a writer.
      word_.store(kWritersParked, std::memory_order_release);
      parking::unpark_all(readers_key());
      return;
    }
    if (word_.compare_exchange_strong(w, 0, std::memory_order_release,
                                      std::memory_order_relaxed)) {
      if ((w & kReadersParked) != 0) {
        parking::unpark_all(readers_key());
      } else {
        parking::unpark_one(writers_key());
      }
      return;
    }
    // Only the other parked bit can have appeared meanwhile.
    assert(w == (kWriter | kParkedBits));
  }
}

}  // namespace tarnwick
