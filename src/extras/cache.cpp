// tarnwick_extras.cache: what a long-running cache needs beyond the core
// functions (removal, changing a filed guild in place, a bound on the
// messages kept, letting go of users seen nowhere, counts), over the same
// process-wide maps, with the same binding and conversion rules and the
// same fault boundary.  It lives in
// the same shared object as tarnwick, under a second init function.

#include <optional>
#include <utility>
#include <vector>

#include "extras/wire.hpp"
#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/convert.hpp"
#include "module/record_class.hpp"
#include "module/ref.hpp"
#include "module/registration.hpp"
#include "module/results.hpp"
#include "records/emoji.hpp"
#include "records/guild.hpp"
#include "records/member.hpp"
#include "records/role.hpp"
#include "registry/registry.hpp"

namespace tarnwick {
namespace {

template <std::size_t N>
using Fn = Params<N>;

PyObject* bool_object(bool v) { return bool_result(v); }

// remove_X(id): one of the three registry maps.
template <class Map>
bool erase_from(Map& map, std::uint64_t id) {
  return map.erase(id).has_value();  // the removed record dies here, unlocked
}

Fn<1> remove_user_params{nullptr, "remove_user", {"user_id"}, 1};
Fn<1> remove_guild_params{nullptr, "remove_guild", {"guild_id"}, 1};
Fn<1> remove_message_params{nullptr, "remove_message", {"message_id"}, 1};

PyObject* remove_user(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] {
    const Bound<1> slot(remove_user_params, args, kwargs);
    return bool_object(erase_from(user_map(), take_u64(slot[0], "user_id")));
  });
}

PyObject* remove_guild(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] {
    const Bound<1> slot(remove_guild_params, args, kwargs);
    return bool_object(erase_from(guild_map(), take_u64(slot[0], "guild_id")));
  });
}

PyObject* remove_message(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] {
    const Bound<1> slot(remove_message_params, args, kwargs);
    return bool_object(tarnwick::remove_message(take_u64(slot[0], "message_id")));
  });
}

// put_X(guild_id, x) and remove_X(guild_id, id): one collection of the
// filed guild, changed in place.  Earlier get_guild results share the
// collection copy-on-write, so they keep what they saw.
template <class Desc, CowMap<Record<Desc>> GuildCollections::*Map>
PyObject* put(PyObject* args, PyObject* kwargs, const Params<2>& p) {
  const Bound<2> slots(p, args, kwargs);
  const std::uint64_t guild_id = take_u64(slots[0], p.names[0]);
  Record<Desc> rec = RecordClass<Desc>::take(slots[1], p.names[1]);
  std::optional<Record<Desc>> displaced;
  const bool filed = with_filed_guild(guild_id, [&](GuildCollections& c) {
    const std::uint64_t key = rec.key();
    displaced = (c.*Map).insert(key, std::move(rec));
  });
  return bool_object(filed);  // `displaced` dies after every lock is gone
}

template <class Desc, CowMap<Record<Desc>> GuildCollections::*Map>
PyObject* remove(PyObject* args, PyObject* kwargs, const Params<2>& p) {
  const Bound<2> slots(p, args, kwargs);
  const std::uint64_t guild_id = take_u64(slots[0], p.names[0]);
  const std::uint64_t id = take_u64(slots[1], p.names[1]);
  std::optional<Record<Desc>> removed;
  with_filed_guild(guild_id, [&](GuildCollections& c) { removed = (c.*Map).erase(id); });
  return bool_object(removed.has_value());
}

Fn<2> put_member_params{nullptr, "put_member", {"guild_id", "member"}, 2};
Fn<2> put_role_params{nullptr, "put_role", {"guild_id", "role"}, 2};
Fn<2> put_emoji_params{nullptr, "put_emoji", {"guild_id", "emoji"}, 2};
Fn<2> remove_member_params{nullptr, "remove_member", {"guild_id", "user_id"}, 2};
Fn<2> remove_role_params{nullptr, "remove_role", {"guild_id", "role_id"}, 2};
Fn<2> remove_emoji_params{nullptr, "remove_emoji", {"guild_id", "emoji_id"}, 2};

PyObject* put_member(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return put<MemberDesc, &GuildCollections::members>(args, kwargs, put_member_params); });
}
PyObject* put_role(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return put<RoleDesc, &GuildCollections::roles>(args, kwargs, put_role_params); });
}
PyObject* put_emoji(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return put<EmojiDesc, &GuildCollections::emojis>(args, kwargs, put_emoji_params); });
}
PyObject* remove_member(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary(
      [&] { return remove<MemberDesc, &GuildCollections::members>(args, kwargs, remove_member_params); });
}
PyObject* remove_role(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return remove<RoleDesc, &GuildCollections::roles>(args, kwargs, remove_role_params); });
}
PyObject* remove_emoji(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary(
      [&] { return remove<EmojiDesc, &GuildCollections::emojis>(args, kwargs, remove_emoji_params); });
}

// update_guild(guild): the guild's new fields, keeping what the filed one
// holds in its collections (shared, not copied).
Fn<1> update_guild_params{nullptr, "update_guild", {"guild"}, 1};

PyObject* update_guild(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] {
    const Bound<1> slot(update_guild_params, args, kwargs);
    return bool_object(refile_guild_fields(RecordClass<GuildDesc>::take(slot[0], "guild")));
  });
}

// Calls f on each item of `iterable`, an argument called `label`; a
// failure of the iteration itself raises that argument's error.
template <class F>
void each_item(PyObject* iterable, const char* label, F&& f) {
  OwnedRef it = OwnedRef::steal(PyObject_GetIter(iterable));
  if (!it) raise_labelled(label);
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(it.get()))) f(item.get());
  if (PyErr_Occurred()) raise_labelled(label);
}

// set_X(guild_id, xs): the filed guild's whole set of roles or emojis
// becomes xs.  The new set is built first, since iterating xs may run any
// Python code; then it takes the old one's place under the collection's
// lock, and the old one is released after every lock is gone.
template <class Desc, CowMap<Record<Desc>> GuildCollections::*Map>
PyObject* set_all(PyObject* args, PyObject* kwargs, const Params<2>& p) {
  const Bound<2> slots(p, args, kwargs);
  const std::uint64_t guild_id = take_u64(slots[0], p.names[0]);
  CowMap<Record<Desc>> fresh;
  each_item(slots[1], p.names[1], [&](PyObject* item) {
    Record<Desc> rec = RecordClass<Desc>::take(item, p.names[1]);
    const std::uint64_t key = rec.key();
    fresh.insert(key, std::move(rec));
  });
  const bool filed = with_filed_guild(guild_id, [&](GuildCollections& c) { (c.*Map).swap_contents(fresh); });
  return bool_object(filed);  // `fresh` now holds the old set, released here
}

Fn<2> set_roles_params{nullptr, "set_roles", {"guild_id", "roles"}, 2};
Fn<2> set_emojis_params{nullptr, "set_emojis", {"guild_id", "emojis"}, 2};

PyObject* set_roles(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return set_all<RoleDesc, &GuildCollections::roles>(args, kwargs, set_roles_params); });
}
PyObject* set_emojis(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary(
      [&] { return set_all<EmojiDesc, &GuildCollections::emojis>(args, kwargs, set_emojis_params); });
}

// prune_users(keep=()): the ids in `keep` are read first, since iterating
// it may run any Python code; only then is the registry walked.
Fn<1> prune_users_params{nullptr, "prune_users", {"keep"}, 0};

PyObject* prune_users(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] {
    const Bound<1> slot(prune_users_params, args, kwargs);
    std::vector<std::uint64_t> keep;
    if (slot[0] != nullptr) {
      each_item(slot[0], "keep", [&](PyObject* item) { keep.push_back(take_u64(item, "keep")); });
    }
    return u64_result(tarnwick::prune_users(keep));
  });
}

Fn<1> set_message_limit_params{nullptr, "set_message_limit", {"limit"}, 1};
Fn<0> message_limit_params{nullptr, "message_limit", {}, 0};
Fn<0> stats_params{nullptr, "stats", {}, 0};
Fn<0> clear_params{nullptr, "clear", {}, 0};

PyObject* set_message_limit(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] {
    const Bound<1> slot(set_message_limit_params, args, kwargs);
    std::optional<std::uint64_t> limit;
    if (slot[0] != Py_None) limit = take_u64(slot[0], "limit");
    tarnwick::set_message_limit(limit);
    return none_result();
  });
}

PyObject* message_limit(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] {
    const Bound<0> none(message_limit_params, args, kwargs);
    const auto limit = tarnwick::message_limit();
    return limit ? u64_result(*limit) : none_result();
  });
}

PyObject* stats(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] {
    const Bound<0> none(stats_params, args, kwargs);
    const RegistryStats s = registry_stats();
    OwnedRef dict = OwnedRef::steal(checked_result(PyDict_New()));
    const std::pair<const char*, std::size_t> items[] = {
        {"users", s.users},           {"guilds", s.guilds},         {"members", s.members},
        {"roles", s.roles},           {"emojis", s.emojis},         {"messages", s.messages},
        {"user_bytes", s.user_bytes}, {"guild_bytes", s.guild_bytes}, {"message_bytes", s.message_bytes},
    };
    for (const auto& [name, value] : items) {
      OwnedRef v = OwnedRef::steal(u64_result(value));
      if (PyDict_SetItemString(dict.get(), name, v.get()) < 0) result_failed();
    }
    return dict.release();
  });
}

PyObject* clear(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] {
    const Bound<0> none(clear_params, args, kwargs);
    clear_registry();
    return none_result();
  });
}

PyObject* from_payload(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return convert_payload(args, kwargs); });
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;
PyMethodDef g_functions[] = {
    {"remove_user", reinterpret_cast<PyCFunction>(remove_user), kFlags,
     "remove_user(user_id)\n--\n\nRemove the filed user; True if there was one."},
    {"remove_guild", reinterpret_cast<PyCFunction>(remove_guild), kFlags,
     "remove_guild(guild_id)\n--\n\n"
     "Remove the filed guild with its roles, members and emojis; True if there was one."},
    {"remove_message", reinterpret_cast<PyCFunction>(remove_message), kFlags,
     "remove_message(message_id)\n--\n\nRemove the filed message; True if there was one."},
    {"put_member", reinterpret_cast<PyCFunction>(put_member), kFlags,
     "put_member(guild_id, member)\n--\n\n"
     "File member into the filed guild, replacing any under its user_id;\n"
     "False (nothing filed) if no guild is filed under guild_id."},
    {"remove_member", reinterpret_cast<PyCFunction>(remove_member), kFlags,
     "remove_member(guild_id, user_id)\n--\n\nRemove a member of the filed guild; True if there was one."},
    {"put_role", reinterpret_cast<PyCFunction>(put_role), kFlags,
     "put_role(guild_id, role)\n--\n\nFile role into the filed guild, replacing any under its id;\n"
     "False (nothing filed) if no guild is filed under guild_id."},
    {"remove_role", reinterpret_cast<PyCFunction>(remove_role), kFlags,
     "remove_role(guild_id, role_id)\n--\n\nRemove a role of the filed guild; True if there was one."},
    {"put_emoji", reinterpret_cast<PyCFunction>(put_emoji), kFlags,
     "put_emoji(guild_id, emoji)\n--\n\nFile emoji into the filed guild, replacing any under its id;\n"
     "False (nothing filed) if no guild is filed under guild_id."},
    {"remove_emoji", reinterpret_cast<PyCFunction>(remove_emoji), kFlags,
     "remove_emoji(guild_id, emoji_id)\n--\n\nRemove an emoji of the filed guild; True if there was one."},
    {"update_guild", reinterpret_cast<PyCFunction>(update_guild), kFlags,
     "update_guild(guild)\n--\n\nFile guild's fields in place of the filed guild's, keeping its roles,\n"
     "members and emojis; False (nothing filed) if none is filed under its id."},
    {"set_roles", reinterpret_cast<PyCFunction>(set_roles), kFlags,
     "set_roles(guild_id, roles)\n--\n\nMake roles the filed guild's whole set of roles; False if none is filed."},
    {"set_emojis", reinterpret_cast<PyCFunction>(set_emojis), kFlags,
     "set_emojis(guild_id, emojis)\n--\n\n"
     "Make emojis the filed guild's whole set of emojis; False if none is filed."},
    {"prune_users", reinterpret_cast<PyCFunction>(prune_users), kFlags,
     "prune_users(keep=())\n--\n\n"
     "Remove every filed user that no filed guild holds as a member, no filed\n"
     "message names as its author and keep does not list; return how many.\n"
     "It walks the whole cache: call it now and then, not per event."},
    {"set_message_limit", reinterpret_cast<PyCFunction>(set_message_limit), kFlags,
     "set_message_limit(limit)\n--\n\n"
     "Keep at most limit messages, dropping the longest filed first; None\n(the default) keeps every one."},
    {"message_limit", reinterpret_cast<PyCFunction>(message_limit), kFlags,
     "message_limit()\n--\n\nThe message limit, or None."},
    {"stats", reinterpret_cast<PyCFunction>(stats), kFlags,
     "stats()\n--\n\nCounts of what is filed, and the bytes the users, guilds and messages take."},
    {"clear", reinterpret_cast<PyCFunction>(clear), kFlags,
     "clear()\n--\n\nForget every filed record; the message limit stays."},
    {nullptr, nullptr, 0, nullptr},
};

// For tarnwick_extras.payloads alone: not in __all__.
PyMethodDef g_private[] = {
    {"_from_payload", reinterpret_cast<PyCFunction>(from_payload), kFlags, "_from_payload(kind, payload)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
#pragma GCC diagnostic pop

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick_extras.cache",
    "Removal, in-place guild changes, a message limit, pruning of users and counts over tarnwick's cache.",
    0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;

PyObject* init() {
  claim_interpreter();
  if (g_module == nullptr) {
    // The record rules need tarnwick's classes, which its import makes.
    OwnedRef core = OwnedRef::steal(require(PyImport_ImportModule("tarnwick")));
    OwnedRef module = OwnedRef::steal(require(PyModule_Create2(&g_def, 3)));
    for (PyMethodDef* def = g_functions; def->ml_name != nullptr; ++def) add_function(module.get(), def);
    for (PyMethodDef* def = g_private; def->ml_name != nullptr; ++def) add_function(module.get(), def, false);
    if (g_module == nullptr) g_module = module.release();
  }
  Py_INCREF(g_module);
  return g_module;
}

}  // namespace
}  // namespace tarnwick

PyMODINIT_FUNC PyInit_cache(void) {
  return tarnwick::run_boundary([] { return tarnwick::init(); });
}
