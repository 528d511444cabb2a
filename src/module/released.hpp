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
//     unwinds to the fault boundary.
#pragma once

#include <cstddef>
#include <utility>

#include "module/python.hpp"

namespace tarnwick {

namespace detail {
// The fork gate: released walks hold it shared, a fork exclusively.
void enter_walk();
void leave_walk() noexcept;
}  // namespace detail

// How many threads are in a released walk right now (for tests).
std::size_t walks_running() noexcept;

template <class F>
decltype(auto) without_interpreter(F&& f) {
  PyThreadState* saved = PyEval_SaveThread();
  struct Back {
    PyThreadState* saved;
    ~Back() { PyEval_RestoreThread(saved); }
  } back{saved};
  detail::enter_walk();
  struct Leave {
    ~Leave() { detail::leave_walk(); }
  } leave;
  return std::forward<F>(f)();
}

}  // namespace tarnwick
