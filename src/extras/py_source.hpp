// The value source (records/reader.hpp) over the Python objects json.loads
// makes: dicts (read by their exact str keys alone, so no caller's __eq__
// ever runs), lists, str, int, float, bool and None.  Each field converts
// by its record constructor's own rule, so a payload reads as the
// constructor would take it; the constructor's exception is kept as the
// cause of the fault it leads to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/boundary.hpp"
#include "module/python.hpp"
#include "module/record_class.hpp"
#include "module/ref.hpp"
#include "records/reader.hpp"

namespace tarnwick::wire {

class PySource {
 public:
  // A value's conversion may run the interpreter's code (str caches, a
  // constructor's exception), so no lock of the maps is held around one.
  static constexpr bool kReadsWithoutPython = false;

  // A counted reference to one value.
  class Value {
   public:
    Value() noexcept = default;
    explicit Value(PyObject* borrowed) noexcept : p_(borrowed) { Py_XINCREF(p_); }
    Value(const Value& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Value(Value&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Value& operator=(Value o) noexcept {
      std::swap(p_, o.p_);
      return *this;
    }
    ~Value() {
      if (p_ != nullptr) calling_python([this] { Py_DECREF(p_); });
    }
    PyObject* get() const noexcept { return p_; }

   private:
    PyObject* p_ = nullptr;
  };

  // A dict's exact-str keys, indexed by their hash; keys and values are held
  // by references of the index's own, so a callback that changes the dict
  // meanwhile changes nothing read here.
  class Object {
   public:
    Object(PySource&, const Value& v);
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    std::optional<Value> get(const Key& key) const;
    std::size_t size() const noexcept { return size_; }

   private:
    struct Entry {
      Py_hash_t hash = 0;
      Value key;
      Value value;
    };
    std::vector<Entry> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
  };

  // The value of a dict's exact-str key, without an index.
  static std::optional<Value> find(const Value& object, const Key& key);

  // A dict's exact-str keys in order, each with its value.
  static std::vector<std::pair<std::string, Value>> fields(const Value& object);

  // A list's (or tuple's) items, read one at a time as it stands.
  class List {
   public:
    List(PySource&, const Value& v) : seq_(v) {}
    bool next(Value* out);

   private:
    Value seq_;
    Py_ssize_t at_ = 0;
  };

  static ValueKind kind(const Value& v) noexcept;
  static bool is_null(const Value& v) noexcept { return v.get() == Py_None; }
  static bool is_tuple(const Value& v) noexcept { return PyTuple_Check(v.get()); }
  static bool truth(const Value& v) noexcept { return v.get() == Py_True; }
  static bool uint_of(const Value& v, std::uint64_t* out);
  static std::string text_of(const Value& v);
  static bool id_of(const Value& v, std::uint64_t* out);
  static Described describe(const Value& v);
  static bool fits_text(const Value& v);

  template <class Desc, std::size_t I>
  bool convert(Scalars<Desc>& sc, BlobBuilder& b, const Value& v) {
    try {
      RecordClass<Desc>::template convert_field<I>(sc, b, v.get());
      return true;
    } catch (const PyErrSet&) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;  // an interrupt: the call's error
      FetchedError error;
      cause_ = OwnedRef::borrow(error.value());
      return false;
    }
  }

  void refused() noexcept { cause_ = OwnedRef(); }
  // The constructor's exception behind the last fault, if any.
  OwnedRef take_cause() noexcept { return std::move(cause_); }

 private:
  OwnedRef cause_;
};

// Python's repr() of the str whose UTF-8 is `utf8`, as faults quote strings.
std::string python_repr(std::string_view utf8);

// The interned str and hash of a key, made on first use.
PyObject* native_key(const Key& key);

}  // namespace tarnwick::wire
