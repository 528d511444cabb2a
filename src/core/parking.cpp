#include "core/parking.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tarnwick::parking {
namespace {

constexpr unsigned kBucketBits = 8;

struct Waiter {
  const void* key;
  Waiter* next = nullptr;
  std::atomic<std::uint32_t> woken{0};
};

struct alignas(64) Bucket {
  std::mutex mutex;
  Waiter* head = nullptr;
  Waiter* tail = nullptr;

  void push(Waiter* w) noexcept {
    (tail != nullptr ? tail->next : head) = w;
    tail = w;
  }

  // Unlinks the waiters on `key` (all, or only the first) into a chain.
  Waiter* take(const void* key, bool all) noexcept {
    Waiter* taken = nullptr;
    Waiter** taken_end = &taken;
    Waiter* prev = nullptr;
    for (Waiter** link = &head; *link != nullptr;) {
      Waiter* w = *link;
      if (w->key != key) {
        prev = w;
        link = &w->next;
        continue;
      }
      *link = w->next;
      if (tail == w) tail = prev;
      w->next = nullptr;
      *taken_end = w;
      taken_end = &w->next;
      if (!all) break;
    }
    return taken;
  }
};

Bucket buckets[std::size_t{1} << kBucketBits];

Bucket& bucket_for(const void* key) noexcept { return buckets[bucket_of(key)]; }

void futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected) noexcept {
  // Returns on wake, on a signal, or at once if the word has changed
  // (EAGAIN); the caller re-checks the word in every case.
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
}

void futex_wake(std::atomic<std::uint32_t>* word) noexcept {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

void wake_chain(Waiter* w) noexcept {
  while (w != nullptr) {
    Waiter* next = w->next;  // read before the sleeper may leave
    std::atomic<std::uint32_t>* word = &w->woken;
    word->store(1, std::memory_order_release);
    futex_wake(word);
    w = next;
  }
}

}  // namespace

std::size_t bucket_of(const void* key) noexcept {
  const auto x = reinterpret_cast<std::uintptr_t>(key);
  return static_cast<std::size_t>((static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ULL) >>
                                  (64 - kBucketBits));
}

bool park_with(const void* key, bool (*validate)(void*), void* context) {
  Bucket& b = bucket_for(key);
  Waiter self{key};
  {
    std::lock_guard guard(b.mutex);
    if (!validate(context)) return false;
    b.push(&self);
  }
  while (self.woken.load(std::memory_order_acquire) == 0) futex_wait(&self.woken, 0);
  return true;
}

namespace {

// Unlinks the first (or every) waiter on `key` under the bucket mutex and
// wakes them after it is released.
void unpark(const void* key, bool all) {
  Bucket& b = bucket_for(key);
  Waiter* w;
  {
    std::lock_guard guard(b.mutex);
    w = b.take(key, all);
  }
  wake_chain(w);
}

}  // namespace

void unpark_one(const void* key) { unpark(key, false); }
void unpark_all(const void* key) { unpark(key, true); }

std::size_t parked_on(const void* key) {
  Bucket& b = bucket_for(key);
  std::lock_guard guard(b.mutex);
  std::size_t n = 0;
  for (const Waiter* w = b.head; w != nullptr; w = w->next) n += w->key == key;
  return n;
}

}  // namespace tarnwick::parking
