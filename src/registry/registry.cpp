#include "registry/registry.hpp"

#include <atomic>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "core/shard_table.hpp"
#include "core/siphash.hpp"

namespace tarnwick {
namespace {

#ifdef TARNWICK_TEST_HOOKS
std::atomic<bool> g_fail_next{false};
#endif

template <class Map>
Map make_map() {
#ifdef TARNWICK_TEST_HOOKS
  if (g_fail_next.exchange(false)) fault("map creation failed (injected)");
#endif
  return Map();
}

}  // namespace

namespace detail {
// The maps live until the process ends: never destroyed, so no exit-time
// teardown races a thread that is still using them.
Lazy<UserMap>& g_users = *new Lazy<UserMap>();
Lazy<GuildMap>& g_guilds = *new Lazy<GuildMap>();
Lazy<MessageMap>& g_messages = *new Lazy<MessageMap>();
UserMap make_user_map() { return make_map<UserMap>(); }
GuildMap make_guild_map() { return make_map<GuildMap>(); }
MessageMap make_message_map() { return make_map<MessageMap>(); }
}  // namespace detail

namespace {

// SipHash-1-3 under keys of one's own, for the side tables kept here.
struct KeyedHasher {
  std::uint64_t operator()(std::uint64_t key) const noexcept { return siphash13_u64(k0, k1, key); }
  std::uint64_t k0, k1;
};

// The filing order of messages, kept only while a limit is set.
//
// Every filing gets the next sequence number; `latest` maps an id to the
// number of its newest filing and `queue` lists (id, number) oldest first.
// An entry of the queue whose number is no longer the id's latest is stale
// (the message was filed again or removed) and is skipped when it reaches
// the front.  The queue is compacted when stale entries outnumber live
// ones, so it stays within a constant factor of the limit.
//
// Locking: the mutex, then (inside) message_map's shard locks; never the
// other way round.  `limited` is read without the mutex on every filing:
// a filing that sees no limit files untracked, then looks again, and
// tracks itself if a limit appeared meanwhile (setting a limit walks the
// map for untracked messages after it sets the flag, so every message is
// either walked or tracks itself; both is harmless).
class MessageOrder {
 public:
  void file(MessageRecord&& message) {
    const std::uint64_t id = message.key();
    std::vector<MessageRecord> dropped;
    std::optional<MessageRecord> displaced;
    if (!limited_.load()) {
      displaced = message_map().insert(id, std::move(message));
      if (!limited_.load()) return;
      std::lock_guard guard(mutex_);
      if (limit_) track(id, dropped);
      return;
    }
    std::lock_guard guard(mutex_);
    displaced = message_map().insert(id, std::move(message));
    if (limit_) track(id, dropped);
  }

  bool remove(std::uint64_t id) {
    std::optional<MessageRecord> old;
    if (!limited_.load()) {
      old = message_map().erase(id);
      if (!limited_.load()) return old.has_value();
    }
    std::lock_guard guard(mutex_);
    if (!old) old = message_map().erase(id);
    latest_.erase(hash(id), id, hasher_);  // its queue entries go stale
    return old.has_value();
  }

  void set_limit(std::optional<std::uint64_t> limit) {
    std::vector<MessageRecord> dropped;
    std::lock_guard guard(mutex_);
    const bool was = limit_.has_value();
    limit_ = limit;
    if (!limit) {
      limited_.store(false);
      queue_ = {};
      latest_ = {};
      return;
    }
    if (!was) {
      const HashKeys keys = take_map_keys();
      hasher_ = Hasher{keys.k0, keys.k1};
    }
    limited_.store(true);
    if (!was) {
      std::vector<std::uint64_t> untracked;
      message_map().for_each([&](std::uint64_t id, const MessageRecord&) { untracked.push_back(id); });
      for (std::uint64_t id : untracked) note(id);
    }
    evict(dropped);
  }

  std::optional<std::uint64_t> limit() {
    std::lock_guard guard(mutex_);
    return limit_;
  }

  void clear() {
    std::lock_guard guard(mutex_);
    queue_ = {};
    latest_ = {};
    message_map().clear();
  }

 private:
  using Hasher = KeyedHasher;

  std::uint64_t hash(std::uint64_t id) const noexcept { return hasher_(id); }

  // Under the mutex: `id` is the newest message now.
  void note(std::uint64_t id) {
    const std::uint64_t seq = next_seq_++;
    latest_.insert(hash(id), id, std::uint64_t{seq}, hasher_);
    queue_.emplace_back(id, seq);
  }

  void track(std::uint64_t id, std::vector<MessageRecord>& dropped) {
    note(id);
    evict(dropped);
    if (queue_.size() > 2 * latest_.size() + 64) compact();
  }

  bool is_latest(std::uint64_t id, std::uint64_t seq) const noexcept {
    const std::uint64_t* s = latest_.find(hash(id), id);
    return s != nullptr && *s == seq;
  }

  // Drops the oldest messages beyond the limit.  The caller destroys them
  // after the mutex is released.
  void evict(std::vector<MessageRecord>& dropped) {
    while (latest_.size() > *limit_ && !queue_.empty()) {
      const auto [id, seq] = queue_.front();
      queue_.pop_front();
      if (!is_latest(id, seq)) continue;
      latest_.erase(hash(id), id, hasher_);
      if (auto old = message_map().erase(id)) dropped.push_back(std::move(*old));
    }
  }

  void compact() {
    std::deque<std::pair<std::uint64_t, std::uint64_t>> live;
    for (const auto& entry : queue_) {
      if (is_latest(entry.first, entry.second)) live.push_back(entry);
    }
    queue_ = std::move(live);
  }

  std::mutex mutex_;
  std::atomic<bool> limited_{false};
  std::optional<std::uint64_t> limit_;
  std::uint64_t next_seq_ = 0;
  ShardTable<std::uint64_t> latest_;
  std::deque<std::pair<std::uint64_t, std::uint64_t>> queue_;
  Hasher hasher_{0, 0};  // keyed when a limit is first set
};

MessageOrder& g_order = *new MessageOrder();

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

void file_message(MessageRecord&& message) { g_order.file(std::move(message)); }
bool remove_message(std::uint64_t id) { return g_order.remove(id); }
void set_message_limit(std::optional<std::uint64_t> limit) { g_order.set_limit(limit); }
std::optional<std::uint64_t> message_limit() { return g_order.limit(); }

std::size_t prune_users(std::span<const std::uint64_t> keep) {
  struct Id {
    std::uint64_t id;
    std::uint64_t key() const noexcept { return id; }
  };
  const HashKeys keys = take_map_keys();
  const KeyedHasher hasher{keys.k0, keys.k1};
  ShardTable<Id> seen;
  const auto see = [&](std::uint64_t id) { seen.insert(hasher(id), id, Id{id}, hasher); };

  // Mark: one shard, or one guild's members, locked at a time.  A user
  // filed meanwhile by another thread, with the member or message naming
  // it, may be swept; callers from Python hold the interpreter lock, which
  // rules that out for them.
  for (const std::uint64_t id : keep) see(id);
  guild_map().for_each([&](std::uint64_t, const GuildRecord& g) {
    g.extra().members.for_each([&](std::uint64_t user_id, const MemberRecord&) { see(user_id); });
  });
  constexpr std::size_t kAuthor = field_index<MessageDesc>("author_id");
  message_map().for_each([&](std::uint64_t, const MessageRecord& m) { see(m.u64(kAuthor)); });

  std::vector<UserRecord> dropped;
  user_map().erase_if(
      [&](std::uint64_t id, const UserRecord&) { return seen.find(hasher(id), id) == nullptr; }, dropped);
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
  g_order.clear();
}

#ifdef TARNWICK_TEST_HOOKS
void fail_next_map_creation() { g_fail_next = true; }
#endif

}  // namespace tarnwick
