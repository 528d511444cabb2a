#include "module/binding.hpp"

#include <cstring>
#include <string>

#include "module/boundary.hpp"
#include "module/ref.hpp"

namespace tarnwick {
namespace {

std::string display(const ParamList& p) {
  std::string s;
  if (p.cls != nullptr) {
    s += p.cls;
    s += '.';
  }
  s += p.func;
  s += "()";
  return s;
}

void intern_names(const ParamList& p) {
  if (p.count == 0 || p.interned[p.count - 1] != nullptr) return;
  for (std::size_t i = 0; i < p.count; ++i) {
    if (p.interned[i] != nullptr) continue;
    p.interned[i] = require(PyUnicode_InternFromString(p.names[i]));
  }
}

std::size_t match_keyword(const ParamList& p, PyObject* key) {
  for (std::size_t i = 0; i < p.count; ++i) {
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

void bind(const ParamList& p, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const std::size_t n = p.count;
  const std::size_t g = static_cast<std::size_t>(PyTuple_Size(args));
  for (std::size_t i = 0; i < n; ++i) slots[i] = i < g ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)) : nullptr;

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
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t i = match_keyword(p, key);
      if (i == n) {
        OwnedRef text = OwnedRef::steal(require(PyObject_Str(key)));
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display(p).c_str(), text.get());
        throw_pending();
      }
      if (slots[i] != nullptr) {
        raise(PyExc_TypeError, (display(p) + " got multiple values for argument '" + p.names[i] + "'").c_str());
      }
      slots[i] = value;
    }
  }

  if (g < p.required) {
    const char* missing[kMaxParams];
    std::size_t m = 0;
    for (std::size_t i = 0; i < p.required; ++i) {
      if (slots[i] == nullptr) missing[m++] = p.names[i];
    }
    if (m != 0) {
      std::string names;
      for (std::size_t i = 0; i < m; ++i) {
        if (i != 0) names += (m == 2) ? " and " : (i == m - 1 ? ", and " : ", ");
        names += '\'';
        names += missing[i];
        names += '\'';
      }
      PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", display(p).c_str(), m,
                   m == 1 ? "argument" : "arguments", names.c_str());
      throw_pending();
    }
  }
}

}  // namespace tarnwick
