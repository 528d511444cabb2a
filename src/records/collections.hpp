// A guild's three collections: roles, members and emojis, each a sharded
// map of record copies with its own hash keys.
//
// They are created, copied and released in the order roles, members,
// emojis; the union members let us spell that order out, since C++ would
// otherwise destroy members in reverse declaration order.
#pragma once

#include <memory>
#include <utility>

#include "records/emoji.hpp"
#include "records/member.hpp"
#include "records/role.hpp"
#include "registry/sharded_map.hpp"

namespace tarnwick {

class GuildCollections {
 public:
  GuildCollections() {
    new (&roles) ShardedMap<RoleRecord>();
    new (&members) ShardedMap<MemberRecord>();
    new (&emojis) ShardedMap<EmojiRecord>();
  }
  GuildCollections(const GuildCollections& o) {
    new (&roles) ShardedMap<RoleRecord>(o.roles.copy());
    new (&members) ShardedMap<MemberRecord>(o.members.copy());
    new (&emojis) ShardedMap<EmojiRecord>(o.emojis.copy());
  }
  GuildCollections(GuildCollections&& o) noexcept {
    new (&roles) ShardedMap<RoleRecord>(std::move(o.roles));
    new (&members) ShardedMap<MemberRecord>(std::move(o.members));
    new (&emojis) ShardedMap<EmojiRecord>(std::move(o.emojis));
  }
  GuildCollections& operator=(const GuildCollections&) = delete;
  GuildCollections& operator=(GuildCollections&& o) noexcept {
    roles = std::move(o.roles);
    members = std::move(o.members);
    emojis = std::move(o.emojis);
    return *this;
  }
  ~GuildCollections() {
    std::destroy_at(&roles);
    std::destroy_at(&members);
    std::destroy_at(&emojis);
  }

  union {
    ShardedMap<RoleRecord> roles;
  };
  union {
    ShardedMap<MemberRecord> members;
  };
  union {
    ShardedMap<EmojiRecord> emojis;
  };
};

}  // namespace tarnwick
