// The process-wide registry: three lazily created maps of record copies,
// and what the companion package adds on top of them (removal, a bound on
// the messages kept, counts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/lazy.hpp"
#include "core/sharded_map.hpp"
#include "records/guild.hpp"
#include "records/message.hpp"
#include "records/user.hpp"

namespace tarnwick {

using UserMap = ShardedMap<UserRecord>;
using GuildMap = ShardedMap<GuildRecord>;
using MessageMap = ShardedMap<MessageRecord>;

// Each map is created on first use, exactly once; a creation that failed
// poisons that map alone.  After the first use, reaching one is one load.
// The maps live until the process ends: never destroyed, so no exit-time
// teardown races a thread that is still using them.
namespace detail {
template <class Map>
Map make_map();  // registry.cpp: for the three maps below
template <class Map>
inline Lazy<Map>& g_map = *new Lazy<Map>();
}  // namespace detail

inline UserMap& user_map() { return detail::g_map<UserMap>.get(detail::make_map<UserMap>); }
inline GuildMap& guild_map() { return detail::g_map<GuildMap>.get(detail::make_map<GuildMap>); }
inline MessageMap& message_map() { return detail::g_map<MessageMap>.get(detail::make_map<MessageMap>); }

// Work on the maps over at least this many entries (a walk, a big guild let
// go of) is long: the Python entry points do it without the interpreter
// lock, so that other threads run meanwhile.
inline constexpr std::size_t kLongWork = 10'000;
inline constexpr bool is_long_work(std::size_t entries) noexcept { return entries >= kLongWork; }

// File a record under its id, replacing any earlier one; the displaced
// record is destroyed after the shard lock is released.
void file_user(UserRecord&& user);
// Says that a change about to name (or having named) the user `user_id`, as
// a member put into a filed guild does, runs: a prune running meanwhile
// keeps that user.  Call it before the change and again after.
void note_user_named(std::uint64_t user_id);
// The members of a guild still being built, whose users are filed as they
// come and the guild last (a GUILD_CREATE's): while one lives, a prune keeps
// every user they name, as it would were the guild filed already.  From
// before the first user is filed until after the guild is; `members` must
// outlive it (and is not to be moved meanwhile).
class MembersInFlight {
 public:
  explicit MembersInFlight(const CowMap<MemberRecord>& members);
  ~MembersInFlight();
  MembersInFlight(const MembersInFlight&) = delete;
  MembersInFlight& operator=(const MembersInFlight&) = delete;

 private:
  const CowMap<MemberRecord>* members_;
};
namespace detail {
class NamedList;
}  // namespace detail
// The users an event names, from before it reads each of them until the
// event is over: an event files (or finds unchanged) its users first and
// the records naming them after, so a prune may sweep in between, and one
// that does keeps them.  One per event, on the stack of the thread applying
// it.
class NamedInFlight {
 public:
  NamedInFlight();
  ~NamedInFlight();  // forgets them
  NamedInFlight(const NamedInFlight&) = delete;
  NamedInFlight& operator=(const NamedInFlight&) = delete;
  // Before the user is read.
  void add(std::uint64_t user_id);
  // How many are held, and forgetting those added since there were `n`
  // (a user that a collection in flight names from now on).
  std::size_t size() const noexcept;
  void forget_since(std::size_t n) noexcept;

 private:
  detail::NamedList* list_;
};
// Whether the user filed under `user`'s id holds exactly its fields, so that
// filing it again would change nothing (a bot re-files the same users all
// the time); only a read lock is taken.
bool user_filed_as(const UserRecord& user);
// Files a guild; the one it displaced, for the caller to let go of.
std::optional<GuildRecord> file_guild(GuildRecord&& guild);

// Files a message.  While a message limit is set, the message becomes the
// newest and the oldest ones beyond the limit are dropped.
void file_message(MessageRecord&& message);

// Removes a filed message; true if there was one.
bool remove_message(std::uint64_t id);
// The same, giving the message removed (for the caller to destroy).
std::optional<MessageRecord> take_message(std::uint64_t id);

// Remove every filed message of a channel, or of a guild; how many.  They
// walk every message kept.
std::size_t remove_channel_messages(std::uint64_t channel_id);
std::size_t remove_guild_messages(std::uint64_t guild_id);
// The same for every guild of `guild_ids` (sorted), in one walk.  With
// `removed` (empty), the messages go there for the caller to destroy (the
// longer part of the work, which then needs no map lock).
std::size_t remove_guilds_messages(std::span<const std::uint64_t> guild_ids,
                                   MessageMap::Removed* removed = nullptr);

// Keep at most `limit` messages (nothing: no bound, the default).  Lowering
// the limit drops the oldest at once.  Messages filed while no limit was set
// have no known order; they count as older than every later one.
void set_message_limit(std::optional<std::uint64_t> limit);
std::optional<std::uint64_t> message_limit();

// Runs f(collections) on the filed guild `guild_id` with its shard
// write-locked, so that it cannot be replaced or removed meanwhile, and so
// that a reader holding the shard's read lock (a fetch sharing the
// collections) sees them unchanging; the collections lock themselves too.
// False if no guild is filed under that id.  f must not touch the registry.
template <class F>
bool with_filed_guild(std::uint64_t guild_id, F&& f) {
  return guild_map().update(guild_id, [&](GuildRecord& guild) { f(guild.extra()); });
}

// Files `guild`'s fields in place of those of the guild filed under its id,
// which keeps its roles, members and emojis; false (nothing filed) if there
// is none.  The replaced fields are destroyed after the shard lock is gone.
bool refile_guild_fields(GuildRecord&& guild);

// Removes every filed user that no filed guild holds as a member, no filed
// message names as its author (a webhook's message names a webhook, not a
// user) and `keep` does not name; returns how many.
// Users are filed from members and messages and outlive them (a user may
// be in many guilds), so a long-running cache calls this now and then to
// let go of those it no longer sees anywhere.
std::size_t prune_users(std::span<const std::uint64_t> keep);

struct RegistryStats {
  std::size_t users = 0, guilds = 0, members = 0, roles = 0, emojis = 0, messages = 0;
  std::size_t user_bytes = 0, guild_bytes = 0, message_bytes = 0;
  bool operator==(const RegistryStats&) const = default;
};
// From the counts the maps keep as they change: the same cost at any size.
RegistryStats registry_stats();
// The same by walking every record, for tests that the counts are right.
RegistryStats walked_registry_stats();

// Forgets every filed record (the message limit stays as it is).
void clear_registry();
// The messages' part of it (message_order.cpp).
void clear_messages();

#ifdef TARNWICK_TEST_HOOKS
// Makes the next map creation fail, to exercise poisoning.
void fail_next_map_creation();
#endif

}  // namespace tarnwick
