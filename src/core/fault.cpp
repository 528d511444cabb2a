#include "core/fault.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tarnwick {

void fault(const char* text) { throw InternalFault(text); }

void allocation_failed(std::size_t n) noexcept {
  // No stdio buffers and no allocation: format by hand into a stack buffer.
  char buf[96];
  const char head[] = "memory allocation of ";
  const char tail[] = " bytes failed\n";
  std::size_t len = 0;
  std::memcpy(buf, head, sizeof head - 1);
  len += sizeof head - 1;
  char digits[24];
  std::size_t nd = 0;
  do {
    digits[nd++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (nd != 0) buf[len++] = digits[--nd];
  std::memcpy(buf + len, tail, sizeof tail - 1);
  len += sizeof tail - 1;
  ssize_t ignored = ::write(STDERR_FILENO, buf, len);
  (void)ignored;
  std::abort();
}

void allocation_failed_unknown() noexcept {
  const char text[] = "memory allocation failed (size unknown)\n";
  ssize_t ignored = ::write(STDERR_FILENO, text, sizeof text - 1);
  (void)ignored;
  std::abort();
}

void* checked_malloc(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) allocation_failed(n);
  return p;
}

void* checked_aligned_alloc(std::size_t alignment, std::size_t n) {
  // aligned_alloc wants a size that is a multiple of the alignment.
  std::size_t rounded = checked_add(n, alignment - 1) & ~(alignment - 1);
  void* p = std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
  if (p == nullptr) allocation_failed(rounded);
  return p;
}

void prefault(void* p, std::size_t n) noexcept {
#ifdef __linux__
  constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE, Linux 5.14 on; an older kernel refuses it
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(page - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, kPopulateWrite);
#else
  (void)p;
  (void)n;
#endif
}

void* checked_realloc(void* p, std::size_t n) {
  void* q = std::realloc(p, n == 0 ? 1 : n);
  if (q == nullptr) allocation_failed(n);
  return q;
}

}  // namespace tarnwick

// The global operator new and delete of our own code.  Memory running out
// ends the process with the size that was asked for, as for every other
// allocation of the module, instead of a std::bad_alloc that knows no size.
// The shared object exports only its init functions, so these replace
// nothing outside it.
void* operator new(std::size_t n) { return tarnwick::checked_malloc(n); }
void* operator new[](std::size_t n) { return tarnwick::checked_malloc(n); }
void* operator new(std::size_t n, std::align_val_t a) {
  return tarnwick::checked_aligned_alloc(static_cast<std::size_t>(a), n);
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return tarnwick::checked_aligned_alloc(static_cast<std::size_t>(a), n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n == 0 ? 1 : n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n == 0 ? 1 : n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
