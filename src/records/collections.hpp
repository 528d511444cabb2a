// A guild's three collections: roles, members and emojis, each a
// copy-on-write map of record copies with its own hash keys.  Copying a
// guild shares all three (O(1)); a later change to either copy copies only
// the one table it touches.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

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

  // A share of a filed guild's collections for a reader holding the guild's
  // registry shard read-locked.  Whoever changes a filed guild's
  // collections holds that shard's write lock, so none of them is at work
  // and the three maps' own locks are not needed: 6 atomic operations
  // fewer per get_guild.
  static GuildCollections share_filed(const GuildCollections& o) noexcept {
    return GuildCollections(o, WritersExcluded{});
  }

  // A filed guild's member, for a reader holding its shard as above.
  const MemberRecord* filed_member(std::uint64_t user_id) const noexcept {
    return members.find(user_id, WritersExcluded{});
  }
  GuildCollections& operator=(GuildCollections&&) noexcept = default;

  // Released in the same order, roles first; members are otherwise
  // destroyed in reverse declaration order.
  ~GuildCollections() {
    roles.reset();
    members.reset();
    emojis.reset();
  }

  // The collection of records like `Rec`.
  template <class Rec>
  CowMap<Rec>& of() noexcept {
    if constexpr (std::is_same_v<Rec, RoleRecord>) return roles;
    if constexpr (std::is_same_v<Rec, MemberRecord>) return members;
    if constexpr (std::is_same_v<Rec, EmojiRecord>) return emojis;
  }

  template <class Rec>
  const CowMap<Rec>& of() const noexcept {
    return const_cast<GuildCollections*>(this)->of<Rec>();
  }

  // Puts `rec` into its collection under its key; returns the record it
  // displaced, for the caller to destroy after the collection's lock is gone.
  template <class Rec>
  std::optional<Rec> put(Rec&& rec) {
    const std::uint64_t key = rec.key();
    return of<Rec>().insert(key, std::move(rec));
  }

  // The three collections' weight: O(1), from the counts each keeps.
  Weight weight() const {
    const auto r = roles.counts();
    const auto m = members.counts();
    const auto e = emojis.counts();
    Weight w;
    w.roles = r.size;
    w.members = m.size;
    w.emojis = e.size;
    w.bytes = r.storage + r.weight.bytes + m.storage + m.weight.bytes + e.storage + e.weight.bytes;
    return w;
  }

  // What letting go of these collections would free (CowMap::sole_entries).
  std::size_t sole_entries() const noexcept {
    return roles.sole_entries() + members.sole_entries() + emojis.sole_entries();
  }

  CowMap<RoleRecord> roles;
  CowMap<MemberRecord> members;
  CowMap<EmojiRecord> emojis;

 private:
  GuildCollections(const GuildCollections& o, WritersExcluded w) noexcept
      : roles(o.roles, w), members(o.members, w), emojis(o.emojis, w) {}
};

}  // namespace tarnwick
