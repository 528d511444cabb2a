// Conversion rules (Python argument -> field value) and the labelling rule.
//
// Each rule returns false with a Python exception pending; the caller then
// labels it with raise_labelled(), which throws to the fault boundary.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "module/binding.hpp"
#include "module/python.hpp"
#include "records/blob.hpp"

namespace tarnwick {

bool to_u64(PyObject* o, std::uint64_t* out);
bool to_u32(PyObject* o, std::uint32_t* out);
bool to_i32(PyObject* o, std::int32_t* out);
bool to_u8(PyObject* o, std::uint8_t* out);
bool to_bool(PyObject* o, bool* out);

// The var-size rules append their payload to the builder.
bool append_text(PyObject* o, BlobBuilder& b);
bool append_u64_list(PyObject* o, BlobBuilder& b);
bool append_text_list(PyObject* o, BlobBuilder& b);

// The text of a str that is ASCII, read in place (valid while the str
// lives), where the interpreter allows that (see convert.cpp); else
// nothing, with nothing pending, and the caller encodes it.
std::optional<std::string_view> ascii_text(PyObject* o) noexcept;

// An exact str of 1 to 19 ASCII digits as its value; false, with nothing
// pending, for anything else.
bool read_decimal_u64(PyObject* o, std::uint64_t* out);

// Sets "'{qualname}' object cannot be converted to '{target}'" (TypeError),
// unless reading the qualname raised something that is not an Exception
// (an interrupt), which then stays the pending error.
void set_type_mismatch(PyObject* o, const char* target);

// Applies the labelling rule for parameter `param` to the pending exception
// and throws it to the boundary.
[[noreturn]] void raise_labelled(const char* param);

// The unsigned 64-bit integer rule for parameter `param`, labelled on
// failure.
inline std::uint64_t take_u64(PyObject* o, const char* param) {
  std::uint64_t v;
  if (!to_u64(o, &v)) raise_labelled(param);
  return v;
}

// The same for bound argument i.
template <std::size_t N>
std::uint64_t take_u64(const Bound<N>& args, std::size_t i) {
  return take_u64(args[i], args.name(i));
}

}  // namespace tarnwick
