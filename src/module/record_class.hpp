// The Python class of a record, generated from the record's field table.
//
// RecordClass<Desc> gives one class everything it needs: the parameter list
// for binding, the constructor (convert each argument by its field's kind),
// one generic getter per field, the record rule (type check + deep copy),
// wrapping a record into a new instance, release, and the heap type itself.
#pragma once

#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/convert.hpp"
#include "module/ref.hpp"
#include "module/results.hpp"
#include "records/storage.hpp"

namespace tarnwick {

// "(id, name, icon=None, ...)": the text signature, derived from the table.
template <std::size_t N>
Text text_signature(const FieldSpec (&fields)[N]) {
  Text s = "(";
  for (std::size_t i = 0; i < N; ++i) {
    const FieldSpec& f = fields[i];
    if (i != 0) s += ", ";
    s += f.name;
    switch (f.fill) {
      case Fill::Required: break;
      case Fill::Absent: s += "=None"; break;
      case Fill::Empty: s += "=..."; break;
      case Fill::Value:
        if (f.kind == Kind::Bool) {
          s += f.value ? "=True" : "=False";
        } else if (is_var(f.kind)) {
          s += "=...";
        } else {
          char digits[24];
          s += '=';
          s.append(digits, static_cast<std::size_t>(std::snprintf(digits, sizeof digits, "%llu",
                                                                  static_cast<unsigned long long>(f.value))));
        }
        break;
    }
  }
  return s + ")";
}

// Creates the type from `spec`, or raises RuntimeError "An error occurred
// while initializing class X" chained to the underlying error.
PyTypeObject* make_record_type(PyType_Spec& spec, const char* name, const Text& doc);

// The method table of a class without methods.
inline PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};

template <class Desc>
class RecordClass {
 public:
  using Rec = Record<Desc>;
  static constexpr std::size_t N = Rec::N;

  struct Object {
    PyObject ob_base;
    Rec rec;
  };

  // Called once, from the module body, in class order.
  static PyTypeObject* create(PyMethodDef* methods = kNoMethods) {
    if (type_ != nullptr) return type_;
    static PyGetSetDef getset[N + 1];
    for (std::size_t i = 0; i < N; ++i) {
      getset[i] = {Desc::fields[i].name, &get, nullptr, "", reinterpret_cast<void*>(i)};
    }
    getset[N] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    static const Text doc = Text(Desc::name) + text_signature(Desc::fields) + "\n--\n\n";
    // Qualified name: __module__ is "tarnwick", __name__ stays the class name.
    static const Text qualified = Text("tarnwick.") + Desc::name;
    static PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        .name = qualified.c_str(),
        .basicsize = static_cast<int>(sizeof(Object)),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = slots,
    };
    PyTypeObject* made = make_record_type(spec, Desc::name, doc);
    if (made == nullptr) throw_pending();
    if (type_ != nullptr) {  // made meanwhile by another thread: the first one stays
      Py_DECREF(made);
      return type_;
    }
    type_ = made;
    alloc_ = reinterpret_cast<allocfunc>(PyType_GetSlot(type_, Py_tp_alloc));
    if (alloc_ == nullptr) alloc_ = PyType_GenericAlloc;
    return type_;
  }

  static PyTypeObject* type() {
    if (type_ == nullptr) {
      static const Text text = Text("failed to create type object for ") + Desc::name;
      if (PyErr_Occurred()) PyErr_Print();
      fault(text.c_str());
    }
    return type_;
  }

  static bool check(PyObject* o) { return PyObject_TypeCheck(o, type()); }
  // Fields never change after construction; only a guild's collections do,
  // under their own locks, which is why this is not const.
  static Rec& record_of(PyObject* o) { return reinterpret_cast<Object*>(o)->rec; }

  // The record rule: a deep copy of the argument's record, or the labelled
  // type-mismatch error for parameter `param`.
  static Rec take(PyObject* o, const char* param) {
    if (!check(o)) {
      set_type_mismatch(o, Desc::name);
      raise_labelled(param);
    }
    return record_of(o);
  }

  // A new instance owning `rec`.
  static PyObject* wrap(Rec&& rec) { return wrap_as(type(), std::move(rec)); }

 private:
  static inline PyTypeObject* type_ = nullptr;
  static inline allocfunc alloc_ = nullptr;
  static constexpr std::array<const char*, N> names = [] {
    std::array<const char*, N> a{};
    for (std::size_t i = 0; i < N; ++i) a[i] = Desc::fields[i].name;
    return a;
  }();
  static inline Params<N> params{Desc::name, "__new__", names, Rec::layout.required};

  static PyObject* wrap_as(PyTypeObject* t, Rec&& rec) {
    PyObject* obj = require((t == type_ ? alloc_ : PyType_GenericAlloc)(t, 0));
    new (&reinterpret_cast<Object*>(obj)->rec) Rec(std::move(rec));
    return obj;
  }

  static Rec convert(PyObject* const* slots) {
    Scalars<Desc> sc;
    BlobBuilder b;
    for (std::size_t i = 0; i < N; ++i) {
      const FieldSpec& f = Desc::fields[i];
      PyObject* o = slots[i];
      const bool optional = f.fill == Fill::Absent;
      const bool missing = o == nullptr || (optional && o == Py_None);
      if (is_var(f.kind)) {
        if (missing) {
          if (f.text != nullptr) {
            b.begin();
            b.append(f.text, std::strlen(f.text));
            b.end(optional);
          } else {
            b.null_field();
          }
          continue;
        }
        b.begin();
        bool ok = f.kind == Kind::Text      ? append_text(o, b)
                  : f.kind == Kind::U64List ? append_u64_list(o, b)
                                            : append_text_list(o, b);
        if (!ok) raise_labelled(f.name);
        b.end(optional);
        continue;
      }
      if (missing) {
        if (f.fill == Fill::Value) store_default(sc, i, f);
        continue;
      }
      if (!convert_scalar(sc, i, f.kind, o)) raise_labelled(f.name);
      if (optional) sc.set_present(i);
    }
    return Rec(sc, b.seal());
  }

  static void store_default(Scalars<Desc>& sc, std::size_t i, const FieldSpec& f) {
    switch (f.kind) {
      case Kind::U64: sc.store(i, f.value); break;
      case Kind::U32: sc.store(i, static_cast<std::uint32_t>(f.value)); break;
      case Kind::I32: sc.store(i, static_cast<std::int32_t>(f.value)); break;
      default: sc.store(i, static_cast<std::uint8_t>(f.value)); break;
    }
  }

  template <class T, bool (*Rule)(PyObject*, T*)>
  static bool put(Scalars<Desc>& sc, std::size_t i, PyObject* o) {
    T v;
    if (!Rule(o, &v)) return false;
    sc.store(i, static_cast<std::conditional_t<std::is_same_v<T, bool>, std::uint8_t, T>>(v));
    return true;
  }

  static bool convert_scalar(Scalars<Desc>& sc, std::size_t i, Kind kind, PyObject* o) {
    switch (kind) {
      case Kind::U64: return put<std::uint64_t, to_u64>(sc, i, o);
      case Kind::U32: return put<std::uint32_t, to_u32>(sc, i, o);
      case Kind::I32: return put<std::int32_t, to_i32>(sc, i, o);
      case Kind::U8: return put<std::uint8_t, to_u8>(sc, i, o);
      default: return put<bool, to_bool>(sc, i, o);
    }
  }

  static PyObject* tp_new(PyTypeObject* t, PyObject* args, PyObject* kwargs) {
    return run_boundary([&] {
      const Bound<N> bound(params, args, kwargs);
      return wrap_as(t, convert(bound.data()));
    });
  }

  static PyObject* get(PyObject* self, void* closure) {
    return run_boundary(
        [&] { return field_result(record_of(self), static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(closure))); });
  }

  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* t = Py_TYPE(self);
    reinterpret_cast<Object*>(self)->rec.~Rec();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(t, Py_tp_free));
    free_slot(self);
    Py_DECREF(t);
  }
};

}  // namespace tarnwick
