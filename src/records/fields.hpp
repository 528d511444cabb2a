// The vocabulary of a record class's field table: each class is described
// by a constexpr array of FieldSpec (name, kind, how a missing argument is
// filled in), and everything else about the class is derived from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace tarnwick {

enum class Kind : std::uint8_t { U64, U32, I32, U8, Bool, Text, U64List, TextList };

// How a missing argument is filled in.
enum class Fill : std::uint8_t {
  Required,  // no default: binding reports it missing
  Absent,    // optional field: missing and None both mean absent
  Value,     // absent-only default: an integer/boolean value or a text
  Empty,     // absent-only default: empty text or empty list
};

// How a gateway payload gives a field: the value under its key goes to the
// field's conversion as it is, or is one of the platform's 64-bit numbers,
// which arrive as decimal strings (JSON integers are taken too).
enum class Wire : std::uint8_t {
  Value,     // as it is
  Id,        // an id: a decimal string
  Wide,      // another 64-bit number that arrives as a decimal string (permissions)
  IdList,    // a list of ids
  NestedId,  // the id of the object under `key` (or the field's own name, a bare id)
};

struct FieldSpec {
  const char* name;
  Kind kind;
  Fill fill;
  std::uint64_t value = 0;       // Fill::Value for integers and booleans
  const char* text = nullptr;    // Fill::Value for texts
  const char* key = nullptr;     // the payload's key, when it is not `name`
  Wire wire = Wire::Value;

  // Read from the wire as an id, another wide number, a list of ids, the id
  // of a nested object, or under another key.
  constexpr FieldSpec id() const { return with(Wire::Id, key); }
  constexpr FieldSpec wide() const { return with(Wire::Wide, key); }
  constexpr FieldSpec ids() const { return with(Wire::IdList, key); }
  constexpr FieldSpec nested_id(const char* object) const { return with(Wire::NestedId, object); }
  constexpr FieldSpec as(const char* wire_key) const { return with(wire, wire_key); }

  // The payload's key: the field's name unless the table says otherwise.
  constexpr const char* wire_key() const { return key != nullptr ? key : name; }
  // Whether null clears the field (it can be None); for any other, null
  // means "not sent".
  constexpr bool nullable() const { return fill == Fill::Absent; }

 private:
  constexpr FieldSpec with(Wire w, const char* k) const {
    FieldSpec f = *this;
    f.wire = w;
    f.key = k;
    return f;
  }
};

// The index of the field called `name` in a description's table; naming a
// field the table lacks is a compile-time error where this is constexpr.
template <class Desc>
constexpr std::size_t field_index(std::string_view name) {
  for (std::size_t i = 0; i < std::size(Desc::fields); ++i) {
    if (std::string_view(Desc::fields[i].name) == name) return i;
  }
  throw "no such field";
}

constexpr bool is_var(Kind k) { return k == Kind::Text || k == Kind::U64List || k == Kind::TextList; }

constexpr std::size_t scalar_width(Kind k) {
  switch (k) {
    case Kind::U64: return 8;
    case Kind::U32:
    case Kind::I32: return 4;
    case Kind::U8:
    case Kind::Bool: return 1;
    default: return 0;
  }
}

// Field table helpers, so a record source reads as a table.
constexpr FieldSpec required(const char* name, Kind kind) { return {name, kind, Fill::Required}; }
constexpr FieldSpec optional(const char* name, Kind kind) { return {name, kind, Fill::Absent}; }
constexpr FieldSpec defaulted(const char* name, Kind kind, std::uint64_t value) {
  return {name, kind, Fill::Value, value};
}
constexpr FieldSpec defaulted_text(const char* name, const char* text) {
  return {name, Kind::Text, Fill::Value, 0, text};
}
constexpr FieldSpec empty_default(const char* name, Kind kind) { return {name, kind, Fill::Empty}; }

}  // namespace tarnwick
