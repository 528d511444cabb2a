// Test-only entry points, compiled only into test builds.  They live in the
// same shared object as the module (loaded a second time under the name
// _tarnwick_hooks) so that they share its process-wide state, while the
// shipped module keeps exactly its public names.  Like every entry point,
// each runs under the fault boundary.
#ifdef TARNWICK_TEST_HOOKS

#include <vector>

#include "core/casefold.hpp"
#include "core/casefold_data.hpp"
#include "core/processors.hpp"
#include "module/boundary.hpp"
#include "module/convert.hpp"
#include "module/entry.hpp"
#include "module/python.hpp"
#include "module/released.hpp"
#include "module/results.hpp"
#include "registry/registry.hpp"

namespace tarnwick {
namespace {

// raise_fault(text): an internal fault with that text (a str), through the
// boundary.
PyObject* raise_fault(const Bound<1>& args) {
  if (!PyUnicode_Check(args[0])) raise(PyExc_TypeError, "raise_fault() takes a str");
  Py_INCREF(args[0]);
  throw ForwardedPanic(args[0]);
}

// exhaust_memory(n): the out-of-memory path, as if n bytes were refused.
PyObject* exhaust_memory(const Bound<1>& args) { allocation_failed(take_u64(args, 0)); }

// exhaust_container(n): an ordinary C++ container asks for n bytes (too
// many to get), as an error text or the cgroup parser might.
PyObject* exhaust_container(const Bound<1>& args) {
  std::vector<char> v;
  v.reserve(take_u64(args, 0));
  return none_result();
}

PyObject* fail_next_map(const Bound<0>&) {
  fail_next_map_creation();
  return none_result();
}

PyObject* shard_count(const Bound<0>&) { return checked_result(PyLong_FromSize_t(shard_amount())); }

// walked_stats(): cache.stats() found by walking every record.
PyObject* walked_stats(const Bound<0>&) { return stats_result(walked_registry_stats()); }

// walks_running(): threads inside a walk that let go of the interpreter lock.
PyObject* walks(const Bound<0>&) { return checked_result(PyLong_FromSize_t(walks_running())); }
// casefold(text): the native folding the member search uses, to hold
// against str.casefold; casefold_unicode(): the Unicode version of its table.
PyObject* casefold_text(const Bound<1>& args) {
  BlobBuilder text;
  if (!append_text(args[0], text)) raise_labelled(args.name(0));
  return text_result(casefold(text.payloads()));
}

PyObject* casefold_unicode(const Bound<0>&) { return text_result(casefold_data::kUnicodeVersion); }

PyMethodDef g_hooks[] = {
    function<"raise_fault(text)", raise_fault>(),
    function<"exhaust_memory(n)", exhaust_memory>(),
    function<"exhaust_container(n)", exhaust_container>(),
    function<"fail_next_map_creation()", fail_next_map>(),
    function<"shard_amount()", shard_count>(),
    function<"walked_stats()", walked_stats>(),
    function<"walks_running()", walks>(),
    function<"casefold(text)", casefold_text>(),
    function<"casefold_unicode()", casefold_unicode>(),
    kEndOfTable,
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
