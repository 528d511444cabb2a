// The changes and reads the gateway's events make, on the process-wide
// maps, each under the locks it needs and none held on return (so a caller
// may run other code between them).  Records displaced or removed are
// destroyed after the locks are gone.
#pragma once

#include <cstdint>
#include <optional>

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

// Files a user unless one with exactly its fields is filed already.
void refile_user(UserRecord&& user);

// One collection of a filed guild changed in place; false (nothing filed)
// when no guild is filed under guild_id.
bool put_member(std::uint64_t guild_id, MemberRecord&& member);
bool put_role(std::uint64_t guild_id, RoleRecord&& role);
bool remove_member(std::uint64_t guild_id, std::uint64_t user_id);
bool remove_role(std::uint64_t guild_id, std::uint64_t role_id);
// The filed guild's whole set of roles or emojis becomes `fresh` (its old
// set is left in `fresh`, for the caller to destroy).
bool swap_roles(std::uint64_t guild_id, CowMap<RoleRecord>& fresh);
bool swap_emojis(std::uint64_t guild_id, CowMap<EmojiRecord>& fresh);

}  // namespace tarnwick
