// Lazy<T>: a value created on first use, exactly once, by whichever thread
// gets there first.
//
// One 32-bit state word: not created -> being created -> created, or
// poisoned if the creating function threw.  The first thread to swap
// "not created" to "being created" runs the function; others park on the
// state's address until it leaves "being created" (the parking validation
// re-reads the state under the bucket lock, so the final store plus
// unpark_all cannot be missed).  Publication is the release store of
// "created", read with acquire by every later access.  A creator that throws
// passes its exception on and leaves the guard poisoned: every later access
// throws InternalFault("Lazy instance has previously been poisoned"), since
// a half-run initialisation is not retried.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "core/fault.hpp"
#include "core/parking.hpp"

namespace tarnwick {

template <class T>
class Lazy {
 public:
  constexpr Lazy() noexcept : empty_{} {}
  Lazy(const Lazy&) = delete;
  Lazy& operator=(const Lazy&) = delete;
  ~Lazy() {
    if (state_.load(std::memory_order_acquire) == kCreated) std::destroy_at(&value_);
  }

  // The value, created by `create()` (returning T) if this is the first use.
  template <class Create>
  T& get(Create&& create) {
    std::uint32_t s = state_.load(std::memory_order_acquire);
    if (s == kCreated) return value_;
    if (s == kNew &&
        state_.compare_exchange_strong(s, kCreating, std::memory_order_acquire)) {
      return create_with(std::forward<Create>(create));
    }
    for (;;) {
      if (s == kCreated) return value_;
      if (s == kPoisoned) fault("Lazy instance has previously been poisoned");
      parking::park(&state_, [this] {
        return state_.load(std::memory_order_relaxed) == kCreating;
      });
      s = state_.load(std::memory_order_acquire);
    }
  }

 private:
  enum : std::uint32_t { kNew, kCreating, kCreated, kPoisoned };

  template <class Create>
  T& create_with(Create&& create) {
    try {
      std::construct_at(&value_, std::forward<Create>(create)());
    } catch (...) {
      finish(kPoisoned);
      throw;
    }
    finish(kCreated);
    return value_;
  }

  void finish(std::uint32_t state) {
    state_.store(state, std::memory_order_release);
    parking::unpark_all(&state_);
  }

  std::atomic<std::uint32_t> state_{kNew};
  union {
    char empty_;  // the active member until creation, so Lazy can be constinit
    T value_;
  };
};

}  // namespace tarnwick
