// tarnwick_extras.cache: what a long-running cache needs beyond the core
// functions (removal, changing a filed guild in place, a bound on the
// messages kept, letting go of users seen nowhere, counts, and reading back
// everything filed: reads.cpp), over the same
// process-wide maps, with the same binding and conversion rules and the
// same fault boundary.  It lives in the same shared object as tarnwick,
// under a second init function.

#include <optional>
#include <utility>
#include <vector>

#include "extras/reads.hpp"
#include "extras/gateway_entry.hpp"
#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/convert.hpp"
#include "module/entry.hpp"
#include "module/record_class.hpp"
#include "module/ref.hpp"
#include "module/registration.hpp"
#include "module/released.hpp"
#include "module/results.hpp"
#include "records/emoji.hpp"
#include "records/guild.hpp"
#include "records/member.hpp"
#include "records/role.hpp"
#include "registry/changes.hpp"
#include "registry/registry.hpp"

namespace tarnwick {
namespace {

// remove_user(id): the removed record dies on return, after the shard lock
// is gone.
PyObject* remove_user(const Bound<1>& args) { return bool_result(user_map().erase(take_u64(args, 0)).has_value()); }

// remove_guild(id): a big guild's collections are let go of without the
// interpreter lock, a small one's (most) without the cost of releasing it.
PyObject* remove_guild(const Bound<1>& args) {
  std::optional<GuildRecord> removed = guild_map().erase(take_u64(args, 0));
  const bool found = removed.has_value();
  let_go(removed);
  return bool_result(found);
}

PyObject* remove_message(const Bound<1>& args) {
  return bool_result(tarnwick::remove_message(take_u64(args, 0)));
}

// remove_channel_messages(channel_id), remove_guild_messages(guild_id):
// each walks every message kept.
template <std::size_t (*remove)(std::uint64_t)>
PyObject* remove_messages(const Bound<1>& args) {
  const std::uint64_t id = take_u64(args, 0);
  return u64_result(without_interpreter([&] { return remove(id); }));
}

// put_X(guild_id, x) and remove_X(guild_id, id): one collection of the
// filed guild, changed in place.  Earlier get_guild results share the
// collection copy-on-write, so they keep what they saw.
template <class Desc>
PyObject* put(const Bound<2>& args) {
  const std::uint64_t guild_id = take_u64(args, 0);
  return bool_result(put_in_guild(guild_id, RecordClass<Desc>::take(args[1], args.name(1))));
}

template <class Desc>
PyObject* remove(const Bound<2>& args) {
  const std::uint64_t guild_id = take_u64(args, 0);
  return bool_result(remove_from_guild<Record<Desc>>(guild_id, take_u64(args, 1)));
}

// update_guild(guild): the guild's new fields, keeping what the filed one
// holds in its collections (shared, not copied).
PyObject* update_guild(const Bound<1>& args) {
  return bool_result(refile_guild_fields(RecordClass<GuildDesc>::take(args[0], args.name(0))));
}

// Calls f on each item of `iterable`, an argument called `label`; a
// failure of the iteration itself raises that argument's error.
template <class F>
void each_item(PyObject* iterable, const char* label, F&& f) {
  OwnedRef it = OwnedRef::steal(calling_python([&] { return PyObject_GetIter(iterable); }));
  if (!it) raise_labelled(label);
  while (OwnedRef item = OwnedRef::steal(calling_python([&] { return PyIter_Next(it.get()); }))) f(item.get());
  if (PyErr_Occurred()) raise_labelled(label);
}

// set_X(guild_id, xs): the filed guild's whole set of roles or emojis
// becomes xs.  The new set is built first, since iterating xs may run any
// Python code; then it takes the old one's place under the collection's
// lock, and the old one is released after every lock is gone.
template <class Desc>
PyObject* set_all(const Bound<2>& args) {
  const std::uint64_t guild_id = take_u64(args, 0);
  GuildCollections fresh;
  each_item(args[1], args.name(1), [&](PyObject* item) { fresh.put(RecordClass<Desc>::take(item, args.name(1))); });
  return bool_result(swap_in_guild(guild_id, fresh.of<Record<Desc>>()));  // `fresh` releases the old set
}

// prune_users(keep=()): the ids in `keep` are read first, since iterating
// it may run any Python code; only then is the registry walked.
PyObject* prune_users(const Bound<1>& args) {
  std::vector<std::uint64_t> keep;
  if (args[0] != nullptr) {
    each_item(args[0], args.name(0), [&](PyObject* item) { keep.push_back(take_u64(item, args.name(0))); });
  }
  return u64_result(without_interpreter([&] { return tarnwick::prune_users(keep); }));
}

PyObject* set_message_limit(const Bound<1>& args) {
  std::optional<std::uint64_t> limit;
  if (args[0] != Py_None) limit = take_u64(args, 0);
  without_interpreter([&] { tarnwick::set_message_limit(limit); });  // may drop many
  return none_result();
}

PyObject* message_limit(const Bound<0>&) {
  const auto limit = tarnwick::message_limit();
  return limit ? u64_result(*limit) : none_result();
}

PyObject* stats(const Bound<0>&) { return stats_result(registry_stats()); }

PyObject* clear(const Bound<0>&) {
  without_interpreter(clear_registry);
  return none_result();
}

PyMethodDef g_functions[] = {
    function<"remove_user(user_id)", remove_user, "Remove the filed user; True if there was one.">(),
    function<"remove_guild(guild_id)", remove_guild,
             "Remove the filed guild with its roles, members and emojis; True if there was one.">(),
    function<"remove_message(message_id)", remove_message, "Remove the filed message; True if there was one.">(),
    function<"remove_channel_messages(channel_id)", remove_messages<remove_channel_messages>,
             "Remove every filed message of the channel (or thread); return how many.\n"
             "It walks every message kept.">(),
    function<"remove_guild_messages(guild_id)", remove_messages<remove_guild_messages>,
             "Remove every filed message of the guild; return how many.\n"
             "It walks every message kept.">(),
    function<"put_member(guild_id, member)", put<MemberDesc>,
             "File member into the filed guild, replacing any under its user_id;\n"
             "False (nothing filed) if no guild is filed under guild_id.">(),
    function<"remove_member(guild_id, user_id)", remove<MemberDesc>,
             "Remove a member of the filed guild; True if there was one.">(),
    function<"put_role(guild_id, role)", put<RoleDesc>,
             "File role into the filed guild, replacing any under its id;\n"
             "False (nothing filed) if no guild is filed under guild_id.">(),
    function<"remove_role(guild_id, role_id)", remove<RoleDesc>,
             "Remove a role of the filed guild; True if there was one.">(),
    function<"put_emoji(guild_id, emoji)", put<EmojiDesc>,
             "File emoji into the filed guild, replacing any under its id;\n"
             "False (nothing filed) if no guild is filed under guild_id.">(),
    function<"remove_emoji(guild_id, emoji_id)", remove<EmojiDesc>,
             "Remove an emoji of the filed guild; True if there was one.">(),
    function<"update_guild(guild)", update_guild,
             "File guild's fields in place of the filed guild's, keeping its roles,\n"
             "members and emojis; False (nothing filed) if none is filed under its id.">(),
    function<"set_roles(guild_id, roles)", set_all<RoleDesc>,
             "Make roles the filed guild's whole set of roles; False if none is filed.">(),
    function<"set_emojis(guild_id, emojis)", set_all<EmojiDesc>,
             "Make emojis the filed guild's whole set of emojis; False if none is filed.">(),
    function<"prune_users(keep=())", prune_users,
             "Remove every filed user that no filed guild holds as a member, no filed\n"
             "message names as its author and keep does not list; return how many.\n"
             "It walks the whole cache: call it now and then, not per event.">(),
    function<"set_message_limit(limit)", set_message_limit,
             "Keep at most limit messages, dropping the longest filed first; None\n"
             "(the default) keeps every one.">(),
    function<"message_limit()", message_limit, "The message limit, or None.">(),
    function<"stats()", stats, "Counts of what is filed, and the bytes the users, guilds and messages take.">(),
    function<"clear()", clear, "Forget every filed record; the message limit stays.">(),
    kEndOfTable,
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick_extras.cache",
    "Removal, in-place guild changes, a message limit, pruning of users, counts,\n"
    "and reads of roles, emojis, members, permissions and ids over tarnwick's cache.",
    0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;  // made once, kept for the process

void module_body(PyObject* module) {
  // The record rules need tarnwick's classes, which its import makes.
  OwnedRef core = OwnedRef::steal(require(PyImport_ImportModule("tarnwick")));
  add_functions(module, g_functions);
  add_reads(module);
  add_gateway_functions(module);
}

}  // namespace
}  // namespace tarnwick

PyMODINIT_FUNC PyInit_cache(void) {
  return tarnwick::run_boundary(
      [] { return tarnwick::module_once(tarnwick::g_def, tarnwick::g_module, tarnwick::module_body); });
}
