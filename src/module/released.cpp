#include "module/released.hpp"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "core/fault.hpp"

namespace tarnwick::detail {
namespace {

// Never destroyed: a walk may be running while the process exits.
std::shared_mutex& g_walks = *new std::shared_mutex();
std::atomic<std::size_t> g_running{0};

void before_fork() { g_walks.lock(); }
void in_parent() { g_walks.unlock(); }
// The child is alone with a gate its parent's thread holds: unlocking it
// from another thread id is not defined, so it gets a fresh one.
void in_child() { ::new (static_cast<void*>(&g_walks)) std::shared_mutex(); }

}  // namespace

void enter_walk() {
  static const bool registered = pthread_atfork(before_fork, in_parent, in_child) == 0;
  if (!registered) fault("could not register the fork handlers");
  g_walks.lock_shared();
  g_running.fetch_add(1);
}

void leave_walk() noexcept {
  g_running.fetch_sub(1);
  g_walks.unlock_shared();
}

void Walk::take_back(PyThreadState* state) noexcept {
  calling_python([state] { PyEval_RestoreThread(state); });
}

}  // namespace tarnwick::detail

std::size_t tarnwick::walks_running() noexcept { return detail::g_running.load(); }
