#include "core/lazy.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "counted.hpp"

namespace tarnwick {
namespace {

using testing_support::Counted;

// Constant-initialised, so a namespace-scope Lazy has no start-up order.
// It lives as long as the process, so its creations are counted globally.
constinit Lazy<std::string> g_greeting;
int g_greeting_creations = 0;

TEST(Lazy, CreatesOnFirstUseOnly) {
  auto make = [] {
    ++g_greeting_creations;
    return std::string("hello");
  };
  std::string& a = g_greeting.get(make);
  std::string& b = g_greeting.get(make);
  EXPECT_EQ(a, "hello");
  EXPECT_EQ(&a, &b);
  EXPECT_EQ(g_greeting_creations, 1);
}

TEST(Lazy, RacingThreadsShareOneCreation) {
  Lazy<std::vector<int>> lazy;
  std::atomic<int> calls{0};
  std::atomic<int> started{0};
  constexpr int kThreads = 8;
  std::vector<const std::vector<int>*> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      started.fetch_add(1);
      seen[t] = &lazy.get([&] {
        calls.fetch_add(1);
        // Stay in "being created" until the others have arrived, so they
        // must wait rather than find the value ready.
        while (started.load() < kThreads) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return std::vector<int>{1, 2, 3};
      });
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(calls.load(), 1);
  for (const auto* p : seen) {
    EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(*p, (std::vector<int>{1, 2, 3}));
  }
}

TEST(Lazy, ThrowingCreatorPoisonsEveryLaterAccess) {
  Lazy<int> lazy;
  EXPECT_THROW(lazy.get([]() -> int { throw std::runtime_error("creator failed"); }),
               std::runtime_error);
  int calls = 0;
  for (int i = 0; i < 2; ++i) {
    try {
      lazy.get([&] { return ++calls; });
      FAIL() << "expected the poisoned fault";
    } catch (const InternalFault& f) {
      EXPECT_STREQ(f.what(), "Lazy instance has previously been poisoned");
    }
  }
  EXPECT_EQ(calls, 0);
}

TEST(Lazy, ThreadsWaitingOnAFailedCreationSeeThePoison) {
  Lazy<int> lazy;
  std::atomic<bool> creating{false};
  std::atomic<int> poisoned{0};
  std::thread creator([&] {
    EXPECT_THROW(lazy.get([&]() -> int {
      creating = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      throw std::runtime_error("creator failed");
    }),
                 std::runtime_error);
  });
  while (!creating) std::this_thread::yield();
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      try {
        lazy.get([] { return 1; });
      } catch (const InternalFault&) {
        poisoned.fetch_add(1);
      }
    });
  }
  creator.join();
  for (auto& w : waiters) w.join();
  EXPECT_EQ(poisoned.load(), 3);
}

TEST(Lazy, DestroysTheValueItCreated) {
  const long before = Counted::live();
  {
    Lazy<Counted> lazy;
    EXPECT_EQ(lazy.get([] { return Counted(9); }).value(), 9u);
    EXPECT_EQ(Counted::live(), before + 1);
  }
  EXPECT_EQ(Counted::live(), before);
  {
    Lazy<Counted> never_used;
  }
  EXPECT_EQ(Counted::live(), before);
}

}  // namespace
}  // namespace tarnwick
