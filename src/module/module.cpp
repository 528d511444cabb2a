// Module entry: PyInit_tarnwick creates the module once per process.

#include <atomic>

#include "module/boundary.hpp"
#include "module/functions.hpp"
#include "module/guild_methods.hpp"
#include "module/record_class.hpp"
#include "module/ref.hpp"
#include "module/registration.hpp"
#include "records/emoji.hpp"
#include "records/guild.hpp"
#include "records/member.hpp"
#include "records/message.hpp"
#include "records/role.hpp"
#include "records/user.hpp"

namespace tarnwick {
namespace {

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, "tarnwick", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module is bound to the first interpreter that tries to import it.
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;  // made once, kept for the process

}  // namespace

// Appends `name` to __all__ (creating it on first use), then sets the
// attribute.
void add(PyObject* module, PyObject* name, PyObject* value) {
  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    all = OwnedRef::steal(require(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
  } else if (!PyList_Check(all.get())) {
    raise(PyExc_TypeError, "__all__ must be a list");
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    fault("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name, value) < 0) throw_pending();
}

void add_functions(PyObject* module, PyMethodDef* table, bool listed) {
  OwnedRef module_name = OwnedRef::steal(require(PyModule_GetNameObject(module)));
  for (PyMethodDef* def = table; def->ml_name != nullptr; ++def) {
    OwnedRef fn = OwnedRef::steal(require(PyCMethod_New(def, module, module_name.get(), nullptr)));
    OwnedRef name = OwnedRef::steal(require(PyObject_GetAttrString(fn.get(), "__name__")));
    if (!PyUnicode_Check(name.get())) raise(PyExc_TypeError, "function __name__ must be a str");
    if (listed) {
      add(module, name.get(), fn.get());
    } else if (PyObject_SetAttr(module, name.get(), fn.get()) < 0) {
      throw_pending();
    }
  }
}

PyObject* module_once(PyModuleDef& def, PyObject*& made, void (*body)(PyObject*)) {
  claim_interpreter();
  if (made == nullptr) {
    OwnedRef module = OwnedRef::steal(require(PyModule_Create2(&def, 3)));
    body(module.get());
    if (made == nullptr) made = module.release();
  }
  Py_INCREF(made);
  return made;
}

void claim_interpreter() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) throw_pending();
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    raise(PyExc_ImportError,
          "tarnwick does not support sub-interpreters: it is already bound to another interpreter");
  }
}

namespace {

template <class Desc>
void add_class(PyObject* module, PyMethodDef* methods = nullptr) {
  PyTypeObject* type = RecordClass<Desc>::create(methods);
  OwnedRef name = OwnedRef::steal(require(PyUnicode_FromString(Desc::name)));
  add(module, name.get(), reinterpret_cast<PyObject*>(type));
}

void module_body(PyObject* module) {
  add_class<UserDesc>(module);
  add_class<MemberDesc>(module);
  add_class<GuildDesc>(module, guild_methods());
  add_class<RoleDesc>(module);
  add_class<MessageDesc>(module);
  add_class<EmojiDesc>(module);
  add_functions(module, registry_functions());
}

}  // namespace
}  // namespace tarnwick

PyMODINIT_FUNC PyInit_tarnwick(void) {
  return tarnwick::run_boundary(
      [] { return tarnwick::module_once(tarnwick::g_def, tarnwick::g_module, tarnwick::module_body); });
}
