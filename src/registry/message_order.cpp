// The filing order of messages, kept only while a message limit is set, so
// that the oldest can be dropped once there are more than the limit.
//
// Every filing gets the next sequence number; `latest` maps an id to the
// number of its newest filing and `queue` lists (id, number) oldest first.
// An entry of the queue whose number is no longer the id's latest is stale
// (the message was filed again or removed) and is skipped when it reaches
// the front.  The queue is compacted when stale entries outnumber live
// ones, so it stays within a constant factor of the limit: a few entries
// each filing, so that no filing pays for a walk over all of them.
//
// Locking: the mutex, then (inside) message_map's shard locks; never the
// other way round.  `limited` is read without the mutex on every filing:
// a filing that sees no limit files untracked, then looks again, and
// tracks itself if a limit appeared meanwhile (setting a limit walks the
// map for untracked messages after it sets the flag, so every message is
// either walked or tracks itself; both is harmless).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/id_table.hpp"
#include "registry/registry.hpp"

namespace tarnwick {
namespace {

// Filings (id, sequence number), oldest first, in three parts: what the
// last compaction kept, what the running one has yet to look at (whole
// parts, as they were when it began), and what was noted since.  Nothing
// is ever copied from one part to another but by the compaction, an entry
// at a time, so no filing pays for a walk over all of them.
class FilingQueue {
 public:
  using Entry = std::pair<std::uint64_t, std::uint64_t>;

  void push(std::uint64_t id, std::uint64_t seq) {
    new_.emplace_back(id, seq);
    ++size_;
  }
  // An entry older than every other (a message filed before the limit).
  void push_oldest(std::uint64_t id, std::uint64_t seq) {
    kept_.emplace_front(id, seq);
    ++size_;
  }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t size() const noexcept { return size_; }
  Entry pop() {
    drop_scanned();
    Deque& q = !kept_.empty() ? kept_ : !scan_.empty() ? scan_.front() : new_;
    const Entry e = q.front();
    q.pop_front();
    --size_;
    return e;
  }

  // Begins a compaction, unless one runs.
  void start_compaction() {
    if (!scan_.empty()) return;
    scan_.push_back(std::exchange(kept_, {}));
    scan_.push_back(std::exchange(new_, {}));
    drop_scanned();
  }
  // Takes a compaction `steps` entries on, keeping those live(entry).
  template <class Live>
  void compact_some(std::size_t steps, Live&& live) {
    for (drop_scanned(); steps > 0 && !scan_.empty(); --steps, drop_scanned()) {
      Deque& q = scan_.front();
      if (live(q.front())) {
        kept_.push_back(q.front());
      } else {
        --size_;
      }
      q.pop_front();
    }
  }

 private:
  using Deque = std::deque<Entry>;
  void drop_scanned() {
    while (!scan_.empty() && scan_.front().empty()) scan_.pop_front();
  }

  Deque kept_;
  std::deque<Deque> scan_;
  Deque new_;
  std::size_t size_ = 0;
};

constexpr std::size_t kAuthor = field_index<MessageDesc>("author_id");
constexpr std::size_t kWebhook = field_index<MessageDesc>("webhook_id");

class MessageOrder {
 public:
  using Removed = MessageMap::Removed;

  void file(MessageRecord&& message) {
    // A prune running meanwhile keeps the author (a webhook names no user).
    std::optional<std::uint64_t> author;
    if (!message.present(kWebhook)) author = message.u64(kAuthor);
    if (author) note_user_named(*author);
    file_unnoted(std::move(message));
    if (author) note_user_named(*author);
  }

  std::optional<MessageRecord> remove(std::uint64_t id) {
    std::optional<MessageRecord> old;
    if (!limited_.load()) {
      old = message_map().erase(id);
      if (!limited_.load()) return old;
    }
    {
      const auto guard = lock();
      if (!old) old = message_map().erase(id);
      if (latest_) latest_->erase_keeping_room(id);  // its queue entries go stale
    }
    return old;
  }

  // The walk over the messages filed untracked and the drops down to a
  // lower limit go in runs, the mutex let go between them, so that a filing
  // meanwhile (on a thread that may hold the interpreter lock) waits for
  // one run at most.  One call at a time: each returns with its limit
  // holding.
  void set_limit(std::optional<std::uint64_t> limit) {
    const std::lock_guard one_at_a_time(setting_);
    bool walk = false;
    {
      Queue old_queue;  // destroyed after the mutex is released
      std::optional<IdTable<std::uint64_t>> old_latest;
      const auto guard = lock();
      const bool was = limit_.has_value();
      limit_ = limit;
      if (!limit) {
        limited_.store(false);
        old_queue = std::exchange(queue_, {});
        old_latest = std::exchange(latest_, std::nullopt);
        return;
      }
      walk = !was;
      if (walk) latest_.emplace();
      limited_.store(true);
    }
    if (walk) {
      std::vector<std::uint64_t> untracked;
      untracked.reserve(message_map().size() + 1024);  // not grown under a shard's lock
      message_map().for_each([&](std::uint64_t id, const MessageRecord&) { untracked.push_back(id); });
      // The index grown to take them all, and its memory touched, before
      // the mutex is taken: then filling it is quick.
      IdTable<std::uint64_t> fresh;
      fresh.reserve_touched(untracked.size() + untracked.size() / 8 + 1024);
      {
        std::optional<IdTable<std::uint64_t>> old;  // destroyed after the mutex is released
        const auto guard = lock();
        if (!latest_) return;
        if (latest_->size() <= untracked.size() / 8 + 1024) {  // those filed meanwhile
          latest_->for_each([&](std::uint64_t id, std::uint64_t seq) { fresh.insert(id, std::uint64_t{seq}); });
          old = std::exchange(latest_, std::move(fresh));
        }
      }
      for (std::size_t i = 0; i < untracked.size();) {
        let_waiters_in();
        const auto guard = lock();
        if (!latest_) return;  // the limit was lifted meanwhile
        for (Run run; i < untracked.size() && run.goes_on(); ++i) {
          // Not one that tracked itself meanwhile, nor one removed since.
          const std::uint64_t id = untracked[i];
          // Older than any filed since the limit was set.
          if (latest_->find(id) == nullptr && message_map().get(id)) note(id, true);
        }
      }
    }
    for (bool more = true; more; let_waiters_in()) {
      Dropped dropped;  // destroyed after the mutex is released
      const auto guard = lock();
      if (!limit_) return;
      Run run;
      more = evict(dropped, [&] { return run.goes_on(); });
      if (!more) latest_->shrink_to_suit();  // what the drops left out
    }
  }

  // Removes every message whose field `field` holds a value `match`es; how
  // many.  They go to `removed` (empty) when given, else are destroyed here.
  template <class Match>
  std::size_t remove_where(std::size_t field, Match&& match, Removed* removed = nullptr) {
    Removed dropped;
    const auto guard = lock();
    Removed& out = removed != nullptr ? *removed : dropped;
    message_map().erase_if(
        [&](std::uint64_t, const MessageRecord& m) { return m.present(field) && match(m.u64(field)); }, out);
    if (latest_) {  // their queue entries go stale
      out.each([&](const MessageRecord& m) { latest_->erase_keeping_room(m.key()); });
    }
    return out.size();
  }

  std::optional<std::uint64_t> limit() {
    const auto guard = lock();
    return limit_;
  }

  void clear() {
    Removed removed;  // destroyed after the mutex is released
    Queue old_queue;
    std::optional<IdTable<std::uint64_t>> old_latest;
    const auto guard = lock();
    old_queue = std::exchange(queue_, {});
    if (latest_) old_latest = std::exchange(latest_, IdTable<std::uint64_t>());
    message_map().clear(removed);
  }

 private:
  using Dropped = std::vector<MessageRecord>;
  using Queue = FilingQueue;
  // The drops one filing makes (more only while set_limit works down a
  // lower limit, which it finishes).
  static constexpr std::size_t kFilingDrops = 8;
  // The entries of a compaction one filing looks at: a queue of twice the
  // limit is compacted before it grows by an eighth.
  static constexpr std::size_t kCompactSteps = 8;

  // One run of set_limit's work under the mutex: about a millisecond,
  // whatever an entry costs (the first touches of a table just grown cost
  // many times the rest).
  class Run {
   public:
    bool goes_on() {
      return ++count_ % 64 != 0 || std::chrono::steady_clock::now() < until_;
    }

   private:
    std::size_t count_ = 0;
    std::chrono::steady_clock::time_point until_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
  };

  void file_unnoted(MessageRecord&& message) {
    const std::uint64_t id = message.key();
    Dropped dropped;  // destroyed last, after the mutex is released
    std::optional<MessageRecord> displaced;
    if (!limited_.load()) {
      displaced = message_map().insert(id, std::move(message));
      if (!limited_.load()) return;
      const auto guard = lock();
      if (limit_) track(id, dropped);
      return;
    }
    const auto guard = lock();
    displaced = message_map().insert(id, std::move(message));
    if (limit_) track(id, dropped);
  }

  // Under the mutex, with a limit set: `id` is the newest message now (the
  // oldest: one filed before the limit was set).
  void note(std::uint64_t id, bool oldest = false) {
    const std::uint64_t seq = next_seq_++;
    latest_->insert(id, std::uint64_t{seq});
    if (oldest) {
      queue_.push_oldest(id, seq);
    } else {
      queue_.push(id, seq);
    }
  }

  void track(std::uint64_t id, Dropped& dropped) {
    note(id);
    evict(dropped, [&] { return dropped.size() < kFilingDrops; });
    if (queue_.size() > 2 * latest_->size() + 64) queue_.start_compaction();
    queue_.compact_some(kCompactSteps, [&](const FilingQueue::Entry& e) { return is_latest(e.first, e.second); });
  }

  bool is_latest(std::uint64_t id, std::uint64_t seq) const noexcept {
    const std::uint64_t* s = latest_->find(id);
    return s != nullptr && *s == seq;
  }

  // Drops the oldest messages beyond the limit while goes_on(); whether
  // more are beyond it.  The caller destroys them after the mutex is
  // released.
  template <class GoesOn>
  bool evict(Dropped& dropped, GoesOn&& goes_on) {
    while (latest_->size() > *limit_ && !queue_.empty()) {
      if (!goes_on()) return true;
      const auto [id, seq] = queue_.pop();
      if (!is_latest(id, seq)) continue;
      latest_->erase_keeping_room(id);  // shrunk once the drops are done
      if (auto old = message_map().erase(id)) dropped.push_back(std::move(*old));
    }
    return false;
  }

  // The mutex, counted while waited for: runs of long work let go of it
  // between them, and a thread waiting then gets it before the next run (a
  // mutex is not fair: the thread letting go would take it straight back).
  std::unique_lock<std::mutex> lock() {
    waiting_.fetch_add(1);
    std::unique_lock guard(mutex_);
    waiting_.fetch_sub(1);
    return guard;
  }
  void let_waiters_in() const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
    while (waiting_.load() != 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  }

  std::mutex mutex_;
  std::atomic<int> waiting_{0};
  std::mutex setting_;  // taken before mutex_, by set_limit alone
  std::atomic<bool> limited_{false};
  std::optional<std::uint64_t> limit_;
  std::uint64_t next_seq_ = 0;
  // Both exist only while a limit is set (the index draws its hash keys
  // when it is made).
  std::optional<IdTable<std::uint64_t>> latest_;
  Queue queue_;
};

// Never destroyed, like the maps.
MessageOrder& g_order = *new MessageOrder();

}  // namespace

void file_message(MessageRecord&& message) { g_order.file(std::move(message)); }
bool remove_message(std::uint64_t id) { return g_order.remove(id).has_value(); }
std::optional<MessageRecord> take_message(std::uint64_t id) { return g_order.remove(id); }
void set_message_limit(std::optional<std::uint64_t> limit) { g_order.set_limit(limit); }
std::optional<std::uint64_t> message_limit() { return g_order.limit(); }
void clear_messages() { g_order.clear(); }
std::size_t remove_channel_messages(std::uint64_t channel_id) {
  return g_order.remove_where(field_index<MessageDesc>("channel_id"), [&](std::uint64_t v) { return v == channel_id; });
}
std::size_t remove_guild_messages(std::uint64_t guild_id) { return remove_guilds_messages({&guild_id, 1}); }
std::size_t remove_guilds_messages(std::span<const std::uint64_t> guild_ids, MessageMap::Removed* removed) {
  if (guild_ids.empty()) return 0;
  return g_order.remove_where(
      field_index<MessageDesc>("guild_id"),
      [&](std::uint64_t v) { return std::binary_search(guild_ids.begin(), guild_ids.end(), v); }, removed);
}

}  // namespace tarnwick
