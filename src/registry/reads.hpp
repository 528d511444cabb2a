// Reading back what the registry holds, beyond one record by id: a filed
// guild's collections, shared copy-on-write and walked without its lock;
// every id a map files; a member's guild-level permissions; a search of a
// guild's members by name.  Nothing here knows Python, so a caller may run
// any of it with the interpreter's lock released.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/cow_map.hpp"
#include "core/fault.hpp"
#include "records/guild.hpp"
#include "registry/registry.hpp"

namespace tarnwick {

template <class T>
using CheckedVector = std::vector<T, CheckedAllocator<T>>;

// Every bit set: what the guild's owner, or an administrator, holds.
inline constexpr std::uint64_t kAllPermissions = ~std::uint64_t{0};
inline constexpr std::uint64_t kAdministrator = std::uint64_t{1} << 3;

// A share of the filed guild's collection of records like Rec, O(1) at any
// size, taken under the guild's shard read lock (which excludes its
// writers); nothing if no guild is filed under that id.  The share never
// changes afterwards, so it is walked without any lock.
template <class Rec>
std::optional<CowMap<Rec>> share_collection(std::uint64_t guild_id) {
  const auto guild = guild_map().get(guild_id);
  if (!guild) return std::nullopt;
  return CowMap<Rec>(guild.value().extra().template of<Rec>(), WritersExcluded{});
}

// The entries of a private share, in no particular order.
template <class Rec>
CheckedVector<const Rec*> entries(const CowMap<Rec>& share) {
  CheckedVector<const Rec*> out;
  typename CowMap<Rec>::Cursor at;
  while (const Rec* r = share.next(at, WritersExcluded{})) out.push_back(r);
  return out;
}

// The ids of every record filed in `map`: one pass over each shard under
// its read lock, so each shard is seen in one state.
template <class V>
CheckedVector<std::uint64_t> filed_ids(const ShardedMap<V>& map) {
  CheckedVector<std::uint64_t> out;
  out.reserve(map.size() + 64);  // a hint: others may file meanwhile
  map.for_each([&](std::uint64_t key, const V&) { out.push_back(key); });
  return out;
}

// The roles of a share sorted by (position, id), as the client lists them.
CheckedVector<const RoleRecord*> sorted_roles(const CowMap<RoleRecord>& roles);

// The member's guild-level permissions, or nothing when the guild or the
// member is not filed.  The owner (a filed member) holds every bit; anyone
// else the everyone role's (the role whose id is the guild's) and those of
// each filed role among the member's, and every bit with the
// administrator one.  Channel overwrites and time-outs are not modelled.
std::optional<std::uint64_t> member_permissions(std::uint64_t guild_id, std::uint64_t user_id);

// The members of a share whose nick, or whose filed user's global name or
// username, starts with `query` caselessly (casefold.hpp), at most `limit`
// of them: first those with a name equal to the query, by user id; then
// the others by their first matching name, folded, then by user id.  The
// users are read one shard read lock at a time, and the pointers point
// into `members`.
CheckedVector<const MemberRecord*> find_members(const CowMap<MemberRecord>& members, std::string_view query,
                                                std::size_t limit);

}  // namespace tarnwick
