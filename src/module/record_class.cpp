// PyErr_Fetch and friends are the only error API in the 3.9 stable ABI.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "module/record_class.hpp"

namespace tarnwick {

PyTypeObject* make_record_type(const char* qualified_name, const char* name, const std::string& doc,
                               int basicsize, newfunc tp_new, destructor dealloc, PyGetSetDef* getset,
                               PyMethodDef* methods) {
  PyObject* type = nullptr;
  if (std::strlen(doc.c_str()) != doc.size()) {
    PyErr_SetString(PyExc_ValueError, "class doc cannot contain nul bytes");
  } else {
    PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_getset, getset},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {methods != nullptr ? Py_tp_methods : 0, methods},
        {0, nullptr},
    };
    // Qualified name: __module__ is "tarnwick", __name__ stays the class name.
    PyType_Spec type_spec = {qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    type = PyType_FromSpec(&type_spec);
  }
  if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);

  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb != nullptr && v != nullptr) PyException_SetTraceback(v, tb);
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
  PyObject *t2, *v2, *tb2;
  PyErr_Fetch(&t2, &v2, &tb2);
  PyErr_NormalizeException(&t2, &v2, &tb2);
  if (v2 != nullptr && v != nullptr) PyException_SetCause(v2, v);  // steals v
  else Py_XDECREF(v);
  Py_XDECREF(t);
  Py_XDECREF(tb);
  PyErr_Restore(t2, v2, tb2);
  return nullptr;
}

}  // namespace tarnwick
