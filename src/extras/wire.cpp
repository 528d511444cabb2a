#include "extras/wire.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/convert.hpp"
#include "module/record_class.hpp"
#include "module/ref.hpp"
#include "records/emoji.hpp"
#include "records/guild.hpp"
#include "records/member.hpp"
#include "records/message.hpp"
#include "records/role.hpp"
#include "records/user.hpp"

namespace tarnwick {
namespace {

// How a parameter is read from the payload (the wire rules of payloads.py).
enum class How : std::uint8_t {
  Plain,   // the value under the parameter's name, as it is
  Id,      // an unsigned 64-bit value: a decimal string, or an int
  IdList,  // a list of those
  Nested,  // the id of the object under `key` (the parameter's own key must be absent)
};

struct WireField {
  const char* key;
  How how;
};

constexpr bool ends_with_id(std::string_view name) {
  return name == "id" || name == "permissions" || (name.size() > 3 && name.substr(name.size() - 3) == "_id");
}

struct Special {
  const char* param;
  const char* key;
  How how;
};

template <class Desc, std::size_t S>
constexpr auto plan_of(const Special (&special)[S]) {
  constexpr std::size_t N = std::size(Desc::fields);
  std::array<WireField, N> plan{};
  for (std::size_t i = 0; i < N; ++i) {
    const std::string_view name = Desc::fields[i].name;
    plan[i] = {Desc::fields[i].name, name == "roles" ? How::IdList : ends_with_id(name) ? How::Id : How::Plain};
    for (const Special& s : special) {
      if (name == s.param) plan[i] = {s.key, s.how};
    }
  }
  return plan;
}

constexpr Special kNone[] = {{"", "", How::Plain}};
constexpr Special kByUser[] = {{"user_id", "user", How::Nested}};
constexpr Special kMessage[] = {{"message_type", "type", How::Plain}, {"author_id", "author", How::Nested}};

// A value of a type json.loads makes, whose conversion runs no Python code
// of the caller's: a fallback then repeats no side effect.
bool plain_type(PyObject* v) {
  return Py_IS_TYPE(v, &PyUnicode_Type) || Py_IS_TYPE(v, &PyLong_Type) || Py_IS_TYPE(v, &PyBool_Type) ||
         Py_IS_TYPE(v, &PyFloat_Type) || Py_IS_TYPE(v, &PyDict_Type) || v == Py_None;
}

bool plain_value(PyObject* v) {
  if (plain_type(v)) return true;
  if (!Py_IS_TYPE(v, &PyList_Type)) return false;
  const Py_ssize_t n = PyList_Size(v);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(v, i);
    if (!plain_type(item) && !Py_IS_TYPE(item, &PyList_Type)) return false;
  }
  return true;
}

// An id as the wire gives it, as a new int; null (nothing pending) when it
// is not a plain one.
PyObject* id_value(PyObject* v) {
  if (Py_IS_TYPE(v, &PyLong_Type)) {
    Py_INCREF(v);  // the constructor's own rule checks its range
    return v;
  }
  std::uint64_t id;
  if (!read_decimal_u64(v, &id)) return nullptr;
  return require(PyLong_FromUnsignedLongLong(id));
}

PyObject* id_list(PyObject* v) {
  if (!Py_IS_TYPE(v, &PyList_Type)) return nullptr;
  const Py_ssize_t n = PyList_Size(v);
  OwnedRef out = OwnedRef::steal(require(PyList_New(n)));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = id_value(PyList_GetItem(v, i));
    if (item == nullptr) return nullptr;
    PyList_SetItem(out.get(), i, item);  // steals
  }
  return out.release();
}

// d[key] as a new reference, or null when it is not there; a lookup that
// raised (a key of the caller's with an odd __eq__) counts as not there.
PyObject* lookup(PyObject* d, PyObject* key, bool* odd) {
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (v == nullptr && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_pending();
    PyErr_Clear();
    *odd = true;
  }
  Py_XINCREF(v);
  return v;
}

template <class Desc>
class Wire {
  static constexpr std::size_t N = std::size(Desc::fields);

 public:
  template <const auto& special>
  static PyObject* convert(PyObject* d) {
    static constexpr std::array<WireField, N> plan = plan_of<Desc>(special);
    if (!Py_IS_TYPE(d, &PyDict_Type)) Py_RETURN_NONE;
    PyObject* const* keys = interned(plan);
    OwnedRef held[N];
    PyObject* args[N] = {};
    bool odd = false;
    for (std::size_t i = 0; i < N; ++i) {
      OwnedRef v;
      if (plan[i].how == How::Nested) {
        // The id comes from the nested object or from the parameter's own
        // key (a merged update has that one); given by both, they would
        // have to agree, which the Python path checks and reports.
        OwnedRef nested = OwnedRef::steal(lookup(d, keys[i], &odd));
        OwnedRef own = OwnedRef::steal(lookup(d, keys[N + i], &odd));
        const bool by_nested = nested && nested.get() != Py_None;
        if (own && own.get() != Py_None) {
          if (by_nested) Py_RETURN_NONE;
          v = OwnedRef::steal(id_value(own.get()));
        } else if (!by_nested) {
          continue;
        } else {
          if (!Py_IS_TYPE(nested.get(), &PyDict_Type)) Py_RETURN_NONE;
          OwnedRef id = OwnedRef::steal(lookup(nested.get(), id_key(), &odd));
          if (!id) Py_RETURN_NONE;
          v = OwnedRef::steal(id_value(id.get()));
        }
      } else {
        v = OwnedRef::steal(lookup(d, keys[i], &odd));
        if (!v || v.get() == Py_None) continue;
        if (plan[i].how == How::Id) {
          v = OwnedRef::steal(id_value(v.get()));
        } else if (plan[i].how == How::IdList) {
          v = OwnedRef::steal(id_list(v.get()));
        } else if (!plain_value(v.get())) {
          Py_RETURN_NONE;
        }
      }
      if (!v || odd) Py_RETURN_NONE;
      args[i] = v.get();
      held[i] = std::move(v);
    }
    if (odd) Py_RETURN_NONE;  // a lookup raised, also one that then counted as missing
    for (std::size_t i = 0; i < N; ++i) {
      if (Desc::fields[i].fill == Fill::Required && args[i] == nullptr) Py_RETURN_NONE;
    }
    return build(args);
  }

 private:
  // The payload keys, then the parameter names, interned once.
  static PyObject* const* interned(const std::array<WireField, N>& plan) {
    static PyObject* keys[2 * N] = {};
    if (keys[2 * N - 1] == nullptr) {
      for (std::size_t i = 0; i < N; ++i) {
        if (keys[i] == nullptr) keys[i] = require(PyUnicode_InternFromString(plan[i].key));
        if (keys[N + i] == nullptr) keys[N + i] = require(PyUnicode_InternFromString(Desc::fields[i].name));
      }
    }
    return keys;
  }

  static PyObject* id_key() {
    static PyObject* key = nullptr;
    if (key == nullptr) key = require(PyUnicode_InternFromString("id"));
    return key;
  }

  // The record, or None when the constructor refuses the values: the Python
  // converter then finds the field and says what is wrong with it.
  static PyObject* build(PyObject* const* args) {
    try {
      return RecordClass<Desc>::build(RecordClass<Desc>::type(), args);
    } catch (const PyErrSet&) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
      PyErr_Clear();
      Py_RETURN_NONE;
    }
  }
};

}  // namespace

PyObject* convert_payload(const Bound<2>& args) {
  const std::uint64_t kind = take_u64(args, 0);
  PyObject* d = args[1];
  switch (kind) {
    case 0: return Wire<UserDesc>::convert<kNone>(d);
    case 1: return Wire<MemberDesc>::convert<kByUser>(d);
    case 2: return Wire<RoleDesc>::convert<kNone>(d);
    case 3: return Wire<EmojiDesc>::convert<kByUser>(d);
    case 4: return Wire<MessageDesc>::convert<kMessage>(d);
    case 5: return Wire<GuildDesc>::convert<kNone>(d);
    default: raise(PyExc_ValueError, "kind must be 0 to 5");
  }
}

}  // namespace tarnwick
