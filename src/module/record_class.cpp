#include "module/record_class.hpp"

namespace tarnwick {

PyTypeObject* make_record_type(PyType_Spec& type_spec, const char* name, const Text& doc) {
  PyObject* type = nullptr;
  if (std::strlen(doc.c_str()) != doc.size()) {
    PyErr_SetString(PyExc_ValueError, "class doc cannot contain nul bytes");
  } else {
    type = PyType_FromSpec(&type_spec);
  }
  if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);

  FetchedError cause;
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
  FetchedError error;
  if (error.value() != nullptr && cause.value() != nullptr) {
    Py_INCREF(cause.value());
    PyException_SetCause(error.value(), cause.value());  // steals the new reference
  }
  error.restore();
  return nullptr;
}

}  // namespace tarnwick
