#include "module/boundary.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "module/ref.hpp"

namespace tarnwick {
namespace {

constexpr const char kPanicDoc[] =
    "Raised when tarnwick's native code fails internally (a broken invariant).\n"
    "\n"
    "Like SystemExit it derives from BaseException rather than Exception, so\n"
    "an ordinary 'except Exception' does not swallow it: it usually propagates\n"
    "to the top and ends the interpreter.";

PyObject* g_panic_type = nullptr;  // created once, kept for the process

void write_bytes(const char* s, std::size_t n) noexcept {
  while (n != 0) {
    ssize_t w = ::write(STDERR_FILENO, s, n);
    if (w <= 0) return;
    s += w;
    n -= static_cast<std::size_t>(w);
  }
}

void write_stderr(const char* a, const char* b = "", const char* c = "") noexcept {
  for (const char* s : {a, b, c}) write_bytes(s, std::strlen(s));
}

[[noreturn]] void abort_double_fault() noexcept {
  write_stderr("uncaught panic at ffi boundary\n");
  std::abort();
}

PyObject* panic_type() noexcept {
  if (g_panic_type == nullptr) {
    PyObject* t = PyErr_NewExceptionWithDoc("tarnwick.PanicException", kPanicDoc,
                                            PyExc_BaseException, nullptr);
    if (t == nullptr) return nullptr;
    g_panic_type = t;
  }
  return g_panic_type;
}

}  // namespace

void sleep_for_good() noexcept {
  for (;;) ::pause();
}

void throw_pending() { throw PyErrSet{}; }

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw_pending();
}

// The fetch/restore pair is the only way to hold an exception in the 3.9
// stable ABI (PyErr_GetRaisedException came in 3.12).
FetchedError::FetchedError() noexcept {
  PyErr_Fetch(&type_, &value_, &traceback_);
  calling_python([this] { PyErr_NormalizeException(&type_, &value_, &traceback_); });
  if (traceback_ != nullptr && value_ != nullptr) PyException_SetTraceback(value_, traceback_);
}

void FetchedError::restore() noexcept {
  PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                std::exchange(traceback_, nullptr));
}

FetchedError::~FetchedError() {
  calling_python([this] {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  });
}

PyObject* panic_type_if_created() noexcept { return g_panic_type; }

void raise_panic(const char* text) noexcept {
  PyObject* msg = PyUnicode_FromString(text);
  if (msg == nullptr) abort_double_fault();
  raise_panic(msg);
  Py_DECREF(msg);
}

void raise_panic(PyObject* text) noexcept {
  // The report shows NULs and lone surrogates escaped; the exception gets
  // the text exactly.
  PyObject* shown = PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace");
  if (shown == nullptr) abort_double_fault();
  write_stderr("tarnwick: internal fault: ");
  write_bytes(PyBytes_AsString(shown), static_cast<std::size_t>(PyBytes_Size(shown)));
  write_stderr("\n");
  Py_DECREF(shown);
  PyObject* type = panic_type();
  if (type == nullptr) abort_double_fault();
  PyErr_SetObject(type, text);
}

void forward_panic_if_pending() {
  PyObject* type = g_panic_type;
  if (type == nullptr || !PyErr_ExceptionMatches(type)) return;
  FetchedError error;
  PyObject* text = calling_python([&] { return PyObject_Str(error.value()); });
  if (text == nullptr) {
    // Its __str__ failed too: keep a text that says so.
    PyErr_Clear();
    text = require(PyUnicode_FromString("PanicException raised by a callback"));
  }
  write_stderr("tarnwick: a callback raised PanicException; continuing it as an internal fault\n");
  // Displayed, not printed through PyErr_Print: that would end the
  // interpreter here if the exception is also a SystemExit.
  PyErr_Display(error.type(), error.value(), error.traceback());
  throw ForwardedPanic(text);
}

}  // namespace tarnwick
