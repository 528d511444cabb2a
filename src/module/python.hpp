// The one place that includes Python.h, pinned to the 3.9 stable ABI.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>

namespace tarnwick {

// Once the interpreter is exiting, CPython (3.9 to 3.13) ends any other
// thread that takes its lock back with pthread_exit, which unwinds it.
// That unwinding must not enter our frames: their destructors would drop
// references without the lock, noexcept ones abort the process, and so
// does leaving a handler of it.  Such a thread sleeps for good instead,
// holding nothing, as newer interpreters make it do.
[[noreturn]] void sleep_for_good() noexcept;

// f(), which may run Python code (and so take the lock back), guarded so.
// (The unwinding's handler binds no object, which the sanitizer's null
// check would take for a fault.)
template <class F>
__attribute__((no_sanitize("null"))) decltype(auto) calling_python(F&& f) {
  try {
    return f();
  } catch (abi::__forced_unwind&) {
    sleep_for_good();
  }
}

}  // namespace tarnwick
