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
  std::size_t n = map.walked_storage_bytes();
  map.for_each([&](std::uint64_t, const V& v) {
    n += v.blob_size();
    ++count;
  });
  return n;
}

}  // namespace

namespace {

// The users a running prune keeps although its mark did not see them: every
// user filed, or named by a member or message filed, while one runs.  Such
// a change notes its ids before it touches the maps and again after, so
// that it is noted or seen by the mark however the two interleave: a change
// whose second look finds no prune running was done before any prune
// began, and the mark sees it (the shard lock orders the two); one noted
// after the sweep has passed its user is as if done after the prune.  The
// members of guilds still being built count as noted too (MembersInFlight).
// The mutex is nearly a leaf: held, it takes only an in-flight collection's
// read lock, whose writers take nothing else meanwhile.
class PruneJournal {
 public:
  void note(std::uint64_t id) {
    if (running_.load() == 0) return;
    std::lock_guard guard(mutex_);
    if (ids_) ids_->insert(id);
  }
  bool running() const noexcept { return running_.load() != 0; }
  void note_members(const CowMap<MemberRecord>& members) {
    if (running_.load() == 0) return;
    members.for_each([&](std::uint64_t user_id, const MemberRecord&) { note(user_id); });
  }
  bool noted(std::uint64_t id) {
    std::lock_guard guard(mutex_);
    if (ids_ && ids_->contains(id)) return true;
    for (const CowMap<MemberRecord>* members : in_flight_) {
      if (members->get(id)) return true;
    }
    return false;
  }
  void add_in_flight(const CowMap<MemberRecord>* members) {
    std::lock_guard guard(mutex_);
    in_flight_.push_back(members);
  }
  void remove_in_flight(const CowMap<MemberRecord>* members) noexcept {
    std::lock_guard guard(mutex_);
    std::erase(in_flight_, members);
  }
  void begin() {
    std::lock_guard guard(mutex_);
    if (running_.fetch_add(1) == 0) ids_.emplace();
  }
  void end() {
    std::lock_guard guard(mutex_);
    if (running_.fetch_sub(1) == 1) ids_.reset();
  }

 private:
  std::atomic<unsigned> running_{0};
  std::mutex mutex_;
  std::optional<IdSet> ids_;
  std::vector<const CowMap<MemberRecord>*> in_flight_;
};

PruneJournal& g_journal = *new PruneJournal();

}  // namespace

void note_user_named(std::uint64_t user_id) { g_journal.note(user_id); }

MembersInFlight::MembersInFlight(const CowMap<MemberRecord>& members) : members_(&members) {
  g_journal.add_in_flight(members_);
}
MembersInFlight::~MembersInFlight() { g_journal.remove_in_flight(members_); }

void file_user(UserRecord&& user) {
  const std::uint64_t id = user.key();
  g_journal.note(id);
  user_map().insert(id, std::move(user));
  g_journal.note(id);
}

bool user_filed_as(const UserRecord& user) {
  g_journal.note(user.key());
  const auto filed = user_map().get(user.key());
  return filed && filed.value().same_fields(user);
}

void file_guild(GuildRecord&& guild) {
  const std::uint64_t id = guild.key();
  g_journal.note_members(guild.extra().members);
  // Noted again once filed, from a share of the members (O(1)), whether or
  // not a prune ran at the first look: one that began since may have marked
  // the guilds before this one went in.
  const CowMap<MemberRecord> members(guild.extra().members);
  guild_map().insert(id, std::move(guild));
  g_journal.note_members(members);
}

bool refile_guild_fields(GuildRecord&& guild) {
  GuildRecord incoming(std::move(guild));
  return guild_map().update(incoming.key(), [&](GuildRecord& filed) {
    incoming.extra() = std::move(filed.extra());
    std::swap(filed, incoming);  // `incoming` leaves with the old fields
  });
}


std::size_t prune_users(std::span<const std::uint64_t> keep) {
  g_journal.begin();
  struct End {
    ~End() { g_journal.end(); }
  } end;
  IdSet seen;
  // Mark: one shard, or one guild's members, locked at a time.  What other
  // threads file meanwhile is noted in the journal, which the sweep keeps.
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
      [&](std::uint64_t id, const UserRecord&) { return !seen.contains(id) && !g_journal.noted(id); }, dropped);
  return dropped.size();  // destroyed here, with no lock held
}

RegistryStats registry_stats() {
  RegistryStats s;
  s.users = user_map().size();
  s.user_bytes = user_map().storage_bytes() + user_map().weight().bytes;
  s.messages = message_map().size();
  s.message_bytes = message_map().storage_bytes() + message_map().weight().bytes;
  const Weight guilds = guild_map().weight();
  s.guilds = guild_map().size();
  s.guild_bytes = guild_map().storage_bytes() + guilds.bytes;
  s.members = guilds.members;
  s.roles = guilds.roles;
  s.emojis = guilds.emojis;
  return s;
}

RegistryStats walked_registry_stats() {
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
