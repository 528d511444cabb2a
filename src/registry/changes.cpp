#include "registry/changes.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace tarnwick {

std::optional<UserRecord> filed_user(std::uint64_t id) {
  const auto guard = user_map().get(id);
  if (!guard) return std::nullopt;
  return guard.value();
}

std::optional<MessageRecord> filed_message(std::uint64_t id) {
  const auto guard = message_map().get(id);
  if (!guard) return std::nullopt;
  return guard.value();
}

std::optional<GuildRecord> filed_guild_fields(std::uint64_t id) {
  const auto guard = guild_map().get(id);
  if (!guard) return std::nullopt;
  return guard.value().fields_copy();
}

std::optional<MemberRecord> filed_member(std::uint64_t guild_id, std::uint64_t user_id) {
  const auto guild = guild_map().get(guild_id);
  if (!guild) return std::nullopt;
  const MemberRecord* m = guild.value().extra().filed_member(user_id);
  if (m == nullptr) return std::nullopt;
  return *m;
}

bool guild_is_filed(std::uint64_t id) { return static_cast<bool>(guild_map().get(id)); }

std::optional<CowMap<MemberRecord>> filed_members(std::uint64_t guild_id) {
  const auto guild = guild_map().get(guild_id);
  if (!guild) return std::nullopt;
  // The shard's read lock excludes every writer of a filed guild's members.
  return CowMap<MemberRecord>(guild.value().extra().members, WritersExcluded{});
}

namespace {

constexpr std::size_t kRoles = field_index<MemberDesc>("roles");

// A member's or an emoji's roles.
template <class Rec>
bool has_role(const Rec& m, std::uint64_t role_id) {
  const VarView roles = m.var(field_index<typename Rec::Description>("roles"));
  for (std::size_t i = 0; i < roles.u64_count(); ++i) {
    if (roles.u64_at(i) == role_id) return true;
  }
  return false;
}

template <class Rec>
Rec without_role(const Rec& m, std::uint64_t role_id) {
  return m.with_var(field_index<typename Rec::Description>("roles"), [&](BlobBuilder& b, VarView roles) {
    for (std::size_t k = 0; k < roles.u64_count(); ++k) {
      if (roles.u64_at(k) != role_id) b.append_u64(roles.u64_at(k));
    }
  });
}

MemberRecord with_changes(const MemberRecord& m, const MemberChanges& c) {
  constexpr std::size_t kNick = field_index<MemberDesc>("nick"), kDeaf = field_index<MemberDesc>("deaf"),
                        kMute = field_index<MemberDesc>("mute"),
                        kTimeout = field_index<MemberDesc>("communication_disabled_until");
  Scalars<MemberDesc> sc = m.scalars();
  if (c.deaf) sc.store(kDeaf, static_cast<std::uint8_t>(*c.deaf));
  if (c.mute) sc.store(kMute, static_cast<std::uint8_t>(*c.mute));
  // Field k's change, if it is one the changes name (none: kept).
  const auto change = [&](std::size_t k) {
    return k == kNick ? &c.nick : k == kTimeout ? &c.communication_disabled_until : nullptr;
  };
  for (const std::size_t k : {kNick, kTimeout}) {
    if (const auto& text = *change(k)) sc.set_present(k, text->has_value());
  }
  return m.rebuilt(sc, [&](std::size_t k, BlobBuilder& b, VarView) {
    const auto* text = change(k);
    if (text == nullptr || !*text) return false;
    if (**text) b.append((**text)->data(), (**text)->size());
    return true;
  });
}

// The member filed in guild_id for user_id replaced by change(member),
// unless that gives none (nothing to change); false when none is filed.
template <class Change>
bool change_filed_member(std::uint64_t guild_id, std::uint64_t user_id, Change&& change) {
  bool found = false;
  std::optional<MemberRecord> displaced;  // destroyed after the lock
  with_filed_guild(guild_id, [&](GuildCollections& c) {
    const MemberRecord* m = c.filed_member(user_id);
    if (m == nullptr) return;
    found = true;
    if (std::optional<MemberRecord> changed = change(*m)) displaced = c.put(std::move(*changed));
  });
  return found;
}

}  // namespace

bool change_member(std::uint64_t guild_id, std::uint64_t user_id, const MemberChanges& changes) {
  return change_filed_member(guild_id, user_id,
                             [&](const MemberRecord& m) { return std::optional(with_changes(m, changes)); });
}

std::size_t strip_role(std::uint64_t guild_id, CowMap<MemberRecord>& share, std::uint64_t role_id) {
  std::vector<std::uint64_t> holders;
  CowMap<MemberRecord>::Cursor at;
  std::uint64_t user_id;
  while (const MemberRecord* m = share.next(at, WritersExcluded{}, &user_id)) {
    if (has_role(*m, role_id)) holders.push_back(user_id);
  }
  share.reset();
  std::size_t stripped = 0;
  for (std::size_t from = 0; from < holders.size(); from += kMemberBatch) {
    const std::size_t to = std::min(from + kMemberBatch, holders.size());
    std::array<std::optional<MemberRecord>, kMemberBatch> displaced;  // destroyed after the lock
    const bool filed = with_filed_guild(guild_id, [&](GuildCollections& c) {
      for (std::size_t i = from; i < to; ++i) {
        const MemberRecord* m = c.filed_member(holders[i]);
        if (m == nullptr || !has_role(*m, role_id)) continue;  // changed meanwhile
        displaced[i - from] = c.put(without_role(*m, role_id));
        ++stripped;
      }
    });
    if (!filed) break;
  }
  return stripped;
}

std::size_t strip_emoji_role(std::uint64_t guild_id, std::uint64_t role_id) {
  std::vector<std::optional<EmojiRecord>> displaced;  // destroyed after the lock
  with_filed_guild(guild_id, [&](GuildCollections& c) {
    std::vector<EmojiRecord> stripped;
    CowMap<EmojiRecord>::Cursor at;
    while (const EmojiRecord* e = c.emojis.next(at, WritersExcluded{})) {
      if (has_role(*e, role_id)) stripped.push_back(without_role(*e, role_id));
    }
    displaced.reserve(stripped.size());  // nothing destroyed here if that fails
    for (EmojiRecord& e : stripped) displaced.push_back(c.put(std::move(e)));
  });
  return displaced.size();
}

bool change_roles(std::uint64_t guild_id, std::uint64_t user_id, std::span<const std::uint64_t> added,
                  std::span<const std::uint64_t> removed) {
  const auto in = [](std::span<const std::uint64_t> ids, std::uint64_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  };
  return change_filed_member(guild_id, user_id, [&](const MemberRecord& m) -> std::optional<MemberRecord> {
    bool changes = false;
    for (const std::uint64_t r : added) changes |= !has_role(m, r);
    for (const std::uint64_t r : removed) changes |= has_role(m, r);
    if (!changes) return std::nullopt;
    return m.with_var(kRoles, [&](BlobBuilder& b, VarView roles) {
      std::vector<std::uint64_t> kept;
      for (std::size_t k = 0; k < roles.u64_count(); ++k) {
        if (!in(removed, roles.u64_at(k))) kept.push_back(roles.u64_at(k));
      }
      for (const std::uint64_t r : added) {
        if (!in(removed, r) && !in(kept, r)) kept.push_back(r);
      }
      for (const std::uint64_t r : kept) b.append_u64(r);
    });
  });
}

}  // namespace tarnwick
