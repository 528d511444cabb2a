#include "records/wire.hpp"

#include <bit>
#include <cstring>

namespace tarnwick::wire {

const char* holds_text(Holds h) noexcept {
  switch (h) {
    case Holds::Text: return "a string";
    case Holds::Flag: return "a boolean";
    case Holds::U8:
    case Holds::U32:
    case Holds::I32: return "an integer";
    case Holds::Wide: return "a string of decimal digits";
    case Holds::Id: return "an id (a string of decimal digits)";
    case Holds::IdList: return "a list of ids";
    case Holds::TextList: return "a list of strings";
  }
  return "a value";
}

const char* kind_text(ValueKind k) noexcept {
  switch (k) {
    case ValueKind::Null: return "null";
    case ValueKind::Bool: return "a boolean";
    case ValueKind::Int: return "a number";
    case ValueKind::Float: return "a non-integer number";
    case ValueKind::String: return "a string";
    case ValueKind::List: return "a list";
    case ValueKind::Object: return "an object";
    case ValueKind::Other: break;
  }
  return "a value";
}

const char* range_text(Holds h) noexcept {
  switch (h) {
    case Holds::U8: return "0 to 255";
    case Holds::U32: return "0 to 4294967295";
    case Holds::I32: return "-2147483648 to 2147483647";
    case Holds::Wide:
    case Holds::Id: return "0 to 18446744073709551615";
    default: return nullptr;
  }
}

std::string expected(Holds h, std::string_view got) {
  std::string out = "expected ";
  out += holds_text(h);
  out += ", got ";
  out += got;
  return out;
}

namespace {

std::string out_of_range(std::string_view number, Holds h) {
  std::string out(number);
  out += " is out of range for this field (";
  out += range_text(h);
  out += ')';
  return out;
}

// Whether the decimal text of an int lies in the range of h.
bool number_fits(Holds h, std::string_view number) {
  const bool negative = !number.empty() && number[0] == '-';
  const std::string_view digits = negative ? number.substr(1) : number;
  const std::optional<std::uint64_t> parsed = decimal_u64(digits);
  if (!parsed) return false;
  const std::uint64_t v = *parsed;
  if (h == Holds::Wide || h == Holds::Id) return !negative || v == 0;
  if (negative) return v <= 2147483648ull && in_range(h, -static_cast<std::int64_t>(v));
  return v <= 4294967295ull && in_range(h, static_cast<std::int64_t>(v));
}

}  // namespace

std::string reason_for(Holds h, const Described& v) {
  const bool ranged = range_text(h) != nullptr;
  if (ranged) {
    std::string_view number = v.number;
    std::string from_digits;
    if ((h == Holds::Id || h == Holds::Wide) && v.kind == ValueKind::String && v.string_digits) {
      if (v.string_length > 40) {
        return "a number of " + std::to_string(v.string_length) + " digits is out of range for this field (" +
               range_text(h) + ")";
      }
      // The digits with their leading zeros dropped, as int() reads them.
      std::string_view d = v.repr;  // 'digits': the repr of a digit string is the digits quoted
      if (d.size() >= 2) d = d.substr(1, d.size() - 2);
      while (d.size() > 1 && d[0] == '0') d.remove_prefix(1);
      from_digits = std::string(d);
      number = from_digits;
    }
    if (!number.empty() && !number_fits(h, number)) return out_of_range(number, h);
  }
  if (v.kind == ValueKind::String) {
    if (h == Holds::Id || h == Holds::Wide) return expected(h, v.repr);
    if (h == Holds::Text && !v.surrogate.empty()) {
      return "expected Unicode text, got a lone surrogate (" + v.surrogate + ") at index " +
             std::to_string(v.surrogate_at);
    }
  }
  return expected(h, got_text(v));
}

std::string got_text(const Described& d) {
  return d.kind == ValueKind::Other ? "a Python " + d.type_name : kind_text(d.kind);
}

namespace {

// Eight ASCII digits at once (the first in the lowest byte), or nothing if
// any byte is not a digit.
std::optional<std::uint64_t> eight_digits(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  // A digit is 0x30..0x39: its high nibble is 3, and adding 6 keeps it so.
  if ((v & 0xF0F0F0F0F0F0F0F0u) != 0x3030303030303030u ||
      ((v + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) != 0x3030303030303030u) {
    return std::nullopt;
  }
  v -= 0x3030303030303030u;
  v = v * 10 + (v >> 8);  // pairs
  v = (((v & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
       (((v >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >>
      32;
  return v;
}

}  // namespace

std::optional<std::uint64_t> decimal_u64(std::string_view s) noexcept {
  if (s.empty() || s.size() > 20) return std::nullopt;
  // Nineteen digits cannot overflow; only a twentieth step is checked.
  const std::size_t safe = s.size() < 20 ? s.size() : 19;
  std::uint64_t v = 0;
  std::size_t i = 0;
  for (; i + 8 <= safe; i += 8) {
    const std::optional<std::uint64_t> chunk = eight_digits(s.data() + i);
    if (!chunk) return std::nullopt;
    v = v * 100000000u + *chunk;
  }
  for (; i < safe; ++i) {
    const unsigned d = static_cast<unsigned char>(s[i]) - unsigned{'0'};
    if (d > 9) return std::nullopt;
    v = v * 10 + d;
  }
  if (s.size() == 20) {
    const unsigned d = static_cast<unsigned char>(s[19]) - unsigned{'0'};
    if (d > 9 || __builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, d, &v)) return std::nullopt;
  }
  return v;
}

}  // namespace tarnwick::wire
