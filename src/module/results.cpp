#include "module/results.hpp"

#include "module/ref.hpp"
#include "core/fault.hpp"

namespace tarnwick {

void result_failed() {
  PyErr_Print();
  fault("Python API call failed");
}

PyObject* u64_list_result(const VarView& v) {
  const std::size_t n = v.u64_count();
  OwnedRef list = OwnedRef::steal(checked_result(PyList_New(static_cast<Py_ssize_t>(n))));
  for (std::size_t i = 0; i < n; ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), u64_result(v.u64_at(i)));
  }
  return list.release();
}

PyObject* text_list_result(const VarView& v) {
  std::size_t n = 0;
  std::string_view s;
  for (TextListCursor c(v); c.next(&s);) ++n;
  OwnedRef list = OwnedRef::steal(checked_result(PyList_New(static_cast<Py_ssize_t>(n))));
  std::size_t i = 0;
  for (TextListCursor c(v); c.next(&s);) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i++), text_result(s));
  }
  return list.release();
}

}  // namespace tarnwick
