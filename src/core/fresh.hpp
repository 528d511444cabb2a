// Numbers never handed out before in this process, none of them 0: a
// label by which a later reader tells whether what it saw was replaced.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarnwick {

inline std::uint64_t fresh_number() noexcept {
  static std::atomic<std::uint64_t> taken{0};
  return taken.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace tarnwick
