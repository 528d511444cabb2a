// Reading a JSON text: a thin layer over simdjson's DOM parser, with the
// bounds a gateway frame is held to, and the reading rules the event code
// needs (the last of duplicate keys wins, as in Python's json.loads).
//
// A Document parses one text into its own buffers; the Values it hands out
// point into them and live until the Document's next parse.  Each thread
// that parses needs a Document of its own (see local_document).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include <simdjson.h>

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

// A value of a parsed document: a handle into the parser's tape, read in
// place (the accessors are inline: the event code calls them per field).
class Value {
 public:
  // Only to be assigned (by a walk's next()); reading it is undefined.
  Value() noexcept = default;
  explicit Value(simdjson::dom::element e) noexcept : e_(e) {}

  Type type() const noexcept {
    using T = simdjson::dom::element_type;
    switch (e_.type()) {
      case T::NULL_VALUE: return Type::Null;
      case T::BOOL: return Type::Bool;
      case T::INT64:
      case T::UINT64: return Type::Int;
      case T::DOUBLE: return Type::Float;
      case T::STRING: return Type::String;
      case T::ARRAY: return Type::Array;
      case T::OBJECT: return Type::Object;
    }
    return Type::Null;
  }
  bool is_null() const noexcept { return e_.is_null(); }

  bool as_bool() const noexcept { return e_.get_bool().value_unsafe(); }  // Type::Bool
  // Type::Int: an integer literal that fits in 64 bits, signed or unsigned.
  bool is_negative() const noexcept {  // for Type::Int
    return e_.type() == simdjson::dom::element_type::INT64 && e_.get_int64().value_unsafe() < 0;
  }
  std::uint64_t as_u64() const noexcept {  // for Type::Int, not negative
    if (e_.type() == simdjson::dom::element_type::UINT64) return e_.get_uint64().value_unsafe();
    return static_cast<std::uint64_t>(e_.get_int64().value_unsafe());
  }
  std::int64_t as_i64() const noexcept {  // for Type::Int, negative
    if (e_.type() == simdjson::dom::element_type::UINT64) {
      return static_cast<std::int64_t>(e_.get_uint64().value_unsafe());
    }
    return e_.get_int64().value_unsafe();
  }
  double as_double() const noexcept { return e_.get_double().value_unsafe(); }  // Type::Float
  std::string_view as_string() const noexcept {  // Type::String: valid UTF-8
    return e_.get_string().value_unsafe();
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
  simdjson::dom::element e_;
};

// A walk over an object's fields: while (f.next(&key, &value)) ...
class Value::Fields {
 public:
  Fields() noexcept = default;
  Fields(simdjson::dom::object::iterator at, simdjson::dom::object::iterator end) noexcept : at_(at), end_(end) {}
  bool next(std::string_view* key, Value* value) noexcept {
    if (!(at_ != end_)) return false;
    *key = at_.key();
    *value = Value(at_.value());
    ++at_;
    return true;
  }

 private:
  simdjson::dom::object::iterator at_{}, end_{};
};

// A walk over an array's elements: while (e.next(&value)) ...
class Value::Elements {
 public:
  Elements() noexcept = default;
  Elements(simdjson::dom::array::iterator at, simdjson::dom::array::iterator end) noexcept : at_(at), end_(end) {}
  bool next(Value* value) noexcept {
    if (!(at_ != end_)) return false;
    *value = Value(*at_);
    ++at_;
    return true;
  }

 private:
  simdjson::dom::array::iterator at_{}, end_{};
};

inline Value::Fields Value::fields() const noexcept {
  simdjson::dom::object object;
  if (e_.get_object().get(object) != simdjson::SUCCESS) return {};
  return {object.begin(), object.end()};
}

inline Value::Elements Value::elements() const noexcept {
  simdjson::dom::array array;
  if (e_.get_array().get(array) != simdjson::SUCCESS) return {};
  return {array.begin(), array.end()};
}

class Document {
 public:
  // `depth`: the nesting this document's texts may reach (a text that is
  // one element of an array within others may nest that much less).
  explicit Document(std::size_t depth = kMaxDepth);
  ~Document();
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // Parses a copy of text[0, size) (the parser reads past the end of its
  // input, so it gets a padded one of its own); returns the root value or
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
