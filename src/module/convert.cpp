#include "module/convert.hpp"

#include <dlfcn.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "module/boundary.hpp"
#include "module/ref.hpp"

namespace tarnwick {
namespace {

// The limited API's type checks call PyType_GetFlags; an exact type match,
// the common case, needs only a compare.
inline bool is_int(PyObject* o) { return Py_IS_TYPE(o, &PyLong_Type) || PyLong_Check(o); }
inline bool is_str(PyObject* o) { return Py_IS_TYPE(o, &PyUnicode_Type) || PyUnicode_Check(o); }

// Clears the pending error if it is an ordinary one (an Exception) and
// says so.  Anything else (KeyboardInterrupt, SystemExit, PanicException)
// must reach the caller: clearing a Ctrl-C would lose it.
bool clear_if_ordinary() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

// A list's length is only a hint: a lying __len__ must not make us reserve
// terabytes, so never reserve more than this many items up front.
constexpr std::size_t kMaxReservedItems = 1024;

// Reads an int with `read`, taking the object's __index__ first when it is
// not an int itself.  `read` reports failure as all ones with an exception.
template <class T, class Read>
bool read_index(PyObject* o, T* out, Read read) {
  OwnedRef index;
  if (!is_int(o)) {
    index = OwnedRef::steal(calling_python([&] { return PyNumber_Index(o); }));
    if (!index) return false;
    o = index.get();
  }
  *out = static_cast<T>(read(o));
  return !(*out == static_cast<T>(-1) && PyErr_Occurred());
}

// The narrower rules go through a C long, then check the kind's range.
template <class T>
bool to_narrow(PyObject* o, T* out) {
  long v;
  if (!read_index(o, &v, PyLong_AsLong)) return false;
  if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<T>(v);
  return true;
}

// Whether type.attr is a str equal to `a` or `b`.  Missing or unreadable
// is no match; an error that must not be cleared is left pending, and then
// the result is false too.
bool str_attr_equals(PyObject* type, const char* attr, const char* a, const char* b = nullptr) {
  OwnedRef v = OwnedRef::steal(calling_python([&] { return PyObject_GetAttrString(type, attr); }));
  if (!v) {
    clear_if_ordinary();
    return false;
  }
  if (!PyUnicode_Check(v.get())) return false;
  return PyUnicode_CompareWithASCIIString(v.get(), a) == 0 ||
         (b != nullptr && PyUnicode_CompareWithASCIIString(v.get(), b) == 0);
}

// numpy's boolean scalars: call the type's __bool__, bound to the object.
bool numpy_bool(PyObject* o, bool* out) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  OwnedRef fn = OwnedRef::steal(calling_python([&] { return PyObject_GetAttrString(type, "__bool__"); }));
  if (!fn) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion", type);
    return false;
  }
  // Bind it the way attribute lookup would, if it is a descriptor.
  PyObject* fn_type = reinterpret_cast<PyObject*>(Py_TYPE(fn.get()));
  OwnedRef get = OwnedRef::steal(calling_python([&] { return PyObject_GetAttrString(fn_type, "__get__"); }));
  if (get) {
    OwnedRef bound = OwnedRef::steal(
        calling_python([&] { return PyObject_CallFunctionObjArgs(get.get(), fn.get(), o, type, nullptr); }));
    if (!bound) return false;
    fn = std::move(bound);
  } else if (!clear_if_ordinary()) {
    return false;
  }
  OwnedRef r = OwnedRef::steal(calling_python([&] { return PyObject_CallObject(fn.get(), nullptr); }));
  if (!r) return false;
  if (!PyBool_Check(r.get())) {
    set_type_mismatch(r.get(), "PyBool");
    return false;
  }
  *out = r.get() == Py_True;
  return true;
}

// Shared shape of the two list rules.  `item_bytes` is what an item adds
// to the blob, about; `element_bytes` what a list of owned items would
// take for each, for the length hint's size.
template <class Item>
bool append_list(PyObject* o, BlobBuilder& b, std::size_t item_bytes, std::size_t element_bytes, Item&& item) {
  if (is_str(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) {
    set_type_mismatch(o, "Sequence");
    return false;
  }
  Py_ssize_t hint = calling_python([&] { return PySequence_Size(o); });
  if (hint < 0) {
    if (!clear_if_ordinary()) return false;  // only a hint, unless it is an interrupt
    hint = 0;
  }
  std::size_t reserve = static_cast<std::size_t>(hint);
  // A hint too big to be the size of anything is a capacity overflow, as
  // reserving it would be (range(sys.maxsize), say, is not gone through);
  // below that only a few items' worth is reserved, as a hint may lie.
  if (reserve > static_cast<std::size_t>(PY_SSIZE_T_MAX) / element_bytes) fault("capacity overflow");
  b.reserve((reserve < kMaxReservedItems ? reserve : kMaxReservedItems) * item_bytes);
  // Exact lists and tuples iterate the way their iterators would, without
  // making one.  An item's __index__ may change the list, so the length is
  // read again each step and the item held while it converts.
  const bool is_list = Py_IS_TYPE(o, &PyList_Type);
  if (is_list || Py_IS_TYPE(o, &PyTuple_Type)) {
    for (Py_ssize_t i = 0; i < (is_list ? PyList_Size(o) : PyTuple_Size(o)); ++i) {
      OwnedRef x = OwnedRef::borrow(is_list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i));
      if (!item(x.get())) return false;
    }
    return true;
  }
  OwnedRef it = OwnedRef::steal(calling_python([&] { return PyObject_GetIter(o); }));
  if (!it) return false;
  while (OwnedRef x = OwnedRef::steal(calling_python([&] { return PyIter_Next(it.get()); }))) {
    if (!item(x.get())) return false;
  }
  return !PyErr_Occurred();
}

// Reading a str's UTF-8.
//
// PyUnicode_AsUTF8AndSize (stable ABI from 3.10) hands out the UTF-8 a str
// already carries, which for an ASCII str is its own data: no copy, no
// allocation.  For any other str it makes the UTF-8 and attaches it to the
// string for the rest of the string's life, doubling a caller's long text;
// a cache should not grow its callers' objects.  So only ASCII strings take
// that path, and the others are encoded into a temporary bytes object,
// which is all 3.9 has anyway.
//
// Whether a str is ASCII is a flag in its header that the limited API does
// not expose.  CPython 3.10 to 3.13 keep it at the same place (bit 6 of the
// 32-bit state word after the object header, length and hash), so we read
// it there, but only after checking, on strings we make ourselves, that
// both the length and the flag read back as they must; anywhere else every
// str takes the temporary path, which is always correct.
using AsUtf8AndSize = const char* (*)(PyObject*, Py_ssize_t*);

struct StrHeader {
  PyObject base;
  Py_ssize_t length;
  Py_hash_t hash;
  std::uint32_t state;
};
constexpr std::uint32_t kAsciiBit = 1u << 6;

bool header_says_ascii(PyObject* o) noexcept {
  std::uint32_t state;
  std::memcpy(&state, reinterpret_cast<const char*>(o) + offsetof(StrHeader, state), sizeof state);
  return (state & kAsciiBit) != 0;
}

bool header_layout_checks_out() {
  const struct {
    const char* utf8;
    bool ascii;
  } probes[] = {{"", true}, {"tarnwick", true}, {"\xc3\xa9t\xc3\xa9", false},
                {"\xe2\x82\xac", false}, {"\xf0\x9f\x98\x80!", false}};
  for (const auto& probe : probes) {
    OwnedRef s = OwnedRef::steal(PyUnicode_FromString(probe.utf8));
    if (!s) {
      PyErr_Clear();
      return false;
    }
    Py_ssize_t length;
    std::memcpy(&length, reinterpret_cast<const char*>(s.get()) + offsetof(StrHeader, length), sizeof length);
    if (length != PyUnicode_GetLength(s.get()) || header_says_ascii(s.get()) != probe.ascii) return false;
  }
  return true;
}

// The fast reader, or null where only the temporary path is safe.
AsUtf8AndSize find_ascii_reader() {
  const char* version = Py_GetVersion();
  char* end;
  const long major = std::strtol(version, &end, 10);
  const long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
  if (major != 3 || minor < 10 || minor > 13) return nullptr;
  if (!header_layout_checks_out()) return nullptr;
  return reinterpret_cast<AsUtf8AndSize>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
}

// The text rule: appends the strict UTF-8 encoding of str `o`, with a
// varint length first when `prefixed` (an item of a text list).
bool append_utf8(PyObject* o, BlobBuilder& b, bool prefixed) {
  if (!is_str(o)) {
    set_type_mismatch(o, "PyString");
    return false;
  }
  std::optional<std::string_view> text = ascii_text(o);
  OwnedRef bytes;
  if (!text) {
    bytes = OwnedRef::steal(PyUnicode_AsUTF8String(o));
    if (!bytes) return false;
    char* raw;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(bytes.get(), &raw, &len) < 0) return false;
    text.emplace(raw, static_cast<std::size_t>(len));
  }
  if (prefixed) b.append_varint(text->size());
  b.append(text->data(), text->size());
  return true;
}

}  // namespace

bool read_decimal_u64(PyObject* o, std::uint64_t* out) {
  if (!Py_IS_TYPE(o, &PyUnicode_Type)) return false;
  const Py_ssize_t n = PyUnicode_GetLength(o);
  if (n < 1 || n > 19) return false;  // 19 digits always fit
  std::uint64_t v = 0;
  if (const std::optional<std::string_view> text = ascii_text(o)) {
    for (const char c : *text) {
      const unsigned d = static_cast<unsigned char>(c) - unsigned{'0'};
      if (d > 9) return false;
      v = v * 10 + d;
    }
  } else {
    for (Py_ssize_t i = 0; i < n; ++i) {
      const unsigned d = static_cast<unsigned>(PyUnicode_ReadChar(o, i)) - unsigned{'0'};
      if (d > 9) return false;
      v = v * 10 + d;
    }
  }
  *out = v;
  return true;
}

static_assert(sizeof(unsigned long) == 8, "ids are read as unsigned long");

// PyLong_AsUnsignedLongLong takes a slow general path for every int above
// 2**30, which is every real id.  PyLong_AsUnsignedLong reads the digits
// directly and agrees on every value; only its error texts differ, so on
// failure we ask PyLong_AsUnsignedLongLong again for the interpreter's usual
// exception.
static std::uint64_t read_u64(PyObject* v) {
  unsigned long r = PyLong_AsUnsignedLong(v);
  if (r == ULONG_MAX && PyErr_Occurred()) {
    PyErr_Clear();
    return PyLong_AsUnsignedLongLong(v);
  }
  return r;
}

bool to_u64(PyObject* o, std::uint64_t* out) { return read_index(o, out, read_u64); }
bool to_u32(PyObject* o, std::uint32_t* out) { return to_narrow(o, out); }
bool to_i32(PyObject* o, std::int32_t* out) { return to_narrow(o, out); }
bool to_u8(PyObject* o, std::uint8_t* out) { return to_narrow(o, out); }

bool to_bool(PyObject* o, bool* out) {
  if (o == Py_True || o == Py_False) {
    *out = o == Py_True;
    return true;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  if (str_attr_equals(type, "__module__", "numpy") && str_attr_equals(type, "__name__", "bool_", "bool")) {
    return numpy_bool(o, out);
  }
  if (!PyErr_Occurred()) set_type_mismatch(o, "PyBool");
  return false;
}

bool append_text(PyObject* o, BlobBuilder& b) { return append_utf8(o, b, false); }

std::optional<std::string_view> ascii_text(PyObject* o) noexcept {
  static const AsUtf8AndSize reader = find_ascii_reader();
  if (reader == nullptr || !is_str(o) || !header_says_ascii(o)) return std::nullopt;
  Py_ssize_t len;
  const char* data = reader(o, &len);
  if (data == nullptr) {
    PyErr_Clear();  // only a failed allocation of a UTF-8 copy: the caller encodes it
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(len));
}

bool append_u64_list(PyObject* o, BlobBuilder& b) {
  return append_list(o, b, 8, 8, [&](PyObject* x) {
    std::uint64_t v;
    if (!to_u64(x, &v)) return false;
    b.append_u64(v);
    return true;
  });
}

bool append_text_list(PyObject* o, BlobBuilder& b) {
  // An owned text: its bytes' address, length and room.
  return append_list(o, b, 16, 3 * sizeof(void*), [&](PyObject* x) { return append_utf8(x, b, true); });
}

void set_type_mismatch(PyObject* o, const char* target) {
  OwnedRef name = OwnedRef::steal(
      calling_python([&] { return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"); }));
  if (!name && !clear_if_ordinary()) return;  // an interrupt is the error now
  if (name && PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  } else {
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be converted to '%s'", target);
  }
}

void raise_labelled(const char* param) {
  forward_panic_if_pending();
  FetchedError error;
  PyObject* value = error.value();
  if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    error.restore();
    throw_pending();
  }
  OwnedRef text = OwnedRef::steal(require(calling_python([&] { return PyObject_Str(value); })));
  OwnedRef msg = OwnedRef::steal(require(PyUnicode_FromFormat("argument '%s': %U", param, text.get())));
  OwnedRef labelled =
      OwnedRef::steal(require(
          calling_python([&] { return PyObject_CallFunctionObjArgs(PyExc_TypeError, msg.get(), nullptr); })));
  // The replaced exception is dropped; only its cause carries over.
  PyException_SetCause(labelled.get(), PyException_GetCause(value));
  PyErr_SetObject(PyExc_TypeError, labelled.get());
  throw_pending();
}

}  // namespace tarnwick
