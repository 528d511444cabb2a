// Test-only entry points, compiled only into test builds.  They live in the
// same shared object as the module (loaded a second time under the name
// _tarnwick_hooks) so that they share its process-wide state, while the
// shipped module keeps exactly its public names.
#ifdef TARNWICK_TEST_HOOKS

#include "module/boundary.hpp"
#include "module/python.hpp"

#include <string>
#include "core/processors.hpp"
#include "registry/registry.hpp"

namespace tarnwick {
namespace {

// raise_fault(text): an internal fault with that text, through the boundary.
PyObject* raise_fault(PyObject*, PyObject* arg) {
  return run_boundary([&]() -> PyObject* {
    PyObject* bytes = require(PyUnicode_AsUTF8String(arg));
    std::string text(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes)));
    Py_DECREF(bytes);
    throw ForwardedPanic(std::move(text));
  });
}

// exhaust_memory(n): the out-of-memory path, as if n bytes were refused.
PyObject* exhaust_memory(PyObject*, PyObject* arg) {
  std::size_t n = PyLong_AsSize_t(arg);
  if (PyErr_Occurred()) return nullptr;
  allocation_failed(n);
}

PyObject* fail_next_map(PyObject*, PyObject*) {
  fail_next_map_creation();
  Py_RETURN_NONE;
}

PyObject* shard_count(PyObject*, PyObject*) { return PyLong_FromSize_t(shard_amount()); }

PyMethodDef g_hooks[] = {
    {"raise_fault", raise_fault, METH_O, nullptr},
    {"exhaust_memory", exhaust_memory, METH_O, nullptr},
    {"fail_next_map_creation", fail_next_map, METH_NOARGS, nullptr},
    {"shard_amount", shard_count, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_hooks_def = {
    PyModuleDef_HEAD_INIT, "_tarnwick_hooks", nullptr, -1, g_hooks, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tarnwick

PyMODINIT_FUNC PyInit__tarnwick_hooks(void) { return PyModule_Create2(&tarnwick::g_hooks_def, 3); }

#endif
