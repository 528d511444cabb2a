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

}  // namespace tarnwick
