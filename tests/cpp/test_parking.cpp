#include "core/parking.hpp"
#include "eventually.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

namespace tarnwick {
namespace {

// Two distinct addresses that share a parking bucket.
std::pair<const void*, const void*> colliding_keys(const char* base, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (parking::bucket_of(base + i) == parking::bucket_of(base + j)) return {base + i, base + j};
    }
  }
  return {nullptr, nullptr};
}

TEST(Parking, FailedValidationReturnsAtOnceWithoutQueueing) {
  int key = 0;
  int checks = 0;
  EXPECT_FALSE(parking::park(&key, [&] {
    ++checks;
    return false;
  }));
  EXPECT_EQ(checks, 1);
  EXPECT_EQ(parking::parked_on(&key), 0u);
}

TEST(Parking, UnparkingAnEmptyKeyIsHarmless) {
  int key = 0;
  parking::unpark_one(&key);
  parking::unpark_all(&key);
  EXPECT_EQ(parking::parked_on(&key), 0u);
}

TEST(Parking, UnparkOneWakesOneThreadInArrivalOrder) {
  int key = 0;
  std::vector<int> woken_order;
  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
  for (int id = 0; id < 3; ++id) {
    threads.emplace_back([&, id] {
      ASSERT_TRUE(parking::park(&key, [] { return true; }));
      woken_order.push_back(id);  // one at a time: the test wakes them one by one
      woken.fetch_add(1);
    });
    ASSERT_TRUE(eventually([&] { return parking::parked_on(&key) == std::size_t(id) + 1; }));
  }
  for (int n = 1; n <= 3; ++n) {
    parking::unpark_one(&key);
    ASSERT_TRUE(eventually([&] { return woken.load() == n; }));
    EXPECT_EQ(parking::parked_on(&key), std::size_t(3 - n));
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken_order, (std::vector<int>{0, 1, 2}));
}

TEST(Parking, UnparkAllWakesEveryThreadOnTheKey) {
  int key = 0;
  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      parking::park(&key, [] { return true; });
      woken.fetch_add(1);
    });
  }
  ASSERT_TRUE(eventually([&] { return parking::parked_on(&key) == 4; }));
  EXPECT_EQ(woken.load(), 0);
  parking::unpark_all(&key);
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken.load(), 4);
  EXPECT_EQ(parking::parked_on(&key), 0u);
}

TEST(Parking, KeysSharingABucketAreWokenSeparately) {
  static char area[4096];
  const auto [a, b] = colliding_keys(area, sizeof area);
  ASSERT_NE(a, nullptr);
  std::atomic<int> woken_a{0}, woken_b{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, a = a] {
      parking::park(a, [] { return true; });
      woken_a.fetch_add(1);
    });
    threads.emplace_back([&, b = b] {
      parking::park(b, [] { return true; });
      woken_b.fetch_add(1);
    });
  }
  ASSERT_TRUE(eventually([&, a = a, b = b] {
    return parking::parked_on(a) == 2 && parking::parked_on(b) == 2;
  }));
  parking::unpark_all(a);
  ASSERT_TRUE(eventually([&] { return woken_a.load() == 2; }));
  EXPECT_EQ(woken_b.load(), 0);
  EXPECT_EQ(parking::parked_on(b), 2u);
  parking::unpark_one(b);
  ASSERT_TRUE(eventually([&] { return woken_b.load() == 1; }));
  EXPECT_EQ(parking::parked_on(b), 1u);
  parking::unpark_one(b);
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken_b.load(), 2);
}

// A flag hand-off done many times: the waiter parks only while the flag is
// down, the setter raises it and then unparks.  A wake-up lost between the
// waiter's check and its sleep would hang this test.
TEST(Parking, NoWakeUpIsLostBetweenCheckAndSleep) {
  std::atomic<int> flag{0};
  constexpr int kRounds = 2000;
  std::thread waiter([&] {
    for (int round = 1; round <= kRounds; ++round) {
      while (flag.load(std::memory_order_acquire) < round) {
        parking::park(&flag, [&] { return flag.load(std::memory_order_relaxed) < round; });
      }
    }
  });
  for (int round = 1; round <= kRounds; ++round) {
    flag.store(round, std::memory_order_release);
    parking::unpark_all(&flag);
    // Let the waiter catch up now and then, so it is sometimes asleep.
    if (round % 16 == 0 && round < kRounds) {
      ASSERT_TRUE(eventually([&] { return parking::parked_on(&flag) == 1; }));
    }
  }
  waiter.join();
  EXPECT_EQ(parking::parked_on(&flag), 0u);
}

}  // namespace
}  // namespace tarnwick
