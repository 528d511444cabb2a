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
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/id_table.hpp"
#include "records/message.hpp"

namespace tarnwick {

class MessageOrder {
 public:
  // Files `message` into message_map(), the newest of all; drops the oldest
  // beyond the limit.
  void file(MessageRecord&& message);
  // Removes the message filed under `id`; true if there was one.
  bool remove(std::uint64_t id);
  // No value: no bound.  Lowering the limit drops the oldest at once.
  void set_limit(std::optional<std::uint64_t> limit);
  std::optional<std::uint64_t> limit();
  // Empties message_map() and forgets the order; the limit stays.
  void clear();

 private:
  using Dropped = std::vector<MessageRecord>;

  void note(std::uint64_t id);
  void track(std::uint64_t id, Dropped& dropped);
  bool is_latest(std::uint64_t id, std::uint64_t seq) const noexcept;
  void evict(Dropped& dropped);
  void compact();

  std::mutex mutex_;
  std::atomic<bool> limited_{false};
  std::optional<std::uint64_t> limit_;
  std::uint64_t next_seq_ = 0;
  // Both exist only while a limit is set (the index draws its hash keys
  // when it is made).
  std::optional<IdTable<std::uint64_t>> latest_;
  std::deque<std::pair<std::uint64_t, std::uint64_t>> queue_;
};

}  // namespace tarnwick
