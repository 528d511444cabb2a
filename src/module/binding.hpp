// Binding a call's tuple and keyword dictionary to a parameter list.
#pragma once

#include <array>
#include <cstddef>

#include "module/python.hpp"

namespace tarnwick {

inline constexpr std::size_t kMaxParams = 35;

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

// Fills slots[0..count) with borrowed references or nullptr.  Raises the
// binding TypeError (and throws PyErrSet) when the arguments do not fit.
void bind(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace tarnwick
