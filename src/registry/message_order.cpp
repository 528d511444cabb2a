// The filing order of messages, kept only while a message limit is set, so
// that the oldest can be dropped once there are more than the limit.
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

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/id_table.hpp"
#include "registry/registry.hpp"

namespace tarnwick {
namespace {

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

  bool remove(std::uint64_t id) {
    std::optional<MessageRecord> old;
    if (!limited_.load()) {
      old = message_map().erase(id);
      if (!limited_.load()) return old.has_value();
    }
    std::lock_guard guard(mutex_);
    if (!old) old = message_map().erase(id);
    if (latest_) latest_->erase(id);  // its queue entries go stale
    return old.has_value();
  }

  void set_limit(std::optional<std::uint64_t> limit) {
    Dropped dropped;
    std::lock_guard guard(mutex_);
    const bool was = limit_.has_value();
    limit_ = limit;
    if (!limit) {
      limited_.store(false);
      queue_ = {};
      latest_.reset();
      return;
    }
    if (!was) latest_.emplace();
    limited_.store(true);
    if (!was) {
      std::vector<std::uint64_t> untracked;
      message_map().for_each([&](std::uint64_t id, const MessageRecord&) { untracked.push_back(id); });
      for (std::uint64_t id : untracked) note(id);
    }
    evict(dropped);
  }

  // Removes every message whose field `field` holds a value `match`es; how
  // many.  They go to `removed` (empty) when given, else are destroyed here.
  template <class Match>
  std::size_t remove_where(std::size_t field, Match&& match, Removed* removed = nullptr) {
    Removed dropped;
    std::lock_guard guard(mutex_);
    Removed& out = removed != nullptr ? *removed : dropped;
    message_map().erase_if(
        [&](std::uint64_t, const MessageRecord& m) { return m.present(field) && match(m.u64(field)); }, out);
    if (latest_) {  // their queue entries go stale
      out.each([&](const MessageRecord& m) { latest_->erase(m.key()); });
    }
    return out.size();
  }

  std::optional<std::uint64_t> limit() {
    std::lock_guard guard(mutex_);
    return limit_;
  }

  void clear() {
    std::lock_guard guard(mutex_);
    queue_ = {};
    if (latest_) latest_.emplace();
    message_map().clear();
  }

 private:
  using Dropped = std::vector<MessageRecord>;

  void file_unnoted(MessageRecord&& message) {
    const std::uint64_t id = message.key();
    Dropped dropped;  // destroyed last, after the mutex is released
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

  // Under the mutex, with a limit set: `id` is the newest message now.
  void note(std::uint64_t id) {
    const std::uint64_t seq = next_seq_++;
    latest_->insert(id, std::uint64_t{seq});
    queue_.emplace_back(id, seq);
  }

  void track(std::uint64_t id, Dropped& dropped) {
    note(id);
    evict(dropped);
    if (queue_.size() > 2 * latest_->size() + 64) compact();
  }

  bool is_latest(std::uint64_t id, std::uint64_t seq) const noexcept {
    const std::uint64_t* s = latest_->find(id);
    return s != nullptr && *s == seq;
  }

  // Drops the oldest messages beyond the limit.  The caller destroys them
  // after the mutex is released.
  void evict(Dropped& dropped) {
    while (latest_->size() > *limit_ && !queue_.empty()) {
      const auto [id, seq] = queue_.front();
      queue_.pop_front();
      if (!is_latest(id, seq)) continue;
      latest_->erase(id);
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
  // Both exist only while a limit is set (the index draws its hash keys
  // when it is made).
  std::optional<IdTable<std::uint64_t>> latest_;
  std::deque<std::pair<std::uint64_t, std::uint64_t>> queue_;
};

// Never destroyed, like the maps.
MessageOrder& g_order = *new MessageOrder();

}  // namespace

void file_message(MessageRecord&& message) { g_order.file(std::move(message)); }
bool remove_message(std::uint64_t id) { return g_order.remove(id); }
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
