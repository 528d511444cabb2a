#include "core/rw_lock.hpp"
#include "eventually.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "core/fault.hpp"
#include "core/parking.hpp"

namespace tarnwick {
namespace {

constexpr std::uint64_t kWriter = 0xfffffffffffffffcULL;

TEST(RwLockWord, FreeReadersAndWriter) {
  RwLock l;
  EXPECT_EQ(l.load_word(), 0u);
  l.lock_shared();
  EXPECT_EQ(l.load_word(), 4u);
  l.lock_shared();
  EXPECT_EQ(l.load_word(), 8u);
  l.unlock_shared();
  l.unlock_shared();
  EXPECT_EQ(l.load_word(), 0u);
  l.lock();
  EXPECT_EQ(l.load_word(), kWriter);
  l.unlock();
  EXPECT_EQ(l.load_word(), 0u);
}

TEST(RwLockWord, ReaderHoldingWithWriterParkedIsSix) {
  RwLock l;
  l.lock_shared();
  std::atomic<bool> writer_in{false};
  std::thread writer([&] {
    l.lock();
    writer_in = true;
    l.unlock();
  });
  ASSERT_TRUE(eventually([&] { return l.load_word() == 6; }));
  EXPECT_FALSE(writer_in.load());
  l.unlock_shared();  // 6 -> 2 -> 0, wakes the writer
  writer.join();
  EXPECT_TRUE(writer_in.load());
  EXPECT_EQ(l.load_word(), 0u);
}

TEST(RwLockWord, WriterHoldingWithReaderParked) {
  RwLock l;
  l.lock();
  std::atomic<bool> reader_in{false};
  std::thread reader([&] {
    l.lock_shared();
    reader_in = true;
    l.unlock_shared();
  });
  ASSERT_TRUE(eventually([&] { return l.load_word() == (kWriter | RwLock::kReadersParked); }));
  ASSERT_TRUE(eventually([&] { return parking::parked_on(reinterpret_cast<char*>(&l) + 1) == 1; }));
  EXPECT_FALSE(reader_in.load());
  l.unlock();
  reader.join();
  EXPECT_TRUE(reader_in.load());
  EXPECT_EQ(l.load_word(), 0u);
}

// Writer holds; a reader and a second writer park.  The release lets the
// reader in first (the word passes through 2 and 6), and the last reader out
// wakes the writer, which takes the lock with the parked bit kept.
TEST(RwLockWord, BothKindsParkedReadersGoFirst) {
  RwLock l;
  l.lock();
  std::atomic<int> order{0};
  std::atomic<int> reader_turn{0}, writer_turn{0};
  std::atomic<bool> reader_may_leave{false};
  std::uint64_t word_seen_by_writer = 0;
  std::thread reader([&] {
    l.lock_shared();
    reader_turn = ++order;
    while (!reader_may_leave) std::this_thread::yield();
    l.unlock_shared();
  });
  ASSERT_TRUE(eventually([&] { return parking::parked_on(reinterpret_cast<char*>(&l) + 1) == 1; }));
  std::thread writer([&] {
    l.lock();
    writer_turn = ++order;
    word_seen_by_writer = l.load_word();
    l.unlock();
  });
  ASSERT_TRUE(eventually([&] { return parking::parked_on(&l) == 1; }));
  EXPECT_EQ(l.load_word(), kWriter | 3);
  l.unlock();
  ASSERT_TRUE(eventually([&] { return reader_turn.load() == 1; }));
  EXPECT_EQ(l.load_word(), 6u);
  EXPECT_EQ(writer_turn.load(), 0);
  reader_may_leave = true;
  reader.join();
  writer.join();
  EXPECT_EQ(writer_turn.load(), 2);
  EXPECT_EQ(word_seen_by_writer, kWriter | RwLock::kWritersParked);
  EXPECT_EQ(l.load_word(), 0u);
}

TEST(RwLockWord, ReadersShareTheLock) {
  RwLock l;
  l.lock_shared();
  std::atomic<bool> other_in{false};
  std::thread other([&] {
    l.lock_shared();
    other_in = true;
    l.unlock_shared();
  });
  other.join();  // would hang if readers excluded each other
  EXPECT_TRUE(other_in.load());
  l.unlock_shared();
  EXPECT_EQ(l.load_word(), 0u);
}

struct OverflowCase {
  std::uint64_t start;
  bool faults;
};
void PrintTo(const OverflowCase& c, std::ostream* os) {
  *os << std::hex << "0x" << c.start << (c.faults ? " faults" : " succeeds");
}
class ReaderCount : public testing::TestWithParam<OverflowCase> {};

TEST_P(ReaderCount, StopsBeforeReachingTheWriterPattern) {
  RwLock l(GetParam().start);
  if (GetParam().faults) {
    try {
      l.lock_shared();
      FAIL() << "expected a fault";
    } catch (const InternalFault& f) {
      EXPECT_STREQ(f.what(), "reader count overflowed");
    }
    EXPECT_EQ(l.load_word(), GetParam().start);
  } else {
    l.lock_shared();
    EXPECT_EQ(l.load_word(), GetParam().start + 4);
  }
}

INSTANTIATE_TEST_SUITE_P(Edges, ReaderCount,
                         testing::Values(OverflowCase{0xfffffffffffffff4ULL, false},
                                         OverflowCase{0xfffffffffffffff6ULL, false},
                                         OverflowCase{0xfffffffffffffff8ULL, true},
                                         OverflowCase{0xfffffffffffffffaULL, true}));

// The lock test: `groups` locks, each with `threads_per_group` threads that
// take it `iterations` times and bump a plain counter `work_per_section`
// times inside.  The counters come out exact only if the lock excludes and
// orders; afterwards every lock must be back to 0 (nobody parked, nobody
// flagged).  ThreadSanitizer reads the same runs for missing ordering.
template <class Lock>
void runLockTest(const std::vector<Lock*>& locks, std::size_t threads_per_group,
                 std::size_t work_per_section, std::size_t iterations) {
  struct Group {
    Lock* lock;
    std::size_t counter = 0;
  };
  std::vector<Group> groups;
  for (Lock* l : locks) groups.push_back({l});
  std::vector<std::thread> threads;
  for (Group& g : groups) {
    for (std::size_t t = 0; t < threads_per_group; ++t) {
      threads.emplace_back([&g, work_per_section, iterations] {
        for (std::size_t i = 0; i < iterations; ++i) {
          g.lock->lock();
          for (std::size_t w = 0; w < work_per_section; ++w) {
            // A plain read-modify-write through a volatile view, so the
            // compiler keeps every step inside the section.
            volatile std::size_t* c = &g.counter;
            *c = *c + 1;
          }
          g.lock->unlock();
        }
      });
    }
  }
  for (auto& t : threads) t.join();
  for (const Group& g : groups) {
    EXPECT_EQ(g.counter, threads_per_group * work_per_section * iterations);
    EXPECT_EQ(g.lock->load_word(), 0u);
  }
}

template <class Lock>
void runLockTest(std::size_t groups, std::size_t threads_per_group, std::size_t work_per_section,
                 std::size_t iterations) {
  std::vector<std::unique_ptr<Lock>> owned;
  std::vector<Lock*> locks;
  for (std::size_t i = 0; i < groups; ++i) {
    owned.push_back(std::make_unique<Lock>());
    locks.push_back(owned.back().get());
  }
  runLockTest(locks, threads_per_group, work_per_section, iterations);
}

struct LockCase {
  const char* name;
  std::size_t groups, threads_per_group, work_per_section, iterations;
};
void PrintTo(const LockCase& c, std::ostream* os) { *os << c.name; }
class LockTest : public testing::TestWithParam<LockCase> {};

TEST_P(LockTest, CounterInvariantAndFullReset) {
  const LockCase& c = GetParam();
  runLockTest<RwLock>(c.groups, c.threads_per_group, c.work_per_section, c.iterations);
}

INSTANTIATE_TEST_SUITE_P(
    Workloads, LockTest,
    testing::Values(LockCase{"Uncontended", 1, 1, 1, 50000},
                    LockCase{"UncontendedLong", 1, 1, 1000, 2000},
                    LockCase{"ContendedShort", 1, 4, 1, 20000},
                    LockCase{"ContendedLong", 1, 4, 5000, 500},
                    LockCase{"ManyGroupsShort", 4, 3, 1, 5000},
                    LockCase{"ManyGroupsLong", 4, 3, 3000, 100}),
    [](const testing::TestParamInfo<LockCase>& info) { return std::string(info.param.name); });

// Two locks whose writers park in the same parking bucket: wake-ups must
// still reach the right lock's threads.
TEST(LockTest, LocksCollidingInTheParkingTable) {
  constexpr std::size_t kCandidates = 1024;
  std::unique_ptr<RwLock[]> pool(new RwLock[kCandidates]);
  std::vector<RwLock*> pair;
  for (std::size_t i = 1; i < kCandidates && pair.empty(); ++i) {
    if (parking::bucket_of(&pool[i]) == parking::bucket_of(&pool[0])) pair = {&pool[0], &pool[i]};
  }
  ASSERT_EQ(pair.size(), 2u);
  runLockTest(pair, 4, 2000, 500);
}

// Readers and writers together: writers move two fields one after the
// other, now and then sleeping in between so that others must park; a
// reader must never see the fields differ.  A monitor samples the parking
// table to show that both kinds of thread really parked.
TEST(LockTest, ReadersNeverSeeAHalfWrittenState) {
  RwLock l;
  std::size_t a = 0, b = 0;
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> torn{0}, reads{0};
  constexpr std::size_t kWriters = 3, kWrites = 400;
  std::size_t max_readers_parked = 0, max_writers_parked = 0;
  std::thread monitor([&] {
    while (!stop.load()) {
      max_readers_parked = std::max(max_readers_parked,
                                    parking::parked_on(reinterpret_cast<char*>(&l) + 1));
      max_writers_parked = std::max(max_writers_parked, parking::parked_on(&l));
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        l.lock_shared();
        if (a != b) torn.fetch_add(1);
        l.unlock_shared();
        reads.fetch_add(1, std::memory_order_relaxed);
        // The lock prefers readers; readers that never pause would keep
        // the writers out for a long time.
        std::this_thread::yield();
      }
    });
  }
  std::vector<std::thread> writers;
  for (std::size_t w = 0; w < kWriters; ++w) {
    writers.emplace_back([&] {
      for (std::size_t i = 0; i < kWrites; ++i) {
        l.lock();
        ++a;
        if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        ++b;
        l.unlock();
      }
    });
  }
  for (auto& t : writers) t.join();
  stop = true;
  for (auto& t : readers) t.join();
  monitor.join();
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_GT(reads.load(), 0u);
  EXPECT_EQ(a, kWriters * kWrites);
  EXPECT_EQ(b, kWriters * kWrites);
  EXPECT_EQ(l.load_word(), 0u);
  EXPECT_GT(max_readers_parked, 0u);
  EXPECT_GT(max_writers_parked, 0u);
}

}  // namespace
}  // namespace tarnwick
