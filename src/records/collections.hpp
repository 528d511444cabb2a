// A guild's three collections: roles, members and emojis, each a
// copy-on-write map of record copies with its own hash keys.  Copying a
// guild shares all three (O(1)); a later change to either copy copies only
// the shard it touches.
#pragma once

#include "core/cow_map.hpp"
#include "records/emoji.hpp"
#include "records/member.hpp"
#include "records/role.hpp"

namespace tarnwick {

class GuildCollections {
 public:
  // Shared in declaration order: roles, members, emojis.  Sharing cannot
  // fail, so a copy never leaves one of them half made.
  GuildCollections() = default;
  GuildCollections(const GuildCollections&) = default;
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

  CowMap<RoleRecord> roles;
  CowMap<MemberRecord> members;
  CowMap<EmojiRecord> emojis;
};

}  // namespace tarnwick
