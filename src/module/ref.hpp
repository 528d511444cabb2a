// Owned references as a type: released on scope exit, handed over by name.
#pragma once

#include <utility>

#include "module/python.hpp"

namespace tarnwick {

class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (may be null).
  static OwnedRef steal(PyObject* p) { return OwnedRef(p); }
  // Takes a new reference to a borrowed object.
  static OwnedRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return OwnedRef(p);
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& o) noexcept {
    OwnedRef tmp(std::move(o));
    std::swap(p_, tmp.p_);
    return *this;
  }
  ~OwnedRef() {
    if (p_ != nullptr) calling_python([this] { Py_DECREF(p_); });  // may run a finalizer
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives the reference away (to a caller or a stealing API).
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  explicit OwnedRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace tarnwick
