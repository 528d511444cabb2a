// The fault boundary: the only place where C++ failures become Python ones.
//
// Entry points never catch anything themselves.  Code below them throws
//   * PyErrSet        - a Python exception is already set (ordinary failure);
//   * InternalFault   - a broken invariant with a static text (core layers);
//   * ForwardedPanic  - a PanicException raised inside a callback, continued
//                       as a fault of our own; its text is kept as the str
//                       it was, NULs and lone surrogates included.
// run_boundary() catches these, and only these plus anything unexpected, and
// returns the interpreter's error value with the right exception set.
#pragma once

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

#include "module/python.hpp"
#include "core/fault.hpp"

namespace tarnwick {

struct PyErrSet {};

class ForwardedPanic : public std::exception {
 public:
  // Takes over a new reference to the text (a str).
  explicit ForwardedPanic(PyObject* text) noexcept : text_(text) {}
  ForwardedPanic(const ForwardedPanic& o) noexcept : text_(o.text_) { Py_XINCREF(text_); }
  ForwardedPanic& operator=(const ForwardedPanic&) = delete;
  ~ForwardedPanic() override { Py_XDECREF(text_); }
  const char* what() const noexcept override { return "PanicException raised by a callback"; }
  PyObject* text() const noexcept { return text_; }

 private:
  PyObject* text_;
};

// Unwinds to the boundary; makes sure an exception is set.
[[noreturn]] void throw_pending();

// Sets `type` with `message` and unwinds to the boundary.
[[noreturn]] void raise(PyObject* type, const char* message);

// For calls whose null result means "a Python exception is set".
template <class T>
T* require(T* result) {
  if (result == nullptr) throw_pending();
  return result;
}

// Owns the pending Python exception, taken out of the interpreter and
// normalised on construction; restore() hands it back, otherwise it is
// dropped with this object.
class FetchedError {
 public:
  FetchedError() noexcept;
  FetchedError(const FetchedError&) = delete;
  FetchedError& operator=(const FetchedError&) = delete;
  ~FetchedError();

  PyObject* type() const noexcept { return type_; }
  PyObject* value() const noexcept { return value_; }
  PyObject* traceback() const noexcept { return traceback_; }
  // Makes it the pending exception again; this object is empty afterwards.
  void restore() noexcept;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Reports an internal fault and sets PanicException.  Aborts the process if
// that itself fails ("uncaught panic at ffi boundary").
void raise_panic(const char* text) noexcept;
// The same with the text as a str object (borrowed).
void raise_panic(PyObject* text) noexcept;

// The PanicException type, or null if no fault has happened yet.
PyObject* panic_type_if_created() noexcept;

// If the pending Python exception is a PanicException raised by a callback
// (an __index__, a __bool__, an iterator), reports it and throws it on as an
// internal fault of our own.  Otherwise leaves the exception pending.
void forward_panic_if_pending();

// Runs body() and returns its result, or the interpreter's error value for
// a slot of its type (null, or -1 for a length or a truth value) with the
// right exception set.  A thread the exiting interpreter ends in a Python
// call no calling_python() guards sleeps here (see python.hpp).
template <class Body>
__attribute__((no_sanitize("null"))) auto run_boundary(Body&& body) noexcept -> decltype(body()) {
  using Result = decltype(body());
  static_assert(std::is_pointer_v<Result> || std::is_integral_v<Result>);
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    sleep_for_good();
  } catch (const PyErrSet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const ForwardedPanic& p) {
    raise_panic(p.text());
  } catch (const std::bad_alloc&) {
    // Every allocation of ours reports its size and aborts before this; a
    // bad_alloc can only come from inside the C++ runtime, whose size we
    // cannot know.
    allocation_failed_unknown();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal failure");
  }
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return Result(-1);
  }
}

}  // namespace tarnwick
