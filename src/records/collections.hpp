// A guild's three collections: roles, members and emojis, each a sharded
// map of record copies with its own hash keys.
#pragma once

#include "core/sharded_map.hpp"
#include "records/emoji.hpp"
#include "records/member.hpp"
#include "records/role.hpp"

namespace tarnwick {

class GuildCollections {
 public:
  // Made and copied in declaration order: roles, members, emojis.  If one
  // fails, the language destroys those already made before the failure
  // goes on, so nothing leaks and the source is untouched.
  GuildCollections() = default;
  GuildCollections(const GuildCollections& o)
      : roles(o.roles.copy()), members(o.members.copy()), emojis(o.emojis.copy()) {}
  GuildCollections(GuildCollections&&) noexcept = default;
  GuildCollections& operator=(const GuildCollections&) = delete;
  GuildCollections& operator=(GuildCollections&&) noexcept = default;

  // Released in the same order, roles first; members are otherwise
  // destroyed in reverse declaration order.
  ~GuildCollections() {
    roles.reset();
    members.reset();
    emojis.reset();
  }

  ShardedMap<RoleRecord> roles;
  ShardedMap<MemberRecord> members;
  ShardedMap<EmojiRecord> emojis;
};

}  // namespace tarnwick
