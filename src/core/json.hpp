// Reading a JSON text: a thin layer over simdjson's DOM parser, with the
// bounds a gateway frame is held to, and the reading rules the event code
// needs (the last of duplicate keys wins, as in Python's json.loads).
//
// A Document parses one text into its own buffers; the Values it hands out
// point into them and live until the Document's next parse.  Each thread
// that parses needs a Document of its own (see local_document).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

namespace tarnwick::json {

// The bounds every frame is held to.
inline constexpr std::size_t kMaxBytes = std::size_t{128} << 20;  // 128 MiB
// Arrays and objects within each other; an empty one innermost is not
// counted (it holds nothing to read).
inline constexpr std::size_t kMaxDepth = 128;

enum class Type : std::uint8_t { Null, Bool, Int, Float, String, Array, Object };

// Why a text could not be read.  `retry` marks what Python's json.loads
// may take although the parser here does not (integers beyond 64 bits,
// numbers beyond the doubles, -Infinity, a lone surrogate escape; from bytes,
// UTF-8-encoded surrogates, a BOM, UTF-16 and UTF-32): the caller may read
// those with json.loads instead, which refuses what is really broken (a
// malformed number or escape shares the parser's error with them).  `offset` is a byte offset into the text, or
// SIZE_MAX where the parser does not say.  `what` is static text, or text
// held by the Document that refused, valid until its next parse.
struct Refusal {
  const char* what;
  std::size_t offset = SIZE_MAX;
  bool retry = false;
  bool bound = false;  // one of the bounds (size, depth): refused whatever json.loads says
};

// A value of a parsed document, read straight from the parser's tape (the
// layout simdjson documents in tape.md: one 64-bit word per value, its type
// in the top byte; numbers take the next word too; a string's word holds
// its place in the string buffer, where a 32-bit length precedes its bytes;
// an array's or object's word holds the index just past its closing word,
// and its count).  Everything here is inline: the event code reads each
// field through it, and the library's element API costs a call and a type
// check per step.
class Value {
 public:
  // The tape and string buffer of one parse.
  struct Buffers {
    const std::uint64_t* tape = nullptr;
    const std::uint8_t* strings = nullptr;
  };

  // Only to be assigned (by a walk's next()); reading it is undefined.
  Value() noexcept = default;
  Value(const std::uint64_t* word, const Buffers* b) noexcept : w_(word), b_(b) {}

  Type type() const noexcept { return kTypes[tag()]; }
  bool is_null() const noexcept { return tag() == 'n'; }

  bool as_bool() const noexcept { return tag() == 't'; }  // Type::Bool
  // Type::Int: an integer literal that fits in 64 bits, signed or unsigned.
  bool is_negative() const noexcept {  // for Type::Int
    return tag() == 'l' && static_cast<std::int64_t>(w_[1]) < 0;
  }
  std::uint64_t as_u64() const noexcept { return w_[1]; }  // for Type::Int, not negative
  std::int64_t as_i64() const noexcept { return static_cast<std::int64_t>(w_[1]); }  // for Type::Int, negative
  double as_double() const noexcept { return std::bit_cast<double>(w_[1]); }  // Type::Float
  std::string_view as_string() const noexcept {  // Type::String: valid UTF-8
    const std::uint8_t* at = b_->strings + (*w_ & kPayload);
    std::uint32_t size;
    std::memcpy(&size, at, sizeof size);
    return {reinterpret_cast<const char*>(at + sizeof size), size};
  }

  // Object: the value under `key` (the last one, if the key repeats), or
  // nothing.  Linear in the object's size.
  std::optional<Value> get(std::string_view key) const noexcept;

  // Object: each field in order (repeats included); Array: each element.
  class Fields;
  class Elements;
  Fields fields() const noexcept;
  Elements elements() const noexcept;
  // Array: the number of elements.
  std::size_t size() const noexcept;

 private:
  static constexpr std::uint64_t kPayload = 0x00FFFFFFFFFFFFFF;
  static constexpr auto kTypes = [] {
    std::array<Type, 256> t{};
    t['n'] = Type::Null;
    t['t'] = t['f'] = Type::Bool;
    t['l'] = t['u'] = Type::Int;
    t['d'] = Type::Float;
    t['"'] = Type::String;
    t['['] = Type::Array;
    t['{'] = Type::Object;
    return t;
  }();

  unsigned char tag() const noexcept { return static_cast<unsigned char>(*w_ >> 56); }
  // An array's or object's first value, and its closing word.
  const std::uint64_t* first() const noexcept { return w_ + 1; }
  const std::uint64_t* closing() const noexcept { return b_->tape + static_cast<std::uint32_t>(*w_) - 1; }
  // The word past the value at w.
  static const std::uint64_t* after(const std::uint64_t* w, const Buffers* b) noexcept {
    switch (static_cast<unsigned char>(*w >> 56)) {
      case '{':
      case '[': return b->tape + static_cast<std::uint32_t>(*w);
      case 'l':
      case 'u':
      case 'd': return w + 2;
      default: return w + 1;
    }
  }

  const std::uint64_t* w_ = nullptr;
  const Buffers* b_ = nullptr;
};

// A walk over an object's fields: while (f.next(&key, &value)) ...
class Value::Fields {
 public:
  Fields() noexcept = default;
  Fields(const std::uint64_t* at, const std::uint64_t* end, const Buffers* b) noexcept : at_(at), end_(end), b_(b) {}
  bool next(std::string_view* key, Value* value) noexcept {
    if (at_ == end_) return false;
    *key = Value(at_, b_).as_string();
    *value = Value(at_ + 1, b_);
    at_ = after(at_ + 1, b_);
    return true;
  }

 private:
  const std::uint64_t* at_ = nullptr;
  const std::uint64_t* end_ = nullptr;
  const Buffers* b_ = nullptr;
};

// A walk over an array's elements: while (e.next(&value)) ...
class Value::Elements {
 public:
  Elements() noexcept = default;
  Elements(const std::uint64_t* at, const std::uint64_t* end, const Buffers* b) noexcept : at_(at), end_(end), b_(b) {}
  bool next(Value* value) noexcept {
    if (at_ == end_) return false;
    *value = Value(at_, b_);
    at_ = after(at_, b_);
    return true;
  }

 private:
  const std::uint64_t* at_ = nullptr;
  const std::uint64_t* end_ = nullptr;
  const Buffers* b_ = nullptr;
};

inline Value::Fields Value::fields() const noexcept {
  if (tag() != '{') return {};
  return {first(), closing(), b_};
}

inline Value::Elements Value::elements() const noexcept {
  if (tag() != '[') return {};
  return {first(), closing(), b_};
}

inline std::optional<Value> Value::get(std::string_view key) const noexcept {
  // json.loads keeps the last of repeated keys, so the walk goes to the end.
  std::optional<Value> found;
  std::string_view k;
  Value v;
  for (Fields f = fields(); f.next(&k, &v);) {
    if (k.size() == key.size() && std::memcmp(k.data(), key.data(), k.size()) == 0) found = v;
  }
  return found;
}

class Document {
 public:
  // `depth`: the nesting this document's texts may reach (a text that is
  // one element of an array within others may nest that much less).
  explicit Document(std::size_t depth = kMaxDepth);
  ~Document();
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // Parses text[0, size), which is not to change meanwhile (the parser
  // reads a little past the end of its input: where that is not known to be
  // readable, it reads a padded copy); returns the root value or
  // why not.  Refuses texts over kMaxBytes, nesting deeper than kMaxDepth,
  // invalid UTF-8 and everything JSON does not allow (NaN and Infinity
  // included).  The values of an earlier parse are gone afterwards.
  struct Result {
    std::optional<Value> root;
    Refusal refusal{""};
  };
  Result parse(const char* text, std::size_t size);

  // The buffers grow with the texts (by half again at least) and stay for
  // the next ones; once they are over kKeepBytes, kShrinkAfter texts in a
  // row that each need under a quarter of them give them back.
  static constexpr std::size_t kKeepBytes = std::size_t{1} << 20;
  static constexpr unsigned kShrinkAfter = 1000;
  // The bytes of text the buffers have room for now.
  std::size_t capacity() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The calling thread's document (made on first use, kept for the thread).
Document& local_document();

// Scanning a big text for one array, so that its elements can be parsed one
// at a time rather than all at once.  A scan reads only the structure on its
// way (strings, brackets, commas); it checks no more than that, so what it
// finds is to be parsed.
struct Span {
  std::size_t begin = 0, end = 0;  // [begin, end) of the text
};

// Where the array under root[outer][inner] lies, brackets included (the last
// of repeated keys at each level, as json.loads reads them), if the text is
// an object holding an object under `outer` holding an array under `inner`;
// nothing if it is not so, or a key on the way has an escape in it.
std::optional<Span> find_nested_array(std::string_view text, std::string_view outer, std::string_view inner);

// The elements of an array found so: while (scan.next(&element)) ...; ok()
// is false once the text between elements is not JSON.
class ArrayScan {
 public:
  ArrayScan(std::string_view text, Span array) noexcept;
  bool next(std::string_view* element) noexcept;
  // The next elements, whole and with the commas between them, until they
  // come to `bytes` or more (or the array ends): "[" + run + "]" is the
  // array of them.
  bool next_run(std::string_view* run, std::size_t bytes) noexcept;
  bool ok() const noexcept { return ok_; }

 private:
  std::string_view text_;
  std::size_t at_, end_;
  bool first_ = true, ok_ = true;
};

}  // namespace tarnwick::json
