#include "module/functions.hpp"

#include <optional>

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/convert.hpp"
#include "module/record_class.hpp"
#include "registry/registry.hpp"

namespace tarnwick {
namespace {

using UserClass = RecordClass<UserDesc>;
using GuildClass = RecordClass<GuildDesc>;
using MemberClass = RecordClass<MemberDesc>;
using MessageClass = RecordClass<MessageDesc>;

Params<1> register_guild_params{nullptr, "register_guild", {"guild"}, 1};
Params<1> register_user_params{nullptr, "register_user", {"user"}, 1};
Params<1> register_message_params{nullptr, "register_message", {"message"}, 1};
Params<1> get_guild_params{nullptr, "get_guild", {"guild_id"}, 1};
Params<1> get_user_params{nullptr, "get_user", {"user_id"}, 1};
Params<1> get_message_params{nullptr, "get_message", {"message_id"}, 1};
Params<2> get_member_params{nullptr, "get_member", {"guild_id", "user_id"}, 2};

// File a deep copy of the argument under its id.  The copy is made before
// any registry lock is taken; a displaced value is released after the
// shard lock is dropped.
template <class Class>
PyObject* file(PyObject* args, PyObject* kwargs, const Params<1>& p, void (*file_record)(typename Class::Rec&&)) {
  const Bound<1> bound(p, args, kwargs);
  file_record(Class::take(bound[0], p.names[0]));
  Py_RETURN_NONE;
}

// Copy the filed value under the shard's read lock; build the object after.
template <class Class, class Map>
PyObject* fetch(PyObject* args, PyObject* kwargs, const Params<1>& p, Map& (*map)()) {
  const Bound<1> bound(p, args, kwargs);
  const std::uint64_t id = take_u64(bound[0], p.names[0]);
  typename Class::Staged copy;
  {
    auto guard = map().get(id);
    if (!guard) Py_RETURN_NONE;
    copy.take(guard.value());
  }
  return Class::wrap(copy);
}

PyObject* register_guild(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return file<GuildClass>(args, kwargs, register_guild_params, file_guild); });
}
// Filing a user exactly as it is filed already changes nothing: then no
// copy is made and no write lock is taken.
PyObject* refile_user(PyObject* args, PyObject* kwargs) {
  const Bound<1> bound(register_user_params, args, kwargs);
  PyObject* user = bound[0];
  if (UserClass::check(user) && user_filed_as(UserClass::record_of(user))) Py_RETURN_NONE;
  file_user(UserClass::take(user, "user"));
  Py_RETURN_NONE;
}

PyObject* register_user(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return refile_user(args, kwargs); });
}
PyObject* register_message(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return file<MessageClass>(args, kwargs, register_message_params, file_message); });
}
PyObject* get_guild(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return fetch<GuildClass>(args, kwargs, get_guild_params, guild_map); });
}
PyObject* get_user(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return fetch<UserClass>(args, kwargs, get_user_params, user_map); });
}
PyObject* get_message(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return fetch<MessageClass>(args, kwargs, get_message_params, message_map); });
}

// The guild's registry shard stays read-locked while its member is copied;
// that excludes every writer of the filed members too.
PyObject* get_member(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&]() -> PyObject* {
    const Bound<2> bound(get_member_params, args, kwargs);
    const std::uint64_t guild_id = take_u64(bound[0], "guild_id");
    const std::uint64_t user_id = take_u64(bound[1], "user_id");
    MemberClass::Staged copy;
    {
      auto guild = guild_map().get(guild_id);
      if (!guild) Py_RETURN_NONE;
      const MemberRecord* member = guild.value().extra().filed_member(user_id);
      if (member == nullptr) Py_RETURN_NONE;
      copy.take(*member);
    }
    return MemberClass::wrap(copy);
  });
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;
PyMethodDef g_functions[] = {
    {"register_guild", reinterpret_cast<PyCFunction>(register_guild), kFlags, "register_guild(guild)\n--\n\n"},
    {"register_user", reinterpret_cast<PyCFunction>(register_user), kFlags, "register_user(user)\n--\n\n"},
    {"register_message", reinterpret_cast<PyCFunction>(register_message), kFlags,
     "register_message(message)\n--\n\n"},
    {"get_guild", reinterpret_cast<PyCFunction>(get_guild), kFlags, "get_guild(guild_id)\n--\n\n"},
    {"get_member", reinterpret_cast<PyCFunction>(get_member), kFlags, "get_member(guild_id, user_id)\n--\n\n"},
    {"get_user", reinterpret_cast<PyCFunction>(get_user), kFlags, "get_user(user_id)\n--\n\n"},
    {"get_message", reinterpret_cast<PyCFunction>(get_message), kFlags, "get_message(message_id)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
#pragma GCC diagnostic pop

}  // namespace

PyMethodDef* registry_functions() { return g_functions; }

}  // namespace tarnwick
