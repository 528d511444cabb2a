#include "registry/registry.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/fresh.hpp"
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

// The users named by an event being applied (NamedInFlight), in blocks
// that stay put, so that a prune's sweep on another thread reads them
// (under the journal's mutex) while the owner adds more: the owner stores
// an id, then publishes the count, then reads the user under its shard
// lock, which orders the two for a sweep that takes that lock after.
class detail::NamedList {
 public:
  ~NamedList() {
    for (Block* b = first_.next.load(); b != nullptr;) delete std::exchange(b, b->next.load());
  }
  std::size_t size() const noexcept { return size_.load(std::memory_order_relaxed); }
  void add(std::uint64_t id) {
    const std::size_t n = size();
    if (n > 0 && last_ == id) return;  // a member and its user
    std::size_t at = n - cursor_base_;
    if (at == kBlock) {
      Block* next = cursor_->next.load(std::memory_order_relaxed);
      if (next == nullptr) {
        next = new Block();
        cursor_->next.store(next, std::memory_order_release);
      }
      cursor_ = next;
      cursor_base_ += kBlock;
      at = 0;
    }
    cursor_->ids[at].store(id, std::memory_order_relaxed);
    last_ = id;
    size_.store(n + 1, std::memory_order_release);
  }
  void truncate(std::size_t n) noexcept {
    if (n >= size()) return;
    size_.store(n, std::memory_order_release);
    // After the size: an index that reads this run (before the size) reads
    // the size it leaves or a later one.
    run_.store(fresh_number(), std::memory_order_release);
    cursor_ = &first_;
    cursor_base_ = 0;
    while (n - cursor_base_ > kBlock) {  // a full block before a new one is begun
      cursor_ = cursor_->next.load(std::memory_order_relaxed);
      cursor_base_ += kBlock;
    }
    last_ = n > 0 ? cursor_->ids[n - cursor_base_ - 1].load(std::memory_order_relaxed) : 0;
  }
  // From any thread: which run of ids the list holds (a number never taken
  // before and taken anew by each truncate, so that an index of its ids
  // knows when to start again), read before the size; and f(id) for each id at
  // [from, n), n a size published.  An id forgotten meanwhile may still be
  // seen: that only keeps a user one prune longer.
  std::size_t published() const noexcept { return size_.load(std::memory_order_acquire); }
  std::uint64_t run() const noexcept { return run_.load(std::memory_order_acquire); }
  template <class F>
  void each_from(std::size_t from, std::size_t n, F&& f) const {
    const Block* b = &first_;
    std::size_t base = 0;
    for (; base + kBlock <= from && base + kBlock < n; base += kBlock) b = b->next.load(std::memory_order_acquire);
    for (std::size_t i = from; i < n; ++i) {
      if (i - base == kBlock) {
        b = b->next.load(std::memory_order_acquire);
        base += kBlock;
      }
      f(b->ids[i - base].load(std::memory_order_relaxed));
    }
  }

 private:
  static constexpr std::size_t kBlock = 64;
  struct Block {
    std::array<std::atomic<std::uint64_t>, kBlock> ids{};
    std::atomic<Block*> next{nullptr};
  };

  std::atomic<std::size_t> size_{0};
  std::atomic<std::uint64_t> run_{fresh_number()};
  Block first_;
  // The owner's alone: the block that holds (or will hold) the next id.
  Block* cursor_ = &first_;
  std::size_t cursor_base_ = 0;
  std::uint64_t last_ = 0;
};

namespace {

// The users a running prune keeps although its mark did not see them: every
// user filed, or named by a member or message filed, while one runs.  Such
// a change notes its ids before it touches the maps and again after, so
// that it is noted or seen by the mark however the two interleave: a change
// whose second look finds no prune running was done before any prune
// began, and the mark sees it (the shard lock orders the two); one noted
// after the sweep has passed its user is as if done after the prune.  The
// members of guilds still being built count as noted too (MembersInFlight),
// and so do the users named by the events being applied (NamedInFlight).
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
    // The named lists before the members in flight: a GUILD_CREATE puts a
    // member in flight and then forgets its user's name, so a list found
    // without the name was seen after the member went in flight.
    for (const Slot& slot : slots_) {
      if (indexed_contains(slot.list, id)) return true;  // empty while free
    }
    for (const detail::NamedList* named : named_) {
      if (indexed_contains(*named, id)) return true;
    }
    for (const CowMap<MemberRecord>* members : in_flight_) {
      if (members->get(id)) return true;
    }
    return false;
  }
  // A list for an event: one of the few kept here, taken without a lock,
  // or else none (the caller makes one and adds it).
  detail::NamedList* take_slot() noexcept {
    for (Slot& slot : slots_) {
      bool free = false;
      if (!slot.taken.load(std::memory_order_relaxed) &&
          slot.taken.compare_exchange_strong(free, true, std::memory_order_acquire)) {
        return &slot.list;
      }
    }
    return nullptr;
  }
  // Gives back a list take_slot() gave, or false if it gave none such.
  bool give_back(detail::NamedList* list) noexcept {
    for (Slot& slot : slots_) {
      if (&slot.list == list) {
        list->truncate(0);
        slot.taken.store(false, std::memory_order_release);
        return true;
      }
    }
    return false;
  }
  void add_named(const detail::NamedList* named) {
    std::lock_guard guard(mutex_);
    named_.push_back(named);
  }
  void remove_named(const detail::NamedList* named) noexcept {
    std::lock_guard guard(mutex_);
    forget_last(named_, named);
    std::erase_if(indexes_, [&](const Index& x) { return x.list == named; });
  }
  void add_in_flight(const CowMap<MemberRecord>* members) {
    std::lock_guard guard(mutex_);
    in_flight_.push_back(members);
  }
  void remove_in_flight(const CowMap<MemberRecord>* members) noexcept {
    std::lock_guard guard(mutex_);
    forget_last(in_flight_, members);
  }
  void begin() {
    std::lock_guard guard(mutex_);
    if (running_.fetch_add(1) == 0) ids_.emplace();
  }
  void end() {
    std::lock_guard guard(mutex_);
    if (running_.fetch_sub(1) == 1) {
      ids_.reset();
      indexes_.clear();
    }
  }

 private:
  // Most often the last one registered (they nest on a thread).
  template <class T>
  static void forget_last(std::vector<const T*>& v, const T* item) noexcept {
    const auto at = std::find(v.rbegin(), v.rend(), item);
    if (at != v.rend()) v.erase(std::next(at).base());
  }

  // Under the mutex: whether `list` holds id, from an index of its ids
  // that grows with it (a sweep asks of every user it would drop, and a
  // chunk's list holds thousands: scanning them each time held the sweep's
  // lock for long).
  bool indexed_contains(const detail::NamedList& list, std::uint64_t id) {
    const std::uint64_t run = list.run();  // before the size: see truncate
    const std::size_t n = list.published();
    if (n == 0) return false;
    auto at = std::find_if(indexes_.begin(), indexes_.end(), [&](const Index& x) { return x.list == &list; });
    if (at == indexes_.end()) at = indexes_.insert(indexes_.end(), Index{&list, run, 0, IdSet()});
    if (at->run != run || n < at->count) *at = Index{&list, run, 0, IdSet()};
    list.each_from(at->count, n, [&](std::uint64_t named) { at->ids.insert(named); });
    at->count = n;
    return at->ids.contains(id);
  }

  std::atomic<unsigned> running_{0};
  std::mutex mutex_;
  struct Index {
    const detail::NamedList* list;
    std::uint64_t run;
    std::size_t count;  // of its ids indexed
    IdSet ids;
  };
  std::vector<Index> indexes_;
  std::optional<IdSet> ids_;
  std::vector<const CowMap<MemberRecord>*> in_flight_;
  // Events being applied at once: nested in on_skip callbacks, and big
  // frames filed on other threads.  Beyond that many, lists of their own.
  static constexpr std::size_t kSlots = 16;
  struct Slot {
    std::atomic<bool> taken{false};
    detail::NamedList list;
  };
  std::array<Slot, kSlots> slots_;
  std::vector<const detail::NamedList*> named_;
};

PruneJournal& g_journal = *new PruneJournal();

}  // namespace

void note_user_named(std::uint64_t user_id) { g_journal.note(user_id); }

NamedInFlight::NamedInFlight() : list_(g_journal.take_slot()) {
  if (list_ == nullptr) {
    auto own = std::make_unique<detail::NamedList>();
    g_journal.add_named(own.get());
    list_ = own.release();
  }
}
NamedInFlight::~NamedInFlight() {
  if (!g_journal.give_back(list_)) {
    g_journal.remove_named(list_);
    delete list_;
  }
}
void NamedInFlight::add(std::uint64_t user_id) { list_->add(user_id); }
std::size_t NamedInFlight::size() const noexcept { return list_->size(); }
void NamedInFlight::forget_since(std::size_t n) noexcept { list_->truncate(n); }

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

std::optional<GuildRecord> file_guild(GuildRecord&& guild) {
  const std::uint64_t id = guild.key();
  g_journal.note_members(guild.extra().members);
  // Noted again once filed, from a share of the members (O(1)), whether or
  // not a prune ran at the first look: one that began since may have marked
  // the guilds before this one went in.
  const CowMap<MemberRecord> members(guild.extra().members);
  std::optional<GuildRecord> displaced = guild_map().insert(id, std::move(guild));
  g_journal.note_members(members);
  return displaced;
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
  // Grown first, and its memory touched, so that the mark grows nothing
  // while it holds a lock.
  // (Members and messages name a user many times over: the users filed
  // bound it, but for ids named and not filed, for which it may grow.)
  const std::size_t named = guild_map().weight().members + message_map().size();
  seen.reserve_touched(keep.size() + std::min(named, user_map().size()));
  // Mark: one shard locked at a time.  What other threads file meanwhile is
  // noted in the journal, which the sweep keeps.  A guild's members are
  // walked from a share taken under the shard's read lock (O(1)), not under
  // it: a big guild's walk would hold up every filing into that shard.  A
  // shard's guilds are shared and walked before the next shard's, so that
  // few changes meanwhile copy a table for a share.
  for (const std::uint64_t id : keep) seen.insert(id);
  std::vector<CowMap<MemberRecord>> shares;
  shares.reserve(guild_map().size() + 64);
  for (std::size_t shard = 0; shard < guild_map().shard_count(); ++shard) {
    guild_map().for_each_in(shard, [&](std::uint64_t, const GuildRecord& g) {
      // The shard's read lock excludes every writer of a filed guild's members.
      shares.emplace_back(g.extra().members, WritersExcluded{});
    });
    for (CowMap<MemberRecord>& share : shares) {
      CowMap<MemberRecord>::Cursor at;
      std::uint64_t user_id;
      while (share.next(at, WritersExcluded{}, &user_id) != nullptr) seen.insert(user_id);
      share.reset();  // so that a change to the guild from now on copies nothing
    }
    shares.clear();
  }
  constexpr std::size_t kAuthor = field_index<MessageDesc>("author_id");
  constexpr std::size_t kWebhook = field_index<MessageDesc>("webhook_id");
  message_map().for_each([&](std::uint64_t, const MessageRecord& m) {
    if (!m.present(kWebhook)) seen.insert(m.u64(kAuthor));
  });

  UserMap::Removed dropped;
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
