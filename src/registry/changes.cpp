#include "registry/changes.hpp"

#include <utility>

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

void refile_user(UserRecord&& user) {
  if (!user_filed_as(user)) file_user(std::move(user));
}

bool put_member(std::uint64_t guild_id, MemberRecord&& member) {
  const std::uint64_t user_id = member.key();
  note_user_named(user_id);
  std::optional<MemberRecord> displaced;
  const bool filed = with_filed_guild(guild_id, [&](GuildCollections& c) { displaced = c.put(std::move(member)); });
  note_user_named(user_id);
  return filed;
}

bool put_role(std::uint64_t guild_id, RoleRecord&& role) {
  std::optional<RoleRecord> displaced;
  return with_filed_guild(guild_id, [&](GuildCollections& c) { displaced = c.put(std::move(role)); });
}

bool remove_member(std::uint64_t guild_id, std::uint64_t user_id) {
  std::optional<MemberRecord> removed;
  with_filed_guild(guild_id, [&](GuildCollections& c) { removed = c.members.erase(user_id); });
  return removed.has_value();
}

bool remove_role(std::uint64_t guild_id, std::uint64_t role_id) {
  std::optional<RoleRecord> removed;
  with_filed_guild(guild_id, [&](GuildCollections& c) { removed = c.roles.erase(role_id); });
  return removed.has_value();
}

bool swap_roles(std::uint64_t guild_id, CowMap<RoleRecord>& fresh) {
  return with_filed_guild(guild_id, [&](GuildCollections& c) { c.roles.swap_contents(fresh); });
}

bool swap_emojis(std::uint64_t guild_id, CowMap<EmojiRecord>& fresh) {
  return with_filed_guild(guild_id, [&](GuildCollections& c) { c.emojis.swap_contents(fresh); });
}

}  // namespace tarnwick
