// Test-only entry points, compiled only into test builds.  They live in the
// same shared object as the module (loaded a second time under the name
// _tarnwick_hooks) so that they share its process-wide state, while the
// shipped module keeps exactly its public names.  Like every entry point,
// each runs under the fault boundary.
#ifdef TARNWICK_TEST_HOOKS

#include <vector>

#include "core/processors.hpp"
#include "module/boundary.hpp"
#include "module/python.hpp"
#include "module/results.hpp"
#include "registry/registry.hpp"

namespace tarnwick {
namespace {

std::size_t size_arg(PyObject* arg) {
  const std::size_t n = PyLong_AsSize_t(arg);
  if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw_pending();
  return n;
}

// raise_fault(text): an internal fault with that text (a str), through the
// boundary.
PyObject* raise_fault(PyObject*, PyObject* arg) {
  return run_boundary([&]() -> PyObject* {
    if (!PyUnicode_Check(arg)) raise(PyExc_TypeError, "raise_fault() takes a str");
    Py_INCREF(arg);
    throw ForwardedPanic(arg);
  });
}

// exhaust_memory(n): the out-of-memory path, as if n bytes were refused.
PyObject* exhaust_memory(PyObject*, PyObject* arg) {
  return run_boundary([&]() -> PyObject* { allocation_failed(size_arg(arg)); });
}

// exhaust_container(n): an ordinary C++ container asks for n bytes (too
// many to get), as an error text or the cgroup parser might.
PyObject* exhaust_container(PyObject*, PyObject* arg) {
  return run_boundary([&]() -> PyObject* {
    std::vector<char> v;
    v.reserve(size_arg(arg));
    return none_result();
  });
}

PyObject* fail_next_map(PyObject*, PyObject*) {
  return run_boundary([] {
    fail_next_map_creation();
    return none_result();
  });
}

PyObject* shard_count(PyObject*, PyObject*) {
  return run_boundary([] { return checked_result(PyLong_FromSize_t(shard_amount())); });
}

PyMethodDef g_hooks[] = {
    {"raise_fault", raise_fault, METH_O, nullptr},
    {"exhaust_memory", exhaust_memory, METH_O, nullptr},
    {"exhaust_container", exhaust_container, METH_O, nullptr},
    {"fail_next_map_creation", fail_next_map, METH_NOARGS, nullptr},
    {"shard_amount", shard_count, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_hooks_def = {
    PyModuleDef_HEAD_INIT, "_tarnwick_hooks", nullptr, -1, g_hooks, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tarnwick

PyMODINIT_FUNC PyInit__tarnwick_hooks(void) {
  return tarnwick::run_boundary([] { return tarnwick::require(PyModule_Create2(&tarnwick::g_hooks_def, 3)); });
}

#endif
