#include "registry/message_order.hpp"

#include "registry/registry.hpp"

namespace tarnwick {

void MessageOrder::file(MessageRecord&& message) {
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

bool MessageOrder::remove(std::uint64_t id) {
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

void MessageOrder::set_limit(std::optional<std::uint64_t> limit) {
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

std::optional<std::uint64_t> MessageOrder::limit() {
  std::lock_guard guard(mutex_);
  return limit_;
}

void MessageOrder::clear() {
  std::lock_guard guard(mutex_);
  queue_ = {};
  if (latest_) latest_.emplace();
  message_map().clear();
}

// Under the mutex, with a limit set: `id` is the newest message now.
void MessageOrder::note(std::uint64_t id) {
  const std::uint64_t seq = next_seq_++;
  latest_->insert(id, std::uint64_t{seq});
  queue_.emplace_back(id, seq);
}

void MessageOrder::track(std::uint64_t id, Dropped& dropped) {
  note(id);
  evict(dropped);
  if (queue_.size() > 2 * latest_->size() + 64) compact();
}

bool MessageOrder::is_latest(std::uint64_t id, std::uint64_t seq) const noexcept {
  const std::uint64_t* s = latest_->find(id);
  return s != nullptr && *s == seq;
}

// Drops the oldest messages beyond the limit.  The caller destroys them
// after the mutex is released.
void MessageOrder::evict(Dropped& dropped) {
  while (latest_->size() > *limit_ && !queue_.empty()) {
    const auto [id, seq] = queue_.front();
    queue_.pop_front();
    if (!is_latest(id, seq)) continue;
    latest_->erase(id);
    if (auto old = message_map().erase(id)) dropped.push_back(std::move(*old));
  }
}

void MessageOrder::compact() {
  std::deque<std::pair<std::uint64_t, std::uint64_t>> live;
  for (const auto& entry : queue_) {
    if (is_latest(entry.first, entry.second)) live.push_back(entry);
  }
  queue_ = std::move(live);
}

}  // namespace tarnwick
