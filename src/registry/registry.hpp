// The process-wide registry: three lazily created maps of record copies.
#pragma once

#include "records/guild.hpp"
#include "records/message.hpp"
#include "records/user.hpp"
#include "core/lazy.hpp"
#include "core/sharded_map.hpp"

namespace tarnwick {

using UserMap = ShardedMap<UserRecord>;
using GuildMap = ShardedMap<GuildRecord>;
using MessageMap = ShardedMap<MessageRecord>;

// Each map is created on first use, exactly once; a creation that failed
// poisons that map alone.
UserMap& user_map();
GuildMap& guild_map();
MessageMap& message_map();

#ifdef TARNWICK_TEST_HOOKS
// Makes the next map creation fail, to exercise poisoning.
void fail_next_map_creation();
#endif

}  // namespace tarnwick
