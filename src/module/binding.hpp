// Binding a call's tuple and keyword dictionary to a parameter list.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "module/python.hpp"

namespace tarnwick {

inline constexpr std::size_t kMaxParams = 35;
static_assert(kMaxParams <= 64, "keyword slots are tracked in one 64-bit mask");

// One immutable description per entry point.  Every parameter is
// positional-or-keyword; the first `required` must be given.
struct ParamList {
  const char* cls;  // class name, or nullptr for module functions
  const char* func;
  const char* const* names;
  std::size_t count;
  std::size_t required;
  // Interned copies of the names, filled on first use, kept for the process.
  // Keywords written in source are interned, so most match by identity.
  PyObject** interned;
};

// A parameter list with its own storage for the interned names; declared
// once per entry point, at namespace or class scope, and never copied.
template <std::size_t N>
struct ParamStorage {
  std::array<const char*, N> name_array;
  PyObject* interned_array[N] = {};
};

template <std::size_t N>
struct Params : private ParamStorage<N>, ParamList {
  constexpr Params(const char* cls, const char* func, const std::array<const char*, N>& names,
                   std::size_t required)
      : ParamStorage<N>{names},
        ParamList{cls, func, this->name_array.data(), N, required, this->interned_array} {}
  Params(const Params&) = delete;
  Params& operator=(const Params&) = delete;
};

// Fills slots[0..count) with the arguments or nullptr, and sets bit i of
// *keywords for each slot filled from the keyword dictionary; those slots
// hold a new reference.  Raises the binding TypeError (and throws PyErrSet)
// when the arguments do not fit, holding nothing then.
void bind(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** slots,
          std::uint64_t* keywords);

// A call's arguments bound to a parameter list, for the length of the call.
//
// Keyword values are held by a reference of our own: a callback run while
// an earlier argument converts (an __index__, an iterator) may clear the
// very dictionary the interpreter passed in, and a borrowed value would die
// with it.  Positional values stay borrowed: the tuple cannot change and
// the caller holds it until we return.
template <std::size_t N>
class Bound {
 public:
  Bound(const Params<N>& params, PyObject* args, PyObject* kwargs) : params_(params) {
    bind(params, args, kwargs, slots_.data(), &keywords_);
  }
  Bound(const Bound&) = delete;
  Bound& operator=(const Bound&) = delete;
  ~Bound() {
    calling_python([this] {
      for (std::uint64_t k = keywords_; k != 0; k &= k - 1) Py_DECREF(slots_[std::countr_zero(k)]);
    });
  }

  PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }
  PyObject* const* data() const noexcept { return slots_.data(); }
  // Parameter i's name, for the labels of its conversion errors.
  const char* name(std::size_t i) const noexcept { return params_.names[i]; }

 private:
  const ParamList& params_;
  std::array<PyObject*, N> slots_;
  std::uint64_t keywords_ = 0;
};

}  // namespace tarnwick
