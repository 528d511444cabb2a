#include "module/results.hpp"

#include "module/ref.hpp"
#include "core/fault.hpp"

#include <utility>

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

PyObject* stats_result(const RegistryStats& s) {
  OwnedRef dict = OwnedRef::steal(checked_result(PyDict_New()));
  const std::pair<const char*, std::size_t> items[] = {
      {"users", s.users},           {"guilds", s.guilds},           {"members", s.members},
      {"roles", s.roles},           {"emojis", s.emojis},           {"messages", s.messages},
      {"user_bytes", s.user_bytes}, {"guild_bytes", s.guild_bytes}, {"message_bytes", s.message_bytes},
  };
  for (const auto& [name, value] : items) {
    OwnedRef v = OwnedRef::steal(u64_result(value));
    if (PyDict_SetItemString(dict.get(), name, v.get()) < 0) result_failed();
  }
  return dict.release();
}

}  // namespace tarnwick
