// Reading back what the cache holds.  Each function converts its arguments
// first, then works on native data alone (registry/reads.hpp: a share of a
// guild's collection taken in O(1) under its shard's read lock, walked after
// the lock is gone), and only then builds its result; no Python object is
// touched in between; the walks over a whole map or a whole guild let go
// of the interpreter lock meanwhile (module/released.hpp).

#include "extras/reads.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

#include "extras/member_view.hpp"
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
#include "records/member.hpp"
#include "records/role.hpp"
#include "registry/reads.hpp"

namespace tarnwick {
namespace {

// A new list of new objects, one per record (records nobody writes).
template <class Desc>
PyObject* record_list(const CheckedVector<const Record<Desc>*>& records) {
  OwnedRef list = OwnedRef::steal(checked_result(PyList_New(static_cast<Py_ssize_t>(records.size()))));
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), RecordClass<Desc>::wrap_copy(*records[i]));
  }
  return list.release();
}

PyObject* id_list(const CheckedVector<std::uint64_t>& ids) {
  return id_list_of([&](auto add) {
    for (const std::uint64_t id : ids) add(id);
  });
}

// get_role(guild_id, role_id), get_emoji(guild_id, emoji_id): copied under
// the guild's shard read lock, made into an object after.
template <class Desc>
PyObject* get_one(const Bound<2>& args) {
  const std::uint64_t guild_id = take_u64(args, 0);
  const std::uint64_t id = take_u64(args, 1);
  typename RecordClass<Desc>::Staged copy;
  {
    const auto guild = guild_map().get(guild_id);
    if (!guild) return none_result();
    const Record<Desc>* rec = guild.value().extra().template of<Record<Desc>>().find(id, WritersExcluded{});
    if (rec == nullptr) return none_result();
    copy.take(*rec);
  }
  return RecordClass<Desc>::wrap(copy);
}

PyObject* roles(const Bound<1>& args) {
  const auto share = share_collection<RoleRecord>(take_u64(args, 0));
  return share ? record_list<RoleDesc>(sorted_roles(*share)) : none_result();
}

PyObject* emojis(const Bound<1>& args) {
  const auto share = share_collection<EmojiRecord>(take_u64(args, 0));
  if (!share) return none_result();
  CheckedVector<const EmojiRecord*> all = entries(*share);
  std::sort(all.begin(), all.end(), [](const EmojiRecord* a, const EmojiRecord* b) { return a->key() < b->key(); });
  return record_list<EmojiDesc>(all);
}

PyObject* members(const Bound<1>& args) {
  auto share = share_collection<MemberRecord>(take_u64(args, 0));
  return share ? new_member_view(std::move(*share)) : none_result();
}

// guild_ids(), user_ids(), message_ids(): the walk lets go of the
// interpreter lock.
template <auto& (*map)()>
PyObject* ids(const Bound<0>&) {
  return id_list(without_interpreter([] { return filed_ids(map()); }));
}

PyObject* permissions(const Bound<2>& args) {
  const std::uint64_t guild_id = take_u64(args, 0);
  const std::uint64_t user_id = take_u64(args, 1);
  const std::optional<std::uint64_t> held = member_permissions(guild_id, user_id);
  return held ? u64_result(*held) : none_result();
}

constexpr std::uint64_t kDefaultLimit = 25;

PyObject* search_members(const Bound<3>& args) {
  const std::uint64_t guild_id = take_u64(args, 0);
  BlobBuilder query;  // the text rule's UTF-8, kept on the stack when short
  if (!append_text(args[1], query)) raise_labelled(args.name(1));
  const std::uint64_t limit = args[2] == nullptr ? kDefaultLimit : take_u64(args, 2);
  if (limit == 0) raise(PyExc_ValueError, "limit must be at least 1");
  const auto share = share_collection<MemberRecord>(guild_id);
  if (!share) return none_result();
  // The walk over the share and the users lets go of the interpreter lock.
  const auto found = without_interpreter([&] { return find_members(*share, query.payloads(), limit); });
  return record_list<MemberDesc>(found);
}

PyMethodDef g_functions[] = {
    function<"get_role(guild_id, role_id)", get_one<RoleDesc>,
             "The filed guild's role under role_id as a new full_role; None if the guild\n"
             "or the role is not filed.">(),
    function<"get_emoji(guild_id, emoji_id)", get_one<EmojiDesc>,
             "The filed guild's emoji under emoji_id as a new full_emoji; None if the\n"
             "guild or the emoji is not filed.">(),
    function<"roles(guild_id)", roles,
             "A new list of the filed guild's roles (new full_role objects) sorted by\n"
             "(position, id); None if no guild is filed under guild_id.">(),
    function<"emojis(guild_id)", emojis,
             "A new list of the filed guild's emojis (new full_emoji objects) sorted by\n"
             "id; None if no guild is filed under guild_id.">(),
    function<"members(guild_id)", members,
             "A MemberView of the filed guild's members, or None if no guild is filed\n"
             "under guild_id.  Taking it costs the same at any guild size: it shares\n"
             "the filed members copy-on-write.  It holds no lock and never changes\n"
             "afterwards, whatever happens to the guild; while it lives it keeps only\n"
             "the tables changed since.">(),
    function<"guild_ids()", ids<guild_map>,
             "A new list of the ids of every filed guild, in no particular order: one\n"
             "pass over each shard of the map under its read lock.">(),
    function<"user_ids()", ids<user_map>,
             "A new list of the ids of every filed user, in no particular order: one\n"
             "pass over each shard of the map under its read lock.">(),
    function<"message_ids()", ids<message_map>,
             "A new list of the ids of every filed message, in no particular order:\n"
             "one pass over each shard of the map under its read lock.">(),
    function<"permissions(guild_id, user_id)", permissions,
             "The member's guild-level permissions as an int; None if the guild or the\n"
             "member is not filed.  The guild's owner (a filed member too) holds\n"
             "ALL_PERMISSIONS.  Anyone else holds those of the everyone role (the role\n"
             "whose id is the guild's id) and of each filed role among the member's\n"
             "roles (unknown role ids are ignored; the member's own permissions field\n"
             "plays no part), and ALL_PERMISSIONS if that includes administrator\n"
             "(1 << 3).  Channel overwrites and time-outs are not modelled: the cache\n"
             "keeps no channels.">(),
    function<"find_members(guild_id, query, limit=25)", search_members,
             "A new list of at most limit members of the filed guild (new full_member\n"
             "objects) whose nick, or whose filed user's global_name or username,\n"
             "starts with query, compared as str.casefold() makes them.  Members with a\n"
             "name equal to query come first, by user id; then the rest by their first\n"
             "matching name (nick, global name, username), casefolded, then by user id.\n"
             "None if no guild is filed under guild_id; limit 0 raises ValueError.">(),
    kEndOfTable,
};

}  // namespace

void add_reads(PyObject* module) {
  add_functions(module, g_functions);
  OwnedRef view_name = OwnedRef::steal(require(PyUnicode_FromString("MemberView")));
  add(module, view_name.get(), reinterpret_cast<PyObject*>(make_member_view_type()));
  OwnedRef all_name = OwnedRef::steal(require(PyUnicode_FromString("ALL_PERMISSIONS")));
  OwnedRef all = OwnedRef::steal(u64_result(kAllPermissions));
  add(module, all_name.get(), all.get());
}

}  // namespace tarnwick
