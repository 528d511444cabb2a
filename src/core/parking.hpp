// Parking: put a thread to sleep on an address, wake one or all sleepers on
// an address.  It knows nothing of what the addresses mean; a lock uses them
// as names for "readers waiting for me" and "writers waiting for me".
//
// Layout.  A fixed, process-wide table of 256 buckets, each on its own cache
// line.  An address hashes (Fibonacci hashing of the pointer value) to one
// bucket; a bucket is a mutex plus a FIFO intrusive list of the threads
// parked on any address that hashes there.  Each list node lives on the
// parked thread's stack and carries the address it waits on and a 32-bit
// wake word that the thread sleeps on with a futex.  Distinct addresses can
// share a bucket; every operation filters the list by address, so sharing
// costs a little contention and never a wrong wake.  The table never grows,
// so there is no rehash protocol: an address maps to the same bucket forever.
//
// Why no wake-up is lost.  park() runs the caller's validation under the
// bucket mutex and enqueues the thread before it lets go.  A waker first
// changes the state the validation reads, then takes the same mutex to
// unpark.  Either the waker's change is visible to the validation (the
// thread does not sleep) or the thread is already in the list when the
// waker looks (it is woken).
//
// Why waking is safe although the node is on another thread's stack.  The
// waker unlinks nodes under the mutex; after that only the waker touches
// them.  It reads everything it needs first, then stores 1 into the wake
// word with release order: from that store on the sleeper may return and
// reuse the stack.  The waker's only later touch is the futex wake
// system call on the word's address, which the kernel treats as a plain
// number; at worst it wakes some other futex waiter at that address
// spuriously, and every futex waiter here re-checks its word.
#pragma once

#include <cstddef>

namespace tarnwick::parking {

// Parks the calling thread on `key` if `validate()` returns true; the check
// and the enqueueing are atomic with respect to unpark on `key`.  Returns
// whether the thread slept (and so has been unparked); false means the
// validation failed and the call returned at once.
template <class Validate>
bool park(const void* key, Validate&& validate);

// Wakes the longest-parked thread on `key`, if any.
void unpark_one(const void* key);

// Wakes every thread parked on `key`.
void unpark_all(const void* key);

// Index of the bucket that `key` maps to; lets tests pick colliding keys.
std::size_t bucket_of(const void* key) noexcept;

// Number of threads parked on `key` right now, for tests that must know a
// thread has gone to sleep before they wake it.
std::size_t parked_on(const void* key);

// The non-template core of park(): the validation as a plain function
// pointer and its context.
bool park_with(const void* key, bool (*validate)(void*), void* context);

template <class Validate>
bool park(const void* key, Validate&& validate) {
  return park_with(
      key, [](void* ctx) -> bool { return (*static_cast<Validate*>(ctx))(); },
      static_cast<void*>(&validate));
}

}  // namespace tarnwick::parking
