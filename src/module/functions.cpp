#include "module/functions.hpp"

#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/entry.hpp"
#include "module/record_class.hpp"
#include "module/released.hpp"
#include "registry/registry.hpp"

namespace tarnwick {
namespace {

using UserClass = RecordClass<UserDesc>;
using GuildClass = RecordClass<GuildDesc>;
using MemberClass = RecordClass<MemberDesc>;
using MessageClass = RecordClass<MessageDesc>;

// File a deep copy of the argument under its id.  The copy is made before
// any registry lock is taken; a displaced value is released after the
// shard lock is dropped.
template <class Class, auto file_record>
PyObject* file(const Bound<1>& args) {
  file_record(Class::take(args[0], args.name(0)));
  Py_RETURN_NONE;
}

// A guild filed over a big one lets go of the old one's collections without
// the interpreter lock.
PyObject* register_guild(const Bound<1>& args) {
  std::optional<GuildRecord> displaced = file_guild(GuildClass::take(args[0], args.name(0)));
  let_go(displaced);
  Py_RETURN_NONE;
}

// Filing a user exactly as it is filed already changes nothing: then no
// copy is made and no write lock is taken.
PyObject* register_user(const Bound<1>& args) {
  PyObject* user = args[0];
  if (UserClass::check(user) && user_filed_as(UserClass::record_of(user))) Py_RETURN_NONE;
  return file<UserClass, file_user>(args);
}

// Copy the filed value under the shard's read lock; build the object after.
template <class Class, auto& (*map)()>
PyObject* fetch(const Bound<1>& args) {
  const std::uint64_t id = take_u64(args, 0);
  typename Class::Staged copy;
  {
    auto guard = map().get(id);
    if (!guard) Py_RETURN_NONE;
    copy.take(guard.value());
  }
  return Class::wrap(copy);
}

// The guild's registry shard stays read-locked while its member is copied;
// that excludes every writer of the filed members too.
PyObject* get_member(const Bound<2>& args) {
  const std::uint64_t guild_id = take_u64(args, 0);
  const std::uint64_t user_id = take_u64(args, 1);
  MemberClass::Staged copy;
  {
    auto guild = guild_map().get(guild_id);
    if (!guild) Py_RETURN_NONE;
    const MemberRecord* member = guild.value().extra().filed_member(user_id);
    if (member == nullptr) Py_RETURN_NONE;
    copy.take(*member);
  }
  return MemberClass::wrap(copy);
}

PyMethodDef g_functions[] = {
    function<"register_guild(guild)", register_guild>(),
    function<"register_user(user)", register_user>(),
    function<"register_message(message)", file<MessageClass, file_message>>(),
    function<"get_guild(guild_id)", fetch<GuildClass, guild_map>>(),
    function<"get_member(guild_id, user_id)", get_member>(),
    function<"get_user(user_id)", fetch<UserClass, user_map>>(),
    function<"get_message(message_id)", fetch<MessageClass, message_map>>(),
    kEndOfTable,
};

}  // namespace

PyMethodDef* registry_functions() { return g_functions; }

}  // namespace tarnwick
