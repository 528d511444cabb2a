// Waits (up to 20 s) for another thread to bring about a condition.
#pragma once

#include <chrono>
#include <thread>

namespace tarnwick {

template <class Pred>
bool eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace tarnwick
