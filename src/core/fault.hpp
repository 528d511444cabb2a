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

// malloc/realloc that never return null: exhaustion ends the process.
void* checked_malloc(std::size_t n);
void* checked_aligned_alloc(std::size_t alignment, std::size_t n);
void* checked_realloc(void* p, std::size_t n);

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

}  // namespace tarnwick
