// The changes and reads the gateway's events make, on the process-wide
// maps, each under the locks it needs and none held on return (so a caller
// may run other code between them).  Records displaced or removed are
// destroyed after the locks are gone.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>

#include "records/emoji.hpp"
#include "records/guild.hpp"
#include "records/member.hpp"
#include "records/message.hpp"
#include "records/role.hpp"
#include "records/user.hpp"
#include "registry/registry.hpp"

namespace tarnwick {

// Copies of what is filed (a guild: its fields, without its collections).
std::optional<UserRecord> filed_user(std::uint64_t id);
std::optional<MessageRecord> filed_message(std::uint64_t id);
std::optional<GuildRecord> filed_guild_fields(std::uint64_t id);
std::optional<MemberRecord> filed_member(std::uint64_t guild_id, std::uint64_t user_id);
bool guild_is_filed(std::uint64_t id);

// The filed guild's members as they are now (shared copy-on-write), or none.
std::optional<CowMap<MemberRecord>> filed_members(std::uint64_t guild_id);

// Takes role_id off the roles of each member of `share` (the guild's
// members, taken earlier, and let go of once read, so that changing the
// filed ones copies nothing) that has it, as the member is filed now, a
// batch under each write lock; how many had it.  The platform sends no
// member update when a role is deleted.
std::size_t strip_role(std::uint64_t guild_id, CowMap<MemberRecord>& share, std::uint64_t role_id);
// The same for the emojis of the filed guild that a role may use (a guild
// has a few hundred at most: one write lock).
std::size_t strip_emoji_role(std::uint64_t guild_id, std::uint64_t role_id);

// Adds the roles `added` (in order, each once) to the roles of the member
// filed in guild_id for user_id and takes `removed` off them; false when no
// such member is filed.
bool change_roles(std::uint64_t guild_id, std::uint64_t user_id, std::span<const std::uint64_t> added,
                  std::span<const std::uint64_t> removed);

// What an audit log entry says of a member: each field it names (a text
// left none is cleared).
struct MemberChanges {
  std::optional<std::optional<std::string>> nick, communication_disabled_until;
  std::optional<bool> deaf, mute;
  bool empty() const noexcept { return !nick && !communication_disabled_until && !deaf && !mute; }
};
// Those changes made to the member filed in guild_id for user_id; false
// when no such member is filed.
bool change_member(std::uint64_t guild_id, std::uint64_t user_id, const MemberChanges& changes);

// Members put into the filed guild `guild_id`, a batch of them under each
// write lock (a chunk's thousand take it neither a thousand times nor for
// long), each user noted for a prune running meanwhile.  What a member
// displaces takes its place, for the caller to destroy after the lock is
// gone.  False when no guild is filed under guild_id (then the rest are not
// put).
inline constexpr std::size_t kMemberBatch = 64;
inline bool put_members_in_guild(std::uint64_t guild_id, std::span<MemberRecord* const> members) {
  for (std::size_t at = 0; at < members.size(); at += kMemberBatch) {
    const std::span<MemberRecord* const> batch = members.subspan(at, std::min(kMemberBatch, members.size() - at));
    std::array<std::uint64_t, kMemberBatch> keys;
    for (std::size_t i = 0; i < batch.size(); ++i) note_user_named(keys[i] = batch[i]->key());
    const bool filed = with_filed_guild(guild_id, [&](GuildCollections& c) {
      for (MemberRecord* m : batch) {
        if (std::optional<MemberRecord> old = c.put(std::move(*m))) *m = std::move(*old);
      }
    });
    for (std::size_t i = 0; i < batch.size(); ++i) note_user_named(keys[i]);
    if (!filed) return false;
  }
  return true;
}

// One collection of a filed guild changed in place; false (nothing filed)
// when no guild is filed under guild_id.  Earlier fetches share the
// collection copy-on-write, so they keep what they saw; what is displaced
// or removed is destroyed after every lock is gone (a role or emoji
// displaced goes to `displaced` when given, for the caller to destroy).
template <class Rec>
bool put_in_guild(std::uint64_t guild_id, Rec&& rec, std::optional<Rec>* displaced = nullptr) {
  if constexpr (std::is_same_v<Rec, MemberRecord>) {
    MemberRecord* const one = &rec;  // keeps what it displaced
    return put_members_in_guild(guild_id, {&one, 1});
  } else {
    std::optional<Rec> dropped;
    std::optional<Rec>& out = displaced != nullptr ? *displaced : dropped;
    return with_filed_guild(guild_id, [&](GuildCollections& c) { out = c.put(std::move(rec)); });
  }
}

// What it removed, for the caller to destroy.
template <class Rec>
std::optional<Rec> take_from_guild(std::uint64_t guild_id, std::uint64_t id) {
  std::optional<Rec> removed;
  with_filed_guild(guild_id, [&](GuildCollections& c) { removed = c.of<Rec>().erase(id); });
  return removed;
}
template <class Rec>
bool remove_from_guild(std::uint64_t guild_id, std::uint64_t id) {
  return take_from_guild<Rec>(guild_id, id).has_value();
}
// As remove_from_guild, when `goes(filed)` holds of the one filed (asked
// under the guild's write lock).
template <class Rec, class Goes>
bool remove_from_guild_if(std::uint64_t guild_id, std::uint64_t id, Goes&& goes) {
  std::optional<Rec> removed;
  with_filed_guild(guild_id, [&](GuildCollections& c) {
    // The write lock excludes every other writer of the guild's collections.
    const Rec* filed = c.of<Rec>().find(id, WritersExcluded{});
    if (filed != nullptr && goes(*filed)) removed = c.of<Rec>().erase(id);
  });
  return removed.has_value();
}

// The filed guild's whole set of roles or emojis becomes `fresh`, which is
// left holding the old set, for the caller to destroy.
template <class Rec>
bool swap_in_guild(std::uint64_t guild_id, CowMap<Rec>& fresh) {
  return with_filed_guild(guild_id, [&](GuildCollections& c) { c.of<Rec>().swap_contents(fresh); });
}

}  // namespace tarnwick
