#include "core/sharded_map.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "counted.hpp"
#include "core/processors.hpp"

namespace tarnwick {
namespace {

using testing_support::Counted;

// Keys that land in shard `shard` of `m`, in increasing order.
template <class V>
std::vector<std::uint64_t> keys_in_shard(const ShardedMap<V>& m, std::size_t shard,
                                         std::size_t n) {
  std::vector<std::uint64_t> keys;
  for (std::uint64_t k = 0; keys.size() < n; ++k) {
    if (m.shard_index_of(k) == shard) keys.push_back(k);
  }
  return keys;
}

std::string fault_text(std::size_t amount) {
  try {
    ShardedMap<int>::with_shard_amount(amount);
  } catch (const InternalFault& f) {
    return f.what();
  }
  return "no fault";
}

struct ShapeCase {
  std::size_t processors, shards;
  unsigned shift;
};
void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.processors << " processors"; }
class MapShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(MapShape, ShardCountAndShiftFollowTheProcessorCount) {
  const auto m = ShardedMap<int>::with_shard_amount(shard_amount_for(GetParam().processors));
  EXPECT_EQ(m.shard_count(), GetParam().shards);
  EXPECT_EQ(m.shift(), GetParam().shift);
  std::vector<std::size_t> per_shard(m.shard_count());
  for (std::uint64_t k = 0; k < 100 * m.shard_count(); ++k) {
    const std::size_t i = m.shard_index_of(k);
    ASSERT_LT(i, m.shard_count());
    ++per_shard[i];
  }
  for (std::size_t i = 0; i < m.shard_count(); ++i) {
    EXPECT_GT(per_shard[i], 0u) << "shard " << i << " never chosen";
    EXPECT_EQ(m.shard_table(i).bucket_count(), 0u);  // a new map owns no tables
    EXPECT_EQ(m.lock_word(i), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Machines, MapShape,
                         testing::Values(ShapeCase{1, 4, 62}, ShapeCase{6, 32, 59},
                                         ShapeCase{16, 64, 58}, ShapeCase{3, 16, 60}));

TEST(ShardedMap, DefaultMapUsesTheProcessShardAmount) {
  const ShardedMap<int> m;
  EXPECT_EQ(m.shard_count(), shard_amount());
  EXPECT_EQ(m.shift(), 64u - static_cast<unsigned>(std::countr_zero(shard_amount())));
}

TEST(ShardedMap, ShardsAreAlignedAndPaddedTo128Bytes) {
  const auto m = ShardedMap<int>::with_shard_amount(8);
  for (std::size_t i = 0; i + 1 < m.shard_count(); ++i) {
    const auto here = reinterpret_cast<std::uintptr_t>(&m.shard_table(i));
    const auto next = reinterpret_cast<std::uintptr_t>(&m.shard_table(i + 1));
    EXPECT_EQ(next - here, 128u);
    EXPECT_EQ(here % 128, sizeof(RwLock));  // the lock word opens each shard
  }
}

TEST(ShardedMap, RejectsShardAmountsThatAreNotPowersOfTwoAboveOne) {
  EXPECT_EQ(fault_text(0), "assertion failed: shard_amount > 1");
  EXPECT_EQ(fault_text(1), "assertion failed: shard_amount > 1");
  EXPECT_EQ(fault_text(3), "assertion failed: shard_amount.is_power_of_two()");
  EXPECT_EQ(fault_text(12), "assertion failed: shard_amount.is_power_of_two()");
  EXPECT_EQ(fault_text(2), "no fault");
}

TEST(ShardedMap, EachMapOfAThreadGetsTheNextFirstKey) {
  const auto a = ShardedMap<int>::with_shard_amount(4);
  const auto b = ShardedMap<int>::with_shard_amount(4);
  EXPECT_EQ(b.key0(), a.key0() + 1);
  EXPECT_EQ(b.key1(), a.key1());
  std::uint64_t other_k0 = 0, other_k1 = 0;
  std::thread([&] {
    const auto c = ShardedMap<int>::with_shard_amount(4);
    other_k0 = c.key0();
    other_k1 = c.key1();
  }).join();
  EXPECT_FALSE(other_k0 == a.key0() && other_k1 == a.key1());  // fresh random pair
}

TEST(ShardedMap, TheFourthEighthFifteenthAndTwentyNinthKeyGrowAShard) {
  auto m = ShardedMap<std::uint64_t>::with_shard_amount(4);
  const std::size_t shard = 2;
  const auto keys = keys_in_shard(m, shard, 29);
  const std::size_t growth_at[] = {4, 8, 15, 29};
  const std::size_t grown_to[] = {8, 16, 32, 64};
  std::size_t expected_buckets = 4, next_growth = 0;
  for (std::size_t n = 1; n <= keys.size(); ++n) {
    EXPECT_FALSE(m.insert(keys[n - 1], keys[n - 1] * 3).has_value());
    if (next_growth < 4 && n == growth_at[next_growth]) expected_buckets = grown_to[next_growth++];
    ASSERT_EQ(m.shard_table(shard).bucket_count(), expected_buckets) << "after key " << n;
    for (std::size_t j = 0; j < n; ++j) {
      const auto g = m.get(keys[j]);
      ASSERT_TRUE(g) << "key #" << j << " lost after " << n << " inserts";
      EXPECT_EQ(g.value(), keys[j] * 3);
    }
  }
  for (std::size_t i = 0; i < m.shard_count(); ++i) {
    if (i != shard) {
      EXPECT_EQ(m.shard_table(i).bucket_count(), 0u);
    }
  }
}

TEST(ShardedMap, ExtremeKeysAreOrdinary) {
  auto m = ShardedMap<std::string>::with_shard_amount(4);
  m.insert(0, "zero");
  m.insert(UINT64_MAX, "max");
  const auto zero = m.get(0);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero.key(), 0u);
  EXPECT_EQ(zero.value(), "zero");
  const auto max = m.get(UINT64_MAX);
  ASSERT_TRUE(max);
  EXPECT_EQ(max.key(), UINT64_MAX);
  EXPECT_EQ(max.value(), "max");
  EXPECT_FALSE(m.get(1));
}

TEST(ShardedMap, InsertReturnsThePreviousValueAndKeepsOneEntry) {
  auto m = ShardedMap<std::string>::with_shard_amount(4);
  EXPECT_FALSE(m.insert(7, "first").has_value());
  EXPECT_EQ(m.insert(7, "second"), std::optional<std::string>("first"));
  EXPECT_EQ(m.shard_table(m.shard_index_of(7)).size(), 1u);
  EXPECT_EQ(m.get(7).value(), "second");
}

TEST(ShardedMap, ReadGuardHoldsTheShardReadLock) {
  auto m = ShardedMap<int>::with_shard_amount(4);
  m.insert(5, 50);
  const std::size_t shard = m.shard_index_of(5);
  {
    auto g = m.get(5);
    EXPECT_EQ(m.lock_word(shard), 4u);
    auto moved = std::move(g);
    EXPECT_FALSE(g);
    EXPECT_EQ(m.lock_word(shard), 4u);
    auto second = m.get(5);
    EXPECT_EQ(m.lock_word(shard), 8u);
    second = std::move(moved);  // drops second's hold, takes moved's
    EXPECT_EQ(m.lock_word(shard), 4u);
    EXPECT_EQ(second.value(), 50);
  }
  EXPECT_EQ(m.lock_word(shard), 0u);
}

TEST(ShardedMap, GetOfAnAbsentKeyLeavesTheLockWordAsItWas) {
  auto m = ShardedMap<int>::with_shard_amount(4);
  const auto keys = keys_in_shard(m, 1, 2);
  EXPECT_FALSE(m.get(keys[0]));
  EXPECT_EQ(m.lock_word(1), 0u);  // on an empty table
  m.insert(keys[0], 1);
  EXPECT_FALSE(m.get(keys[1]));
  EXPECT_EQ(m.lock_word(1), 0u);  // on a filled table
  const auto held = m.get(keys[0]);
  EXPECT_FALSE(m.get(keys[1]));
  EXPECT_EQ(m.lock_word(1), 4u);  // while another reader holds the shard
}

// Records the lock word of its key's shard at the moment it is destroyed.
struct Witness {
  const ShardedMap<Witness>* map = nullptr;
  std::uint64_t key = 0;
  std::vector<std::uint64_t>* seen = nullptr;

  Witness(const ShardedMap<Witness>* m, std::uint64_t k, std::vector<std::uint64_t>* s)
      : map(m), key(k), seen(s) {}
  Witness(const Witness&) = default;
  Witness(Witness&& o) noexcept : map(o.map), key(o.key), seen(std::exchange(o.seen, nullptr)) {}
  Witness& operator=(Witness&& o) noexcept {
    map = o.map;
    key = o.key;
    seen = std::exchange(o.seen, nullptr);
    return *this;
  }
  ~Witness() {
    if (seen != nullptr) seen->push_back(map->lock_word(map->shard_index_of(key)));
  }
};

// get_many against get(), over batches of every shape: shorter and longer
// than one batch, repeated keys, absent keys, several shard amounts.  Each
// found key's value is touched and then handed over, with its shard's read
// lock held.
class GetMany : public testing::TestWithParam<std::size_t> {};

TEST_P(GetMany, FindsWhatGetFinds) {
  auto m = ShardedMap<std::uint64_t>::with_shard_amount(GetParam());
  std::mt19937_64 rng(GetParam());
  for (std::uint64_t k = 0; k < 1000; ++k) m.insert(k * 3, k);  // keys not divisible by 3 are absent
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{7}, ShardedMap<std::uint64_t>::kManyAtOnce, std::size_t{1000}}) {
    std::vector<std::uint64_t> keys(n);
    for (auto& k : keys) k = rng() % 3300;
    std::vector<int> touched(n), seen(n);
    std::size_t touches = 0;
    m.get_many(
        keys.data(), n, [&](const std::uint64_t&) { ++touches; },
        [&](std::size_t i, const std::uint64_t& v) {
          ++seen[i];
          EXPECT_EQ(v * 3, keys[i]);
          EXPECT_NE(m.lock_word(m.shard_index_of(keys[i])), 0u);  // read-locked
        });
    std::size_t filed = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const bool here = static_cast<bool>(m.get(keys[i]));
      filed += here;
      ASSERT_EQ(seen[i], here ? 1 : 0) << "key " << keys[i];
    }
    EXPECT_EQ(touches, filed);
  }
}

INSTANTIATE_TEST_SUITE_P(Shards, GetMany, testing::Values(2, 8, 64));

TEST(ShardedMap, ReplacedValueIsDestroyedAfterTheLockIsReleased) {
  auto m = ShardedMap<Witness>::with_shard_amount(4);
  std::vector<std::uint64_t> seen;
  m.insert(3, Witness(&m, 3, &seen));
  m.insert(3, Witness(&m, 3, nullptr));  // the old witness dies with the result
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], 0u);
}

TEST(ShardedMap, CopyIsIndependentOfItsSource) {
  auto src = ShardedMap<std::uint64_t>::with_shard_amount(8);
  for (std::uint64_t k = 0; k < 300; ++k) src.insert(k, k + 1);
  auto copy = src.copy();
  EXPECT_EQ(copy.shard_count(), src.shard_count());
  EXPECT_EQ(copy.shift(), src.shift());
  EXPECT_EQ(copy.key0(), src.key0());
  EXPECT_EQ(copy.key1(), src.key1());
  for (std::size_t i = 0; i < src.shard_count(); ++i) {
    const auto a = src.shard_table(i).control();
    const auto b = copy.shard_table(i).control();
    EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end())) << "shard " << i;
    EXPECT_EQ(copy.lock_word(i), 0u);
    EXPECT_EQ(src.lock_word(i), 0u);
  }
  src.insert(1000, 1);
  src.insert(5, 555);
  copy.insert(2000, 2);
  copy.insert(6, 666);
  EXPECT_FALSE(copy.get(1000));
  EXPECT_FALSE(src.get(2000));
  EXPECT_EQ(copy.get(5).value(), 6u);
  EXPECT_EQ(src.get(6).value(), 7u);
  for (std::uint64_t k = 0; k < 300; ++k) {
    ASSERT_TRUE(src.get(k));
    ASSERT_TRUE(copy.get(k));
  }
}

TEST(ShardedMap, EveryValueIsDestroyedExactlyOnce) {
  const long before = Counted::live();
  {
    auto m = ShardedMap<Counted>::with_shard_amount(4);
    for (std::uint64_t k = 0; k < 1000; ++k) m.insert(k, Counted(k));
    for (std::uint64_t k = 0; k < 1000; k += 10) {
      const auto old = m.insert(k, Counted(k + 1));
      ASSERT_TRUE(old);
      EXPECT_EQ(old->value(), k);
    }
    EXPECT_EQ(Counted::live(), before + 1000);
    {
      const auto copy = m.copy();
      EXPECT_EQ(Counted::live(), before + 2000);
    }
    EXPECT_EQ(Counted::live(), before + 1000);
    auto moved = std::move(m);
    auto target = ShardedMap<Counted>::with_shard_amount(4);
    target.insert(1, Counted(1));
    target = std::move(moved);
    EXPECT_EQ(Counted::live(), before + 1000);
    EXPECT_EQ(target.get(10).value().value(), 11u);
  }
  EXPECT_EQ(Counted::live(), before);
}

TEST(ShardedMap, FailedCopyLeavesNoValuesBehindAndTheSourceUnlocked) {
  const long before = Counted::live();
  {
    auto m = ShardedMap<Counted>::with_shard_amount(4);
    for (std::uint64_t k = 0; k < 100; ++k) m.insert(k, Counted(k));
    Counted::fail_copy_number(60);
    EXPECT_THROW(m.copy(), std::runtime_error);
    Counted::fail_copy_number(0);
    EXPECT_EQ(Counted::live(), before + 100);
    for (std::size_t i = 0; i < m.shard_count(); ++i) EXPECT_EQ(m.lock_word(i), 0u);
  }
  EXPECT_EQ(Counted::live(), before);
}

// Many threads on two small maps: inserts (new keys and replacements),
// gets that check the value belongs to the key, copies checked against the
// keys known to be present, and nested guards (one map's guard held while
// reading the other, the one nesting order the registry uses).
TEST(ShardedMapStress, MixedOperationsUnderContention) {
  const long before = Counted::live();
  {
    constexpr std::size_t kThreads = 8, kOps = 3000;
    constexpr std::uint64_t kKeys = 256, kSeeded = 64;
    auto outer = ShardedMap<Counted>::with_shard_amount(4);
    auto inner = ShardedMap<Counted>::with_shard_amount(4);
    for (std::uint64_t k = 0; k < kSeeded; ++k) {
      outer.insert(k, Counted(k << 32));
      inner.insert(k, Counted(k << 32));
    }
    std::atomic<std::size_t> failures{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937_64 rng(t + 1);
        for (std::size_t op = 0; op < kOps; ++op) {
          const std::uint64_t key = rng() % kKeys;
          auto& map = (rng() & 1) ? outer : inner;
          const unsigned dice = static_cast<unsigned>(rng() % 100);
          if (dice < 60) {
            const auto g = map.get(key);
            if (g && g.value().value() >> 32 != key) failures.fetch_add(1);
            if (key < kSeeded && !g) failures.fetch_add(1);
          } else if (dice < 90) {
            auto old = map.insert(key, Counted((key << 32) | op));
            if (old && old->value() >> 32 != key) failures.fetch_add(1);
          } else if (dice < 97) {
            const auto g = outer.get(key);
            const auto h = inner.get(kKeys - 1 - key);
            if (g && g.value().value() >> 32 != key) failures.fetch_add(1);
            if (h && h.value().value() >> 32 != kKeys - 1 - key) failures.fetch_add(1);
          } else {
            const auto snapshot = map.copy();
            for (std::uint64_t k = 0; k < kSeeded; ++k) {
              const auto g = snapshot.get(k);
              if (!g || g.value().value() >> 32 != k) failures.fetch_add(1);
            }
          }
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0u);
    std::size_t entries = 0;
    for (const auto* m : {&outer, &inner}) {
      std::size_t in_map = 0;
      for (std::size_t i = 0; i < m->shard_count(); ++i) {
        EXPECT_EQ(m->lock_word(i), 0u);
        in_map += m->shard_table(i).size();
      }
      EXPECT_GE(in_map, kSeeded);
      EXPECT_LE(in_map, kKeys);
      entries += in_map;
    }
    EXPECT_EQ(Counted::live(), before + static_cast<long>(entries));
  }
  EXPECT_EQ(Counted::live(), before);
}

TEST(ShardedMap, EraseSizeClearAndForEach) {
  const long before = Counted::live();
  {
    auto m = ShardedMap<Counted>::with_shard_amount(8);
    for (std::uint64_t k = 0; k < 500; ++k) m.insert(k, Counted(k));
    for (std::uint64_t k = 0; k < 500; k += 5) {
      const auto old = m.erase(k);
      ASSERT_TRUE(old);
      EXPECT_EQ(old->value(), k);
      EXPECT_FALSE(m.erase(k));
      EXPECT_FALSE(m.get(k));
    }
    EXPECT_EQ(m.size(), 400u);
    std::uint64_t sum = 0, n = 0;
    m.for_each([&](std::uint64_t k, const Counted& v) {
      EXPECT_EQ(k, v.value());
      sum += k;
      ++n;
    });
    EXPECT_EQ(n, 400u);
    EXPECT_EQ(sum, 499u * 500 / 2 - 5 * (99u * 100 / 2));
    for (std::size_t i = 0; i < m.shard_count(); ++i) EXPECT_EQ(m.lock_word(i), 0u);
    m.clear();
    EXPECT_EQ(m.size(), 0u);
    EXPECT_EQ(Counted::live(), before);
    m.insert(7, Counted(7));
    EXPECT_EQ(m.get(7).value().value(), 7u);
  }
  EXPECT_EQ(Counted::live(), before);
}

TEST(ShardedMap, EraseIfHandsOverWhatItTakesAndKeepsTheRest) {
  const long before = Counted::live();
  {
    auto m = ShardedMap<Counted>::with_shard_amount(8);
    for (std::uint64_t k = 0; k < 3000; ++k) m.insert(k, Counted(k));
    ShardedMap<Counted>::Removed out;
    m.erase_if([](std::uint64_t k, const Counted& v) { return k % 3 != 0 && v.value() == k; }, out);
    ASSERT_EQ(out.size(), 2000u);
    out.each([](const Counted& v) { EXPECT_NE(v.value() % 3, 0u); });
    EXPECT_EQ(Counted::live(), before + 3000);  // the taken ones live on in `out`
    EXPECT_EQ(m.size(), 1000u);
    for (std::uint64_t k = 0; k < 3000; k += 3) ASSERT_EQ(m.get(k).value().value(), k);
    for (std::size_t i = 0; i < m.shard_count(); ++i) EXPECT_EQ(m.lock_word(i), 0u);
    m.erase_if([](std::uint64_t, const Counted&) { return true; }, out);
    EXPECT_EQ(out.size(), 3000u);
    EXPECT_EQ(m.storage_bytes(), m.shard_count() * 128);  // emptied tables hold no storage
  }
  EXPECT_EQ(Counted::live(), before);
}

// A few taken from each shard go one by one; the tables stay.
TEST(ShardedMap, EraseIfTakesAFewOneByOne) {
  const long before = Counted::live();
  {
    auto m = ShardedMap<Counted>::with_shard_amount(8);
    for (std::uint64_t k = 0; k < 3000; ++k) m.insert(k, Counted(k));
    ShardedMap<Counted>::Removed out;
    m.erase_if([](std::uint64_t k, const Counted&) { return k % 4 == 0; }, out);
    ASSERT_EQ(out.size(), 750u);
    out.each([](const Counted& v) { EXPECT_EQ(v.value() % 4, 0u); });
    EXPECT_EQ(m.size(), 2250u);
    for (std::uint64_t k = 0; k < 3000; ++k) ASSERT_EQ(static_cast<bool>(m.get(k)), k % 4 != 0);
    EXPECT_EQ(Counted::live(), before + 3000);
  }
  EXPECT_EQ(Counted::live(), before);
}

// Walks that each let go between runs, one of them emptying the shards
// (their storage freed) under the other, while a writer refills them.
TEST(ShardedMapStress, EraseIfWalksSurviveEachOther) {
  auto m = ShardedMap<std::uint64_t>::with_shard_amount(2);
  for (std::uint64_t k = 0; k < 5000; ++k) m.insert(k, k);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (std::uint64_t k = 0; !stop.load(); k = (k + 1) % 5000) m.insert(k, k);
  });
  std::thread emptier([&] {
    ShardedMap<std::uint64_t>::Removed out;
    while (!stop.load()) {
      m.erase_if<8>([](std::uint64_t, const std::uint64_t&) { return true; }, out);
      out.clear();
    }
  });
  ShardedMap<std::uint64_t>::Removed out;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until) {
    m.erase_if<8>([](std::uint64_t k, const std::uint64_t& v) { return k % 2 == 1 && v == k; }, out);
    out.each([](const std::uint64_t& v) { ASSERT_EQ(v % 2, 1u); });
    out.clear();
  }
  stop.store(true);
  writer.join();
  emptier.join();
}

// Room for what is taken is made between holds, as it fills.  A match
// that is none when asked again after room was made (as a user filed
// meanwhile is kept by a prune), and the many holds with nothing to take
// after it, make no more room.
TEST(ShardedMap, EraseIfMakesRoomOnlyAsItFills) {
  auto m = ShardedMap<std::uint64_t>::with_shard_amount(2);
  for (std::uint64_t k = 0; k < 100'000; ++k) m.insert(k, k);
  std::set<std::uint64_t> asked;
  ShardedMap<std::uint64_t>::Removed out;
  m.erase_if<8>([&](std::uint64_t k, const std::uint64_t&) { return k < 200 && asked.insert(k).second; }, out);
  EXPECT_GT(out.size(), 190u);
  EXPECT_EQ(out.size() + m.size(), 100'000u);
}

// Left with a tenth, too many for a lone erase to shrink a table, each
// shard moves to one that suits what it holds.
TEST(ShardedMap, EraseIfShrinksTheShardsItLeavesSparse) {
  auto m = ShardedMap<std::uint64_t>::with_shard_amount(8);
  for (std::uint64_t k = 0; k < 3000; ++k) m.insert(k, k);
  const std::size_t full = m.storage_bytes();
  ShardedMap<std::uint64_t>::Removed out;
  m.erase_if([](std::uint64_t k, const std::uint64_t&) { return k % 10 != 0; }, out);
  EXPECT_EQ(m.size(), 300u);
  EXPECT_LT(m.storage_bytes() * 2, full);
  for (std::uint64_t k = 0; k < 3000; k += 10) ASSERT_EQ(m.get(k).value(), k);
}

// The walk lets go of each shard's lock between runs of buckets (eight
// here, so there are many).  A writer churns meanwhile (files and removes,
// the tables nearly full at first, so they may grow or rehash under the
// walk): every match is taken all the same, and nothing else.
TEST(ShardedMapStress, EraseIfTakesEveryMatchWhileEntriesMoveUnderIt) {
  constexpr std::uint64_t kOld = 114'000;
  for (int round = 0; round < 3; ++round) {
    auto m = ShardedMap<std::uint64_t>::with_shard_amount(2);
    for (std::uint64_t k = 0; k < kOld; ++k) m.insert(k, k);
    std::atomic<bool> started{false}, done{false};
    std::thread writer([&] {
      while (!started.load()) std::this_thread::yield();
      for (std::uint64_t k = kOld; !done.load(); ++k) {
        m.insert(k, k);
        if (k % 8 != 0) m.erase(k - 1);
      }
    });
    ShardedMap<std::uint64_t>::Removed out;
    m.erase_if<8>(
        [&](std::uint64_t k, const std::uint64_t&) {
          started.store(true);
          return k < kOld && k % 2 == 1;
        },
        out);
    done.store(true);
    writer.join();
    EXPECT_EQ(out.size(), kOld / 2);
    for (std::uint64_t k = 0; k < kOld; ++k) ASSERT_EQ(static_cast<bool>(m.get(k)), k % 2 == 0) << k;
  }
}

// As above, with removals, sizes and walks mixed in: a removed value is
// destroyed once, outside the lock, and never seen again by a reader.
TEST(ShardedMapStress, RemovalsMixedWithInsertsAndReads) {
  const long before = Counted::live();
  {
    constexpr std::size_t kThreads = 8, kOps = 3000;
    constexpr std::uint64_t kKeys = 128;
    auto map = ShardedMap<Counted>::with_shard_amount(4);
    std::atomic<std::size_t> failures{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937_64 rng(t + 31);
        for (std::size_t op = 0; op < kOps; ++op) {
          const std::uint64_t key = rng() % kKeys;
          const unsigned dice = static_cast<unsigned>(rng() % 100);
          if (dice < 40) {
            const auto g = map.get(key);
            if (g && g.value().value() >> 32 != key) failures.fetch_add(1);
          } else if (dice < 70) {
            auto old = map.insert(key, Counted((key << 32) | op));
            if (old && old->value() >> 32 != key) failures.fetch_add(1);
          } else if (dice < 97) {
            auto old = map.erase(key);
            if (old && old->value() >> 32 != key) failures.fetch_add(1);
          } else if (dice < 99) {
            if (map.size() > kKeys) failures.fetch_add(1);
          } else {
            map.for_each([&](std::uint64_t k, const Counted& v) {
              if (v.value() >> 32 != k) failures.fetch_add(1);
            });
          }
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0u);
    for (std::size_t i = 0; i < map.shard_count(); ++i) EXPECT_EQ(map.lock_word(i), 0u);
    EXPECT_EQ(Counted::live(), before + static_cast<long>(map.size()));
  }
  EXPECT_EQ(Counted::live(), before);
}

}  // namespace
}  // namespace tarnwick
