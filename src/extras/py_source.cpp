#include "extras/py_source.hpp"

#include <bit>
#include <string>
#include <utility>
#include <vector>

#include "module/convert.hpp"
#include "module/released.hpp"

namespace tarnwick::wire {
namespace {

// UTF-8 of a str, for a description (a lone surrogate shown escaped).
std::string utf8_of(PyObject* s) {
  OwnedRef bytes = OwnedRef::steal(require(PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace")));
  char* data;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) throw_pending();
  return std::string(data, static_cast<std::size_t>(len));
}

// An int in 0..2**64-1 into *out; false for one out of that range.
bool long_u64(PyObject* o, std::uint64_t* out) {
  const unsigned long long n = PyLong_AsUnsignedLongLong(o);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_pending();
    PyErr_Clear();
    return false;
  }
  *out = n;
  return true;
}

std::string repr_of(PyObject* o) {
  OwnedRef r = OwnedRef::steal(require(calling_python([&] { return PyObject_Repr(o); })));
  return utf8_of(r.get());
}

}  // namespace

std::string python_repr(std::string_view utf8) {
  // A fault's text may be made while a big frame is read released.
  return with_interpreter([&] {
    OwnedRef s = OwnedRef::steal(
        require(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogateescape")));
    return repr_of(s.get());
  });
}

PyObject* native_key(const Key& key) {
  if (key.native == nullptr) {
    PyObject* s =
        require(PyUnicode_FromStringAndSize(key.text.data(), static_cast<Py_ssize_t>(key.text.size())));
    PyUnicode_InternInPlace(&s);
    const Py_hash_t h = PyObject_Hash(s);
    if (h == -1) {
      Py_DECREF(s);
      throw_pending();
    }
    key.native_hash = h;
    key.native = s;  // kept for the process, like the keys themselves
  }
  return static_cast<PyObject*>(key.native);
}

PySource::Object::Object(PySource&, const Value& v) {
  PyObject* d = v.get();
  const Py_ssize_t n = PyDict_Size(d);
  const std::size_t capacity = std::bit_ceil(static_cast<std::size_t>(n < 8 ? 8 : n) * 2);
  slots_.resize(capacity);
  mask_ = capacity - 1;
  Py_ssize_t pos = 0;
  PyObject *k, *x;
  while (PyDict_Next(d, &pos, &k, &x)) {
    if (!Py_IS_TYPE(k, &PyUnicode_Type)) continue;  // read by exact str keys alone
    const Py_hash_t h = PyObject_Hash(k);          // a str's own hash: no caller code
    if (h == -1) throw_pending();
    for (std::size_t i = static_cast<std::size_t>(h) & mask_;; i = (i + 1) & mask_) {
      Entry& e = slots_[i];
      if (e.key.get() == nullptr) {
        e = {h, Value(k), Value(x)};
        ++size_;
        break;
      }
    }
  }
}

std::optional<PySource::Value> PySource::Object::get(const Key& key) const {
  PyObject* want = native_key(key);
  const Py_hash_t h = static_cast<Py_hash_t>(key.native_hash);
  for (std::size_t i = static_cast<std::size_t>(h) & mask_;; i = (i + 1) & mask_) {
    const Entry& e = slots_[i];
    if (e.key.get() == nullptr) return std::nullopt;
    if (e.hash != h) continue;
    // Both are exact str: comparing them runs no caller code.
    if (e.key.get() == want || PyUnicode_Compare(e.key.get(), want) == 0) return e.value;
  }
}

std::optional<PySource::Value> PySource::find(const Value& object, const Key& key) {
  PyObject* want = native_key(key);
  const Py_hash_t h = static_cast<Py_hash_t>(key.native_hash);
  Py_ssize_t pos = 0;
  PyObject *k, *x;
  while (PyDict_Next(object.get(), &pos, &k, &x)) {
    if (!Py_IS_TYPE(k, &PyUnicode_Type)) continue;
    if (k == want) return Value(x);
    const Py_hash_t kh = PyObject_Hash(k);
    if (kh == -1) throw_pending();
    if (kh == h && PyUnicode_Compare(k, want) == 0) return Value(x);
  }
  return std::nullopt;
}

bool PySource::List::next(Value* out) {
  PyObject* seq = seq_.get();
  if (PyTuple_Check(seq)) {
    if (at_ >= PyTuple_Size(seq)) return false;
    *out = Value(PyTuple_GetItem(seq, at_++));
    return true;
  }
  // The list may change under a callback; it is read as it stands.
  if (at_ >= PyList_Size(seq)) return false;
  *out = Value(PyList_GetItem(seq, at_++));
  return true;
}

bool PySource::uint_of(const Value& v, std::uint64_t* out) {
  PyObject* o = v.get();
  if (!PyLong_Check(o) || PyBool_Check(o)) return false;
  return long_u64(o, out);
}

std::vector<std::pair<std::string, PySource::Value>> PySource::fields(const Value& object) {
  // Gathered whole before any text is made, so that nothing runs during
  // the walk that could change the dict.
  std::vector<std::pair<Value, Value>> held;
  Py_ssize_t pos = 0;
  PyObject *k, *x;
  while (PyDict_Next(object.get(), &pos, &k, &x)) {
    if (Py_IS_TYPE(k, &PyUnicode_Type)) held.emplace_back(Value(k), Value(x));
  }
  std::vector<std::pair<std::string, Value>> out;
  out.reserve(held.size());
  for (auto& [key, value] : held) out.emplace_back(text_of(key), std::move(value));
  return out;
}

std::string PySource::text_of(const Value& v) {
  // Lone surrogates (json.loads keeps them) pass as their three bytes.
  OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(v.get(), "utf-8", "surrogatepass"));
  if (!bytes) throw_pending();
  char* data;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) throw_pending();
  return std::string(data, static_cast<std::size_t>(len));
}

ValueKind PySource::kind(const Value& v) noexcept {
  PyObject* o = v.get();
  if (o == Py_None) return ValueKind::Null;
  if (PyBool_Check(o)) return ValueKind::Bool;
  if (PyLong_Check(o)) return ValueKind::Int;
  if (PyFloat_Check(o)) return ValueKind::Float;
  if (PyUnicode_Check(o)) return ValueKind::String;
  if (PyList_Check(o)) return ValueKind::List;
  if (PyDict_Check(o)) return ValueKind::Object;
  return ValueKind::Other;
}

bool PySource::id_of(const Value& v, std::uint64_t* out) {
  PyObject* o = v.get();
  if (Py_IS_TYPE(o, &PyUnicode_Type)) {
    if (read_decimal_u64(o, out)) return true;
    if (PyUnicode_GetLength(o) != 20) return false;
    std::uint64_t n = 0;
    for (Py_ssize_t i = 0; i < 20; ++i) {
      const Py_UCS4 c = PyUnicode_ReadChar(o, i);
      if (c < '0' || c > '9') return false;
      const std::uint64_t d = c - '0';
      if (n > (UINT64_MAX - d) / 10) return false;
      n = n * 10 + d;
    }
    *out = n;
    return true;
  }
  if (Py_IS_TYPE(o, &PyLong_Type)) return long_u64(o, out);
  return false;
}

Described PySource::describe(const Value& v) {
  PyObject* o = v.get();
  Described d;
  d.kind = kind(v);
  if (d.kind == ValueKind::Other) {
    // A class whose __name__ fails or is no str is named as a plain object:
    // the fault is the payload's, not this description's (but an interrupt
    // or an exit goes on).
    OwnedRef name = OwnedRef::steal(
        calling_python([&] { return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"); }));
    if (!name) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_pending();
      PyErr_Clear();
    }
    d.type_name = name && PyUnicode_Check(name.get()) ? utf8_of(name.get()) : "object";
  } else if (Py_IS_TYPE(o, &PyLong_Type)) {
    OwnedRef text = OwnedRef::steal(require(calling_python([&] { return PyObject_Str(o); })));
    d.number = utf8_of(text.get());
  } else if (Py_IS_TYPE(o, &PyUnicode_Type)) {
    const Py_ssize_t n = PyUnicode_GetLength(o);
    d.string_length = static_cast<std::size_t>(n);
    d.string_digits = n > 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      const Py_UCS4 c = PyUnicode_ReadChar(o, i);
      if (c < '0' || c > '9') d.string_digits = false;
      if (c >= 0xD800 && c <= 0xDFFF && d.surrogate.empty()) {
        OwnedRef one = OwnedRef::steal(require(PyUnicode_Substring(o, i, i + 1)));
        d.surrogate = repr_of(one.get());
        d.surrogate_at = static_cast<std::size_t>(i);
      }
    }
    if (n <= 40) {
      d.repr = repr_of(o);
    } else {
      OwnedRef head = OwnedRef::steal(require(PyUnicode_Substring(o, 0, 40)));
      d.repr = repr_of(head.get()) + "...";
    }
  }
  return d;
}

bool PySource::fits_text(const Value& v) {
  PyObject* o = v.get();
  if (!Py_IS_TYPE(o, &PyUnicode_Type)) return false;
  OwnedRef bytes = OwnedRef::steal(PyUnicode_AsUTF8String(o));
  if (bytes) return true;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_pending();
  PyErr_Clear();
  return false;
}

}  // namespace tarnwick::wire
