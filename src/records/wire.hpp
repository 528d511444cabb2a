// Reading records from gateway payloads: the one reader behind
// tarnwick_extras.payloads, events.apply and events.apply_frame.
//
// The rules are written once, against a value source: a Source gives the
// kinds of JSON values (null, booleans, numbers, strings, lists, objects),
// an object's value under a key, a list's items, and each field kind's
// conversion.  Two sources exist: the Python objects json.loads makes
// (extras/py_source.hpp, whose conversions are the constructors' own), and a
// parsed JSON document (registry/json_source.hpp).  So a payload reads the
// same, fault for fault, whichever way it came.
//
// How a field is read is said by its row of the field table (fields.hpp):
// its payload key, Wire::Id and Wire::Wide for the decimal strings the
// platform sends 64-bit numbers as, Wire::IdList, Wire::NestedId, and
// whether null clears it.  Faults are PayloadFault: where in the payload
// (a path such as "members[500].joined_at") and why, in the payload's own
// terms ("expected a string, got a number").
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/fault.hpp"
#include "records/record.hpp"

namespace tarnwick::wire {

// A key looked up in payload objects.  Each source keeps what it needs to
// find it fast (an interned str, a hash) in the key's slots, made on first use.
struct Key {
  std::string_view text;
  mutable void* native = nullptr;     // the Python source's interned str
  mutable std::int64_t native_hash = 0;

  // The first eight bytes (zero-filled), little-endian: the JSON source
  // compares these before the rest.
  static constexpr std::uint64_t head_of(std::string_view s) noexcept {
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < s.size() && i < 8; ++i) h |= std::uint64_t{static_cast<unsigned char>(s[i])} << (8 * i);
    return h;
  }
  std::uint64_t head = head_of(text);
  // The last eight bytes of a longer key.
  std::uint64_t tail = text.size() > 8 ? head_of(text.substr(text.size() - 8)) : 0;
  // One bit of 64 for a key of this head and length: an object that sets
  // none of its keys' bits lacks the key without a scan.
  static constexpr std::uint64_t bit_of(std::uint64_t key_head, std::size_t n) noexcept {
    return std::uint64_t{1} << (((key_head + n) * 0x9E3779B97F4A7C15u) >> 58);
  }
  std::uint64_t bit = bit_of(head, text.size());

  explicit constexpr Key(std::string_view t) : text(t) {}

  // Whether `key`, whose first eight bytes read as `key_head`, is this key.
  bool is(std::uint64_t key_head, std::string_view key) const noexcept {
    const std::size_t n = key.size();
    if (key_head != head || n != text.size()) return false;
    if (n <= 8) return true;
    std::uint64_t t;
    std::memcpy(&t, key.data() + n - 8, 8);
    if constexpr (std::endian::native == std::endian::big) t = __builtin_bswap64(t);
    return t == tail && (n <= 16 || std::memcmp(key.data() + 8, text.data() + 8, n - 16) == 0);
  }
};

// The kinds of value a payload holds, as json.loads makes them; Other is a
// Python object of another type.
enum class ValueKind : std::uint8_t { Null, Bool, Int, Float, String, List, Object, Other };

// A fault in a payload: where, and why.
struct PayloadFault {
  std::string path;
  std::string reason;
};

// Where the reader is in the payload, to say where a fault is.
class Path {
 public:
  void key(std::string_view k) { push({k, SIZE_MAX}); }
  void index(std::size_t i) { push({{}, i}); }
  void pop() noexcept { --size_; }
  std::size_t depth() const noexcept { return size_; }
  void truncate(std::size_t depth) noexcept { size_ = depth; }

  // "a.b[3].c", from `from` on (the parts before it are the caller's).
  std::string render(std::size_t from = 0) const {
    std::string out;
    for (std::size_t i = from; i < size_; ++i) {
      const Part& p = i < kInline ? inline_[i] : more_[i - kInline];
      if (p.index != SIZE_MAX) {
        out += '[';
        out += std::to_string(p.index);
        out += ']';
      } else {
        if (!out.empty()) out += '.';
        out.append(p.key.data(), p.key.size());
      }
    }
    return out;
  }

  [[noreturn]] void fail(std::string reason) const { throw PayloadFault{render(), std::move(reason)}; }
  // A fault at `k` within the current place.
  [[noreturn]] void fail_at(std::string_view k, std::string reason) {
    key(k);
    fail(std::move(reason));
  }

 private:
  struct Part {
    std::string_view key;
    std::size_t index;
  };
  // The event rules go a few levels deep; deeper paths spill to the heap.
  static constexpr std::size_t kInline = 8;
  void push(Part p) {
    if (size_ < kInline) [[likely]] {
      inline_[size_++] = p;
    } else {
      spill(p);
    }
  }
  [[gnu::noinline]] void spill(Part p) {
    more_.resize(size_ - kInline);
    more_.push_back(p);
    ++size_;
  }
  std::size_t size_ = 0;
  Part inline_[kInline];
  std::vector<Part> more_;
};

// Pushes a key or index for the length of a scope.
class Within {
 public:
  Within(Path& p, std::string_view k) : p_(p) { p_.key(k); }
  Within(Path& p, std::size_t i) : p_(p) { p_.index(i); }
  ~Within() { p_.pop(); }
  Within(const Within&) = delete;
  Within& operator=(const Within&) = delete;

 private:
  Path& p_;
};

// -- the words of the faults ----------------------------------------------------

// What a field of each kind holds, as a fault says it ("expected ...").
enum class Holds : std::uint8_t { Text, Flag, U8, U32, I32, Wide, Id, IdList, TextList };

constexpr Holds holds_of(Kind kind, Wire wire) {
  if (wire == Wire::Id || wire == Wire::NestedId) return Holds::Id;
  if (wire == Wire::Wide) return Holds::Wide;
  if (wire == Wire::IdList) return Holds::IdList;
  switch (kind) {
    case Kind::Text: return Holds::Text;
    case Kind::Bool: return Holds::Flag;
    case Kind::U8: return Holds::U8;
    case Kind::U32: return Holds::U32;
    case Kind::I32: return Holds::I32;
    case Kind::TextList: return Holds::TextList;
    case Kind::U64List: return Holds::IdList;
    default: return Holds::Wide;
  }
}

const char* holds_text(Holds h) noexcept;
const char* kind_text(ValueKind k) noexcept;  // "a string"; Other: see Described::type_name

// The ranges of the integer kinds, as "lo to hi".
const char* range_text(Holds h) noexcept;
constexpr bool in_range(Holds h, std::int64_t v) noexcept {
  switch (h) {
    case Holds::U8: return v >= 0 && v <= 255;
    case Holds::U32: return v >= 0 && v <= 4294967295;
    case Holds::I32: return v >= -2147483648LL && v <= 2147483647;
    default: return v >= 0;
  }
}

// "expected <what h holds>, got <what the value is>".
std::string expected(Holds h, std::string_view got);

// A value of kind `kind` and holds `h` that did not convert: why, from what
// a source can say of it.  `number` is the value's decimal text when it is
// an int (of any size); `repr` a short quoted form when it is a string;
// `type_name` the Python type's name for Kind::Other.
struct Described {
  ValueKind kind = ValueKind::Null;
  std::string number;
  std::string repr;
  std::size_t string_length = 0;    // in code points
  bool string_digits = false;       // a string of ASCII digits only
  std::string surrogate;            // for text: repr of a lone surrogate in it
  std::size_t surrogate_at = 0;
  std::string type_name;
};
std::string reason_for(Holds h, const Described& v);
// What a fault says a value is: "a string", or "a Python X" for another type.
std::string got_text(const Described& d);

// The 64-bit rule of ids and wide numbers for a decimal string: the value,
// or nothing (then the string is described for the fault).
std::optional<std::uint64_t> decimal_u64(std::string_view digits) noexcept;

}  // namespace tarnwick::wire
