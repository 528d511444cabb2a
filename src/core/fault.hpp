// Internal faults and memory exhaustion, shared by every layer.
//
// The core (hash, lock, table, map, record storage) knows nothing of Python.
// It reports a broken invariant by throwing InternalFault; the fault boundary
// at the Python edge turns that into PanicException.  Running out of memory is
// not an exception at all: the process reports the size and aborts, so no
// half-built structure ever has to unwind from a failed allocation.
#pragma once

#include <cstddef>
#include <exception>
#include <cstdlib>
#include <string>

namespace tarnwick {

// A broken invariant.  The text is a static string so that throwing needs
// no allocation (the fault may be reported while memory is short).
class InternalFault : public std::exception {
 public:
  explicit InternalFault(const char* text) noexcept : text_(text) {}
  const char* what() const noexcept override { return text_; }

 private:
  const char* text_;
};

[[noreturn]] void fault(const char* text);

// Writes "memory allocation of {n} bytes failed" to standard error and aborts.
[[noreturn]] void allocation_failed(std::size_t n) noexcept;
// For an exhaustion whose size is not known: says so, and aborts.
[[noreturn]] void allocation_failed_unknown() noexcept;

// malloc/realloc that never return null: exhaustion ends the process.
void* checked_malloc(std::size_t n);
void* checked_aligned_alloc(std::size_t alignment, std::size_t n);
void* checked_realloc(void* p, std::size_t n);
// Asks the system for the pages of [p, p + n) at once, where it can: for
// memory about to be written through, which then takes no page faults
// (each a trap, costly under some hypervisors).  Nothing else changes.
void prefault(void* p, std::size_t n) noexcept;

// Overflow-checked size arithmetic for allocations ("capacity overflow").
inline std::size_t checked_add(std::size_t a, std::size_t b) {
  std::size_t r;
  if (__builtin_add_overflow(a, b, &r)) fault("capacity overflow");
  return r;
}

inline std::size_t checked_mul(std::size_t a, std::size_t b) {
  std::size_t r;
  if (__builtin_mul_overflow(a, b, &r)) fault("capacity overflow");
  return r;
}

// A std::allocator that gets its memory through checked_malloc, so even a
// string made for an error text or while reading /proc reports the real
// size when memory runs out.  (std::string's own growth code is compiled
// into libstdc++ and would throw std::bad_alloc, which knows no size.)
template <class T>
struct CheckedAllocator {
  using value_type = T;
  CheckedAllocator() noexcept = default;
  template <class U>
  CheckedAllocator(const CheckedAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(checked_malloc(checked_mul(n, sizeof(T)))); }
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }
  template <class U>
  bool operator==(const CheckedAllocator<U>&) const noexcept {
    return true;
  }
};

using Text = std::basic_string<char, std::char_traits<char>, CheckedAllocator<char>>;

}  // namespace tarnwick
