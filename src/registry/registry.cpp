#include "registry/registry.hpp"

#include <atomic>
#include <utility>
#include <vector>

#include "core/id_table.hpp"

namespace tarnwick {
#ifdef TARNWICK_TEST_HOOKS
namespace {
std::atomic<bool> g_fail_next{false};
}  // namespace
#endif

template <class Map>
Map detail::make_map() {
#ifdef TARNWICK_TEST_HOOKS
  if (g_fail_next.exchange(false)) fault("map creation failed (injected)");
#endif
  return Map();
}
template UserMap detail::make_map<UserMap>();
template GuildMap detail::make_map<GuildMap>();
template MessageMap detail::make_map<MessageMap>();

namespace {

template <class V>
std::size_t blob_bytes(const ShardedMap<V>& map) {
  std::size_t n = 0;
  map.for_each([&](std::uint64_t, const V& v) { n += v.blob_size(); });
  return n;
}

template <class V>
std::size_t collection_bytes(const CowMap<V>& map, std::size_t& count) {
  std::size_t n = map.storage_bytes();
  map.for_each([&](std::uint64_t, const V& v) {
    n += v.blob_size();
    ++count;
  });
  return n;
}

}  // namespace

void file_user(UserRecord&& user) {
  const std::uint64_t id = user.key();
  user_map().insert(id, std::move(user));
}

bool user_filed_as(const UserRecord& user) {
  const auto filed = user_map().get(user.key());
  return filed && filed.value().same_fields(user);
}

void file_guild(GuildRecord&& guild) {
  const std::uint64_t id = guild.key();
  guild_map().insert(id, std::move(guild));
}

bool refile_guild_fields(GuildRecord&& guild) {
  GuildRecord incoming(std::move(guild));
  return guild_map().update(incoming.key(), [&](GuildRecord& filed) {
    incoming.extra() = std::move(filed.extra());
    std::swap(filed, incoming);  // `incoming` leaves with the old fields
  });
}


std::size_t prune_users(std::span<const std::uint64_t> keep) {
  IdSet seen;
  // Mark: one shard, or one guild's members, locked at a time.  A user
  // filed meanwhile by another thread, with the member or message naming
  // it, may be swept; callers from Python hold the interpreter lock, which
  // rules that out for them.
  for (const std::uint64_t id : keep) seen.insert(id);
  guild_map().for_each([&](std::uint64_t, const GuildRecord& g) {
    g.extra().members.for_each([&](std::uint64_t user_id, const MemberRecord&) { seen.insert(user_id); });
  });
  constexpr std::size_t kAuthor = field_index<MessageDesc>("author_id");
  constexpr std::size_t kWebhook = field_index<MessageDesc>("webhook_id");
  message_map().for_each([&](std::uint64_t, const MessageRecord& m) {
    if (!m.present(kWebhook)) seen.insert(m.u64(kAuthor));
  });

  std::vector<UserRecord> dropped;
  user_map().erase_if(
      [&](std::uint64_t id, const UserRecord&) { return !seen.contains(id); }, dropped);
  return dropped.size();  // destroyed here, with no lock held
}

RegistryStats registry_stats() {
  RegistryStats s;
  s.users = user_map().size();
  s.user_bytes = user_map().storage_bytes() + blob_bytes(user_map());
  s.messages = message_map().size();
  s.message_bytes = message_map().storage_bytes() + blob_bytes(message_map());
  s.guild_bytes = guild_map().storage_bytes();
  guild_map().for_each([&](std::uint64_t, const GuildRecord& g) {
    ++s.guilds;
    s.guild_bytes += g.blob_size();
    s.guild_bytes += collection_bytes(g.extra().roles, s.roles);
    s.guild_bytes += collection_bytes(g.extra().members, s.members);
    s.guild_bytes += collection_bytes(g.extra().emojis, s.emojis);
  });
  return s;
}

void clear_registry() {
  user_map().clear();
  guild_map().clear();
  clear_messages();
}

#ifdef TARNWICK_TEST_HOOKS
void fail_next_map_creation() { g_fail_next = true; }
#endif

}  // namespace tarnwick
