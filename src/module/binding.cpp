#include "module/binding.hpp"

#include <cstring>

#include "module/boundary.hpp"
#include "module/ref.hpp"

namespace tarnwick {
namespace {

// Error texts are built in fixed buffers: the names are our own constants,
// so their length is known, and an error path allocates nothing of ours.
class Line {
 public:
  Line& operator<<(const char* s) {
    const std::size_t n = std::strlen(s);
    if (n >= sizeof buf_ - len_) fault("assertion failed: binding text fits its buffer");
    std::memcpy(buf_ + len_, s, n + 1);
    len_ += n;
    return *this;
  }
  const char* c_str() const noexcept { return buf_; }

 private:
  char buf_[2048] = "";
  std::size_t len_ = 0;
};

// "{class}.{function}()" or "{function}()".
Line display(const ParamList& p) {
  Line s;
  if (p.cls != nullptr) s << p.cls << ".";
  s << p.func << "()";
  return s;
}

void intern_names(const ParamList& p) {
  if (p.count == 0 || p.interned[p.count - 1] != nullptr) return;
  for (std::size_t i = 0; i < p.count; ++i) {
    if (p.interned[i] != nullptr) continue;
    p.interned[i] = require(PyUnicode_InternFromString(p.names[i]));
  }
}

// Keywords usually come in parameter order, so the identity scan starts
// just after the previous match and wraps around.
std::size_t match_keyword(const ParamList& p, PyObject* key, std::size_t from) {
  for (std::size_t i = from; i < p.count; ++i) {
    if (p.interned[i] == key) return i;
  }
  for (std::size_t i = 0; i < from; ++i) {
    if (p.interned[i] == key) return i;
  }
  if (!PyUnicode_Check(key)) return p.count;
  // Byte comparison against the (ASCII) names; a key with lone surrogates
  // cannot equal any of them, just as it could not be encoded.
  for (std::size_t i = 0; i < p.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) return i;
  }
  return p.count;
}

}  // namespace

void bind(const ParamList& p, PyObject* args, PyObject* kwargs, PyObject** slots,
          std::uint64_t* keywords) {
  std::uint64_t by_keyword = 0;
  *keywords = 0;
  const std::size_t n = p.count;
  const std::size_t g = static_cast<std::size_t>(PyTuple_Size(args));
  if (kwargs == nullptr && g == n) {  // every argument by position: nothing to check
    for (std::size_t i = 0; i < n; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    return;
  }
  const std::size_t given = g < n ? g : n;
  for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  for (std::size_t i = given; i < n; ++i) slots[i] = nullptr;

  if (g > n) {
    const char* verb = g == 1 ? "was" : "were";
    if (p.required == n) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", display(p).c_str(), n, g,
                   verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                   display(p).c_str(), p.required, n, g, verb);
    }
    throw_pending();
  }

  if (kwargs != nullptr) {
    intern_names(p);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    std::size_t next = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const std::size_t i = match_keyword(p, key, next);
      if (i == n) {
        OwnedRef text = OwnedRef::steal(require(calling_python([&] { return PyObject_Str(key); })));
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display(p).c_str(), text.get());
        throw_pending();
      }
      if (i < given || ((by_keyword >> i) & 1) != 0) {
        raise(PyExc_TypeError, (display(p) << " got multiple values for argument '" << p.names[i] << "'").c_str());
      }
      slots[i] = value;
      by_keyword |= std::uint64_t{1} << i;
      next = i + 1;
    }
  }

  if (g < p.required) {
    const char* missing[kMaxParams];
    std::size_t m = 0;
    for (std::size_t i = 0; i < p.required; ++i) {
      if (slots[i] == nullptr) missing[m++] = p.names[i];
    }
    if (m != 0) {
      Line names;
      for (std::size_t i = 0; i < m; ++i) {
        if (i != 0) names << ((m == 2) ? " and " : (i == m - 1 ? ", and " : ", "));
        names << "'" << missing[i] << "'";
      }
      PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", display(p).c_str(), m,
                   m == 1 ? "argument" : "arguments", names.c_str());
      throw_pending();
    }
  }
  // Nothing below can fail: only now take the keyword values over.
  for (std::uint64_t k = by_keyword; k != 0; k &= k - 1) Py_INCREF(slots[std::countr_zero(k)]);
  *keywords = by_keyword;
}

}  // namespace tarnwick
