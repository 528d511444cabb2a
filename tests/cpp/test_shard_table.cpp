#include "core/shard_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "counted.hpp"
#include "core/siphash.hpp"

namespace tarnwick {
namespace {

using testing_support::Counted;

using HashFn = std::uint64_t (*)(std::uint64_t) noexcept;

std::uint64_t sip(std::uint64_t k) noexcept { return siphash13_u64(1, 2, k); }

template <class V>
std::optional<V> put(ShardTable<V>& t, std::uint64_t key, V value, HashFn h = sip) {
  return t.insert(h(key), key, std::move(value), h);
}

template <class V>
const V* lookup(const ShardTable<V>& t, std::uint64_t key, HashFn h = sip) {
  return t.find(h(key), key);
}

TEST(ShardTable, NewTableOwnsNothingAndFindsNothing) {
  const ShardTable<int> t;
  EXPECT_EQ(t.bucket_count(), 0u);
  EXPECT_EQ(t.size(), 0u);
  EXPECT_TRUE(t.control().empty());
  EXPECT_EQ(lookup(t, 0), nullptr);
  EXPECT_EQ(lookup(t, 42), nullptr);
}

TEST(ShardTable, GrowsAtTheFourthEighthFifteenthAndTwentyNinthKey) {
  ShardTable<std::uint64_t> t;
  std::vector<std::size_t> buckets_after;
  for (std::uint64_t k = 1; k <= 57; ++k) {
    EXPECT_FALSE(put(t, k, k * 10).has_value());
    buckets_after.push_back(t.bucket_count());
    for (std::uint64_t j = 1; j <= k; ++j) {
      const auto* v = lookup(t, j);
      ASSERT_NE(v, nullptr) << "key " << j << " lost after inserting " << k;
      ASSERT_EQ(*v, j * 10);
    }
  }
  for (std::size_t n = 1; n <= 57; ++n) {
    const std::size_t expected = n <= 3 ? 4 : n <= 7 ? 8 : n <= 14 ? 16 : n <= 28 ? 32 : n <= 56 ? 64 : 128;
    EXPECT_EQ(buckets_after[n - 1], expected) << "after " << n << " keys";
  }
  EXPECT_EQ(t.size(), 57u);
}

struct SizingCase {
  std::size_t need, buckets;
};
void PrintTo(const SizingCase& c, std::ostream* os) { *os << "need=" << c.need; }
class BucketsFor : public testing::TestWithParam<SizingCase> {};
TEST_P(BucketsFor, HoldsTheNeedAtMaximumLoad) {
  const std::size_t b = ShardTable<int>::buckets_for(GetParam().need);
  EXPECT_EQ(b, GetParam().buckets);
  EXPECT_GE(ShardTable<int>::capacity_of(b), GetParam().need);
}
INSTANTIATE_TEST_SUITE_P(Rules, BucketsFor,
                         testing::Values(SizingCase{1, 4}, SizingCase{3, 4}, SizingCase{4, 8},
                                         SizingCase{7, 8}, SizingCase{8, 16},
                                         SizingCase{14, 16}, SizingCase{15, 32},
                                         SizingCase{28, 32}, SizingCase{29, 64},
                                         SizingCase{112, 128}, SizingCase{113, 256}));

TEST(ShardTable, CapacityIsSevenEighthsOrOneLessForTinyTables) {
  EXPECT_EQ(ShardTable<int>::capacity_of(0), 0u);
  EXPECT_EQ(ShardTable<int>::capacity_of(4), 3u);
  EXPECT_EQ(ShardTable<int>::capacity_of(8), 7u);
  EXPECT_EQ(ShardTable<int>::capacity_of(16), 14u);
  EXPECT_EQ(ShardTable<int>::capacity_of(1024), 896u);
}

TEST(ShardTable, AbsurdNeedIsACapacityOverflow) {
  EXPECT_THROW(ShardTable<int>::buckets_for(SIZE_MAX / 2), InternalFault);
}

// Hash functions that force the probe paths a good hash rarely takes.
std::uint64_t all_equal(std::uint64_t) noexcept { return 0x1234'5678'9abc'def0ULL; }
std::uint64_t same_start_many_tags(std::uint64_t k) noexcept { return (k << 57) | 5; }
std::uint64_t same_tag_many_starts(std::uint64_t k) noexcept { return (0x2AULL << 57) | k; }
std::uint64_t tail_start(std::uint64_t k) noexcept { return (k << 57) | 0xFFFF'FFFF; }

struct HashCase {
  const char* name;
  HashFn hash;
};
void PrintTo(const HashCase& c, std::ostream* os) { *os << c.name; }
class CollidingHashes : public testing::TestWithParam<HashCase> {};

TEST_P(CollidingHashes, EveryKeyIsFoundAndNoAbsentKeyIs) {
  const HashFn h = GetParam().hash;
  ShardTable<std::uint64_t> t;
  constexpr std::uint64_t kKeys = 300;
  for (std::uint64_t k = 0; k < kKeys; ++k) ASSERT_FALSE(put(t, k, ~k, h).has_value());
  for (std::uint64_t k = 0; k < kKeys; ++k) {
    const auto* v = lookup(t, k, h);
    ASSERT_NE(v, nullptr) << k;
    EXPECT_EQ(*v, ~k);
  }
  for (std::uint64_t k = kKeys; k < kKeys + 50; ++k) EXPECT_EQ(lookup(t, k, h), nullptr);
  EXPECT_EQ(t.size(), kKeys);
  // Replacing under collisions still finds the one existing entry.
  for (std::uint64_t k = 0; k < kKeys; k += 7) {
    const auto old = put(t, k, k, h);
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(*old, ~k);
  }
  EXPECT_EQ(t.size(), kKeys);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CollidingHashes,
    testing::Values(HashCase{"SipHash", sip}, HashCase{"AllEqual", all_equal},
                    HashCase{"SameStartManyTags", same_start_many_tags},
                    HashCase{"SameTagManyStarts", same_tag_many_starts},
                    HashCase{"StartNearTheEnd", tail_start}),
    [](const testing::TestParamInfo<HashCase>& info) { return std::string(info.param.name); });

class ControlBytes : public testing::TestWithParam<std::size_t> {};

TEST_P(ControlBytes, TailMirrorsTheTableAndFullBytesCountTheEntries) {
  ShardTable<int> t;
  for (std::uint64_t k = 0; k < GetParam(); ++k) put(t, k, 0);
  const auto ctrl = t.control();
  const std::size_t b = t.bucket_count();
  ASSERT_EQ(ctrl.size(), b + kGroupWidth);
  for (std::size_t p = 0; p < ctrl.size(); ++p) EXPECT_EQ(ctrl[p], ctrl[p & (b - 1)]) << p;
  std::size_t full = 0;
  for (std::size_t i = 0; i < b; ++i) {
    EXPECT_TRUE(ctrl[i] == kCtrlEmpty || ctrl[i] < 0x80);
    full += ctrl[i] < 0x80;
  }
  EXPECT_EQ(full, GetParam());
  EXPECT_EQ(t.growth_left(), ShardTable<int>::capacity_of(b) - GetParam());
}

INSTANTIATE_TEST_SUITE_P(Fill, ControlBytes, testing::Values(1, 3, 4, 7, 8, 14, 20, 100));

TEST(ShardTable, ReplacingReturnsTheOldValueAndKeepsOneEntry) {
  ShardTable<std::uint64_t> t;
  EXPECT_FALSE(put(t, 9, std::uint64_t{1}).has_value());
  const auto old = put(t, 9, std::uint64_t{2});
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(*old, 1u);
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(*lookup(t, 9), 2u);
}

TEST(ShardTable, ExtremeKeys) {
  ShardTable<int> t;
  put(t, 0, 1);
  put(t, UINT64_MAX, 2);
  EXPECT_EQ(*lookup(t, 0), 1);
  EXPECT_EQ(*lookup(t, UINT64_MAX), 2);
  EXPECT_EQ(lookup(t, 1), nullptr);
}

TEST(ShardTable, CopyHasTheSameShapeAndIsIndependent) {
  ShardTable<Counted> src;
  for (std::uint64_t k = 0; k < 40; ++k) put(src, k, Counted(k));
  ShardTable<Counted> copy(src);
  EXPECT_EQ(copy.bucket_count(), src.bucket_count());
  EXPECT_EQ(copy.size(), src.size());
  EXPECT_EQ(copy.growth_left(), src.growth_left());
  EXPECT_TRUE(std::equal(src.control().begin(), src.control().end(), copy.control().begin(),
                         copy.control().end()));
  for (std::uint64_t k = 0; k < 40; ++k) {
    const Counted* a = lookup(src, k);
    const Counted* b = lookup(copy, k);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(b->value(), k);
  }
  put(src, 1000, Counted(1));
  put(copy, 3, Counted(333));
  EXPECT_EQ(lookup(copy, 1000), nullptr);
  EXPECT_EQ(lookup(src, 3)->value(), 3u);
  EXPECT_EQ(lookup(copy, 3)->value(), 333u);

  const ShardTable<Counted> empty;
  const ShardTable<Counted> empty_copy(empty);
  EXPECT_EQ(empty_copy.bucket_count(), 0u);
}

TEST(ShardTable, EveryValueIsDestroyedExactlyOnce) {
  const long before = Counted::live();
  {
    ShardTable<Counted> t;
    for (std::uint64_t k = 0; k < 500; ++k) put(t, k, Counted(k));  // many growths
    for (std::uint64_t k = 0; k < 500; k += 3) {
      const auto old = put(t, k, Counted(k + 1));
      ASSERT_TRUE(old.has_value());
      EXPECT_EQ(old->value(), k);
    }
    EXPECT_EQ(Counted::live(), before + 500);
    ShardTable<Counted> copy(t);
    EXPECT_EQ(Counted::live(), before + 1000);
    ShardTable<Counted> moved(std::move(copy));
    EXPECT_EQ(copy.bucket_count(), 0u);
    moved = std::move(t);  // drops the copied values
    EXPECT_EQ(Counted::live(), before + 500);
    EXPECT_EQ(lookup(moved, 3)->value(), 4u);
  }
  EXPECT_EQ(Counted::live(), before);
}

TEST(ShardTable, FailedCopyReleasesWhatItBuiltAndLeavesTheSourceIntact) {
  const long before = Counted::live();
  {
    ShardTable<Counted> src;
    for (std::uint64_t k = 0; k < 30; ++k) put(src, k, Counted(k));
    Counted::fail_copy_number(10);
    EXPECT_THROW(ShardTable<Counted>{src}, std::runtime_error);
    Counted::fail_copy_number(0);
    EXPECT_EQ(Counted::live(), before + 30);
    for (std::uint64_t k = 0; k < 30; ++k) EXPECT_EQ(lookup(src, k)->value(), k);
  }
  EXPECT_EQ(Counted::live(), before);
}

}  // namespace
}  // namespace tarnwick
