// Long walks over the maps without the interpreter lock.
//
// A call that walks the whole cache (pruning users, clearing it, dropping a
// big guild or the messages beyond a lowered limit, listing ids) converts
// its arguments first, runs the walk through without_interpreter(), which
// releases the interpreter lock around it, and builds its result after, so
// other Python threads (an asyncio loop's) run meanwhile.  What keeps it
// safe:
//   * nothing Python runs while released: the walk touches only the maps,
//     which lock themselves;
//   * lock order: the interpreter lock, then map locks, never the other way
//     round.  A walk takes map locks only after letting go of the
//     interpreter lock, and has let go of every map lock it took before it
//     takes the interpreter lock back.  (A thread holding the interpreter
//     lock may wait for a map lock a walk holds; the walk never waits for
//     the interpreter lock, so that wait ends.)
//   * a fork waits until every released walk has finished, or the child
//     would inherit a map lock held by a thread it does not have;
//   * a fault inside the walk takes the interpreter lock back before it
//     unwinds to the fault boundary;
//   * what must run Python midway (a callback, a repr for a fault's text)
//     calls with_interpreter() first, only where no map lock is held: the
//     walk then leaves the gate and takes the interpreter lock back for
//     the rest of its way (taking it again and again would wait out
//     another thread's switch interval each time); long work after that
//     is a walk of its own.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <utility>

#include "module/boundary.hpp"
#include "module/python.hpp"
#include "module/ref.hpp"
#include "module/results.hpp"
#include "records/guild.hpp"
#include "registry/registry.hpp"

namespace tarnwick {

namespace detail {
// The fork gate: released walks hold it shared, a fork exclusively.
void enter_walk();
void leave_walk() noexcept;

// A walk on this thread, from letting go of the interpreter lock until it
// is back.
class Walk {
 public:
  // Only made with the interpreter lock held, so never inside another
  // walk that still goes without it.
  Walk() : state_(PyEval_SaveThread()) {
    std::exception_ptr failed;
    try {
      enter_walk();
    } catch (...) {
      failed = std::current_exception();
    }
    if (failed) {
      take_back(state_);  // outside the handler (see take_back)
      std::rethrow_exception(failed);
    }
    current = this;
  }
  ~Walk() {
    if (state_ != nullptr) back();
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  void back() noexcept {
    leave_walk();  // first: a fork waiting for the gate may hold the lock
    current = nullptr;
    take_back(std::exchange(state_, nullptr));
  }

  // PyEval_RestoreThread, but for a thread other than the main one once
  // the interpreter is exiting: that one it ends with pthread_exit, whose
  // unwinding may not pass the noexcept frames above (deallocs, the fault
  // boundary), and would abort the process.  Such a thread sleeps for good
  // instead, holding nothing, as newer interpreters do themselves.  Not
  // within a catch handler: one begun there aborts the process.
  static void take_back(PyThreadState* state) noexcept;

  // The walk this thread is in without the interpreter lock, if any.
  static inline thread_local Walk* current = nullptr;

 private:
  PyThreadState* state_;
};
}  // namespace detail

// How many threads are in a released walk right now (for tests).
std::size_t walks_running() noexcept;

// f() without the interpreter lock; inside a walk that has let go of it
// already (work a big frame's released read hands on), f() as it is.
template <class F>
decltype(auto) without_interpreter(F&& f) {
  if (detail::Walk::current != nullptr) return std::forward<F>(f)();
  detail::Walk walk;
  return std::forward<F>(f)();
}

// f() with the interpreter lock, which a released walk takes back first.
template <class F>
decltype(auto) with_interpreter(F&& f) {
  if (detail::Walk::current != nullptr) detail::Walk::current->back();
  return std::forward<F>(f)();
}

// Lets threads waiting for the interpreter lock run for a moment: for long
// work that must hold it (a big result being built), every kRunLength
// items, so that none of them waits long.
inline constexpr std::size_t kRunLength = std::size_t{1} << 14;
inline void let_others_run() {
  without_interpreter([] {});
}

// A new list of the ids each(add) gives, add(id) for each: half a million
// ints take tens of milliseconds to make, so other threads run between
// runs of them.  Appended, so that the list is whole whenever they could
// see it (through the collector, say).
template <class Each>
PyObject* id_list_of(Each&& each) {
  OwnedRef list = OwnedRef::steal(checked_result(PyList_New(0)));
  std::size_t n = 0;
  each([&](std::uint64_t id) {
    if (n != 0 && n % kRunLength == 0) let_others_run();
    ++n;
    OwnedRef item = OwnedRef::steal(u64_result(id));
    if (PyList_Append(list.get(), item.get()) < 0) throw_pending();
  });
  return list.release();
}

// destroy(), which lets go of `entries` records: without the interpreter
// lock when they are as many as a long walk, since freeing them takes as
// long.  Fit for a tp_dealloc: should letting go of the lock fail, they
// are freed with it.
template <class F>
void let_go(std::size_t entries, F&& destroy) noexcept {
  if (is_long_work(entries)) {
    try {
      without_interpreter(destroy);
      return;
    } catch (...) {
    }
  }
  destroy();
}

// Let go of a guild taken out of the cache.
inline void let_go(std::optional<GuildRecord>& guild) noexcept {
  if (guild) let_go(guild->extra().sole_entries(), [&] { guild.reset(); });
}

}  // namespace tarnwick
