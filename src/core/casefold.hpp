// Case folding of UTF-8 text, as str.casefold does it: each code point
// folds on its own, to one, two or three code points ("ß" to "ss"), by the
// table tools/gen_casefold.py generates from the interpreter
// (casefold_data.hpp).  Caseless matching of names needs no Python object.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/fault.hpp"

namespace tarnwick {

// Appends the case folding of `text` to `out`.  Bytes that do not form
// UTF-8 are copied as they are.
void casefold_append(std::string_view text, Text& out);

inline Text casefold(std::string_view text) {
  Text out;
  casefold_append(text, out);
  return out;
}

// How casefold(text) compares with `folded`, itself already folded.
enum class FoldMatch : std::uint8_t { None, Prefix, Equal };

// Folds only as much of `text` as it takes to tell: most names differ
// from a query at the first letter.
FoldMatch fold_match(std::string_view text, std::string_view folded);

}  // namespace tarnwick
