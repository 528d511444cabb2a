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

// A payload's reading of one parameter.
struct Read {
  enum State : std::uint8_t { NotSent, Null, Value, NotPlain } state = NotSent;
  OwnedRef value;  // for Value: what the constructor's rule takes
};

template <class Desc, const auto& special>
class Wire {
  static constexpr std::size_t N = std::size(Desc::fields);
  static constexpr std::array<WireField, N> plan = plan_of<Desc>(special);
  using Class = RecordClass<Desc>;

 public:
  static PyObject* convert(PyObject* d) {
    if (!Py_IS_TYPE(d, &PyDict_Type)) Py_RETURN_NONE;
    Read reads[N];
    PyObject* args[N] = {};
    bool odd = false;
    for (std::size_t i = 0; i < N; ++i) {
      reads[i] = read(d, i, &odd);
      if (reads[i].state == Read::NotPlain) Py_RETURN_NONE;
      args[i] = reads[i].value.get();
      if (Desc::fields[i].fill == Fill::Required && args[i] == nullptr) Py_RETURN_NONE;
    }
    if (odd) Py_RETURN_NONE;  // a lookup raised, also one that then counted as missing
    try {
      return Class::build(Class::type(), args);
    } catch (const PyErrSet&) {
      return refused();
    }
  }

  // `d` laid over the record of `filed` (or over the defaults when it is
  // None): a field whose key `d` sends takes the sent value, one it leaves
  // out keeps the filed value, and null clears a field that can be None
  // and means "not sent" for any other.  `lenient`: a sent value that does
  // not convert is passed over too.  None when the payload is not the plain
  // case (the Python merge then finds the fault).
  static PyObject* merge(PyObject* d, PyObject* filed_obj, bool lenient) {
    if (!Py_IS_TYPE(d, &PyDict_Type)) Py_RETURN_NONE;
    const Record<Desc>* filed = nullptr;
    if (filed_obj != Py_None) filed = &Class::record_of(require_record(filed_obj));
    Scalars<Desc> sc = filed != nullptr ? filed->scalars() : Class::defaults();
    BlobBuilder b;
    bool odd = false, plain = true;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((plain = plain && merge_field<I>(d, filed, sc, b, lenient, &odd)), ...);
    }(std::make_index_sequence<N>{});
    if (!plain || odd) Py_RETURN_NONE;
    return Class::make(Class::type(), sc, b);
  }

 private:
  static PyObject* require_record(PyObject* o) {
    if (!Class::check(o)) {
      set_type_mismatch(o, Desc::name);
      raise_labelled("filed");
    }
    return o;
  }

  // A conversion the constructor's rule refused: None, so that the Python
  // converter finds the field and says what is wrong with it.
  static PyObject* refused() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrSet{};
    PyErr_Clear();
    Py_RETURN_NONE;
  }

  static Read read(PyObject* d, std::size_t i, bool* odd) {
    Read r;
    PyObject* const* keys = interned();
    if (plan[i].how == How::Nested) {
      // The id comes from the nested object or from the parameter's own
      // key (a merged update has that one); given by both, they would
      // have to agree, which the Python path checks and reports.
      OwnedRef nested = OwnedRef::steal(lookup(d, keys[i], odd));
      OwnedRef own = OwnedRef::steal(lookup(d, keys[N + i], odd));
      const bool by_nested = nested && nested.get() != Py_None;
      if (own && own.get() != Py_None) {
        if (by_nested) return {Read::NotPlain, {}};
        r.value = OwnedRef::steal(id_value(own.get()));
      } else if (!by_nested) {
        return r;
      } else {
        if (!Py_IS_TYPE(nested.get(), &PyDict_Type)) return {Read::NotPlain, {}};
        OwnedRef id = OwnedRef::steal(lookup(nested.get(), id_key(), odd));
        if (!id) return {Read::NotPlain, {}};
        r.value = OwnedRef::steal(id_value(id.get()));
      }
    } else {
      r.value = OwnedRef::steal(lookup(d, keys[i], odd));
      if (!r.value) return r;
      if (r.value.get() == Py_None) return {Read::Null, {}};
      if (plan[i].how == How::Id) {
        r.value = OwnedRef::steal(id_value(r.value.get()));
      } else if (plan[i].how == How::IdList) {
        r.value = OwnedRef::steal(id_list(r.value.get()));
      } else if (!plain_value(r.value.get())) {
        return {Read::NotPlain, {}};
      }
    }
    r.state = r.value ? Read::Value : Read::NotPlain;
    return r;
  }

  // Field I of the merge; false when the payload is not the plain case.
  template <std::size_t I>
  static bool merge_field(PyObject* d, const Record<Desc>* filed, Scalars<Desc>& sc, BlobBuilder& b, bool lenient,
                          bool* odd) {
    constexpr FieldSpec f = Desc::fields[I];
    constexpr bool nullable = f.fill == Fill::Absent;
    Read r = read(d, I, odd);
    const std::size_t mark = b.length();
    if (r.state == Read::Value) {
      try {
        Class::template convert_field<I>(sc, b, r.value.get());
        return true;
      } catch (const PyErrSet&) {
        refused();
        if (!lenient) return false;
        b.rewind(mark);
        r.state = Read::NotSent;
      }
    }
    if (r.state == Read::NotPlain) {
      if (!lenient) return false;
      r.state = Read::NotSent;
    }
    if (r.state == Read::Null && nullable) {
      if constexpr (is_var(f.kind)) {
        b.end_field();
      } else {
        sc.store(I, decltype(stored<I>())(0));
      }
      sc.set_present(I, false);
      return true;
    }
    // Not sent (or a null that means so): the filed value stays.
    if (filed == nullptr) {
      if constexpr (f.fill == Fill::Required) return false;
      if constexpr (is_var(f.kind)) Class::template convert_field<I>(sc, b, nullptr);  // the default
      return true;
    }
    if constexpr (is_var(f.kind)) {
      const VarView v = filed->var(I);
      b.append(v.data, v.size);
      b.end_field();
    }
    return true;  // a scalar's filed value is in `sc` already
  }

  // A value of field I's stored type (for zeroing a cleared scalar).
  template <std::size_t I>
  static auto stored() {
    constexpr Kind k = Desc::fields[I].kind;
    if constexpr (k == Kind::U64) {
      return std::uint64_t{};
    } else if constexpr (k == Kind::U32) {
      return std::uint32_t{};
    } else if constexpr (k == Kind::I32) {
      return std::int32_t{};
    } else {
      return std::uint8_t{};
    }
  }

  // The payload keys, then the parameter names, interned once.
  static PyObject* const* interned() {
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
};

using UserWire = Wire<UserDesc, kNone>;
using MemberWire = Wire<MemberDesc, kByUser>;
using RoleWire = Wire<RoleDesc, kNone>;
using EmojiWire = Wire<EmojiDesc, kByUser>;
using MessageWire = Wire<MessageDesc, kMessage>;
using GuildWire = Wire<GuildDesc, kNone>;

}  // namespace

PyObject* convert_payload(const Bound<2>& args) {
  const std::uint64_t kind = take_u64(args, 0);
  PyObject* d = args[1];
  switch (kind) {
    case 0: return UserWire::convert(d);
    case 1: return MemberWire::convert(d);
    case 2: return RoleWire::convert(d);
    case 3: return EmojiWire::convert(d);
    case 4: return MessageWire::convert(d);
    case 5: return GuildWire::convert(d);
    default: raise(PyExc_ValueError, "kind must be 0 to 5");
  }
}

PyObject* merge_payload(const Bound<4>& args) {
  const std::uint64_t kind = take_u64(args, 0);
  PyObject* d = args[1];
  PyObject* filed = args[2];
  const bool lenient = args[3] == Py_True;
  switch (kind) {
    case 0: return UserWire::merge(d, filed, lenient);
    case 1: return MemberWire::merge(d, filed, lenient);
    case 2: return RoleWire::merge(d, filed, lenient);
    case 3: return EmojiWire::merge(d, filed, lenient);
    case 4: return MessageWire::merge(d, filed, lenient);
    case 5: return GuildWire::merge(d, filed, lenient);
    default: raise(PyExc_ValueError, "kind must be 0 to 5");
  }
}

}  // namespace tarnwick
