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
    build([this](auto map) { new (&(this->*map)) MapAt<decltype(map)>(); });
  }
  GuildCollections(const GuildCollections& o) {
    build([this, &o](auto map) { new (&(this->*map)) MapAt<decltype(map)>((o.*map).copy()); });
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

 private:
  template <class Pointer>
  struct Pointee;
  template <class Map>
  struct Pointee<Map GuildCollections::*> {
    using type = Map;
  };
  template <class Pointer>
  using MapAt = typename Pointee<Pointer>::type;

  // Makes the maps in order with make(&GuildCollections::roles) and so on;
  // if one fails, those already made are released before the failure goes on.
  template <class Make>
  void build(Make make) {
    make(&GuildCollections::roles);
    try {
      make(&GuildCollections::members);
      try {
        make(&GuildCollections::emojis);
      } catch (...) {
        std::destroy_at(&members);
        throw;
      }
    } catch (...) {
      std::destroy_at(&roles);
      throw;
    }
  }
};

}  // namespace tarnwick
