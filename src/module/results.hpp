// Result rules (stored field value -> new Python object).
#pragma once

#include <cstdint>
#include <string_view>

#include "module/python.hpp"
#include "records/blob.hpp"
#include "records/fields.hpp"
#include "registry/registry.hpp"

namespace tarnwick {

// A result object could not be made: print the interpreter's error and
// end the call as an internal fault.
[[noreturn]] void result_failed();

inline PyObject* checked_result(PyObject* o) {
  if (o == nullptr) result_failed();
  return o;
}

inline PyObject* u64_result(std::uint64_t v) { return checked_result(PyLong_FromUnsignedLongLong(v)); }
inline PyObject* long_result(long v) { return checked_result(PyLong_FromLong(v)); }
inline PyObject* bool_result(bool v) { return PyBool_FromLong(v); }
inline PyObject* none_result() {
  Py_INCREF(Py_None);
  return Py_None;
}
inline PyObject* text_result(std::string_view s) {
  return checked_result(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyObject* u64_list_result(const VarView& v);

// cache.stats(): the counts as a new dict, in the order of the struct.
PyObject* stats_result(const RegistryStats& s);
PyObject* text_list_result(const VarView& v);

// The attribute value of field I of a record, by the field's kind.
template <std::size_t I, class Rec>
PyObject* field_result(const Rec& rec) {
  constexpr FieldSpec f = Rec::fields()[I];
  if constexpr (f.fill == Fill::Absent) {
    if (!rec.present(I)) return none_result();
  }
  if constexpr (f.kind == Kind::Text) {
    return text_result(rec.var(I).text());
  } else if constexpr (f.kind == Kind::U64List) {
    return u64_list_result(rec.var(I));
  } else if constexpr (f.kind == Kind::TextList) {
    return text_list_result(rec.var(I));
  } else if constexpr (f.kind == Kind::U64) {
    return u64_result(rec.u64(I));
  } else if constexpr (f.kind == Kind::U32) {
    return long_result(static_cast<long>(rec.u32(I)));
  } else if constexpr (f.kind == Kind::I32) {
    return long_result(rec.i32(I));
  } else if constexpr (f.kind == Kind::U8) {
    return long_result(rec.u8(I));
  } else {
    return bool_result(rec.flag(I));
  }
}

}  // namespace tarnwick
