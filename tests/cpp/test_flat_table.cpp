#include "core/flat_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
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
std::optional<V> put(FlatTable<V>& t, std::uint64_t key, V value, HashFn h = sip) {
  return t.insert(h(key), key, std::move(value), h);
}

template <class V>
const V* lookup(const FlatTable<V>& t, std::uint64_t key, HashFn h = sip) {
  return t.find(h(key), key);
}

TEST(FlatTable, NewTableOwnsNothingAndFindsNothing) {
  const FlatTable<int> t;
  EXPECT_EQ(t.bucket_count(), 0u);
  EXPECT_EQ(t.size(), 0u);
  EXPECT_TRUE(t.control().empty());
  EXPECT_EQ(lookup(t, 0), nullptr);
  EXPECT_EQ(lookup(t, 42), nullptr);
}

TEST(FlatTable, GrowsAtTheFourthEighthFifteenthAndTwentyNinthKey) {
  FlatTable<std::uint64_t> t;
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
  const std::size_t b = FlatTable<int>::buckets_for(GetParam().need);
  EXPECT_EQ(b, GetParam().buckets);
  EXPECT_GE(FlatTable<int>::capacity_of(b), GetParam().need);
}
INSTANTIATE_TEST_SUITE_P(Rules, BucketsFor,
                         testing::Values(SizingCase{1, 4}, SizingCase{3, 4}, SizingCase{4, 8},
                                         SizingCase{7, 8}, SizingCase{8, 16},
                                         SizingCase{14, 16}, SizingCase{15, 32},
                                         SizingCase{28, 32}, SizingCase{29, 64},
                                         SizingCase{112, 128}, SizingCase{113, 256}));

TEST(FlatTable, CapacityIsSevenEighthsOrOneLessForTinyTables) {
  EXPECT_EQ(FlatTable<int>::capacity_of(0), 0u);
  EXPECT_EQ(FlatTable<int>::capacity_of(4), 3u);
  EXPECT_EQ(FlatTable<int>::capacity_of(8), 7u);
  EXPECT_EQ(FlatTable<int>::capacity_of(16), 14u);
  EXPECT_EQ(FlatTable<int>::capacity_of(1024), 896u);
}

TEST(FlatTable, AbsurdNeedIsACapacityOverflow) {
  EXPECT_THROW(FlatTable<int>::buckets_for(SIZE_MAX / 2), InternalFault);
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
  FlatTable<std::uint64_t> t;
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
  FlatTable<int> t;
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
  EXPECT_EQ(t.growth_left(), FlatTable<int>::capacity_of(b) - GetParam());
}

INSTANTIATE_TEST_SUITE_P(Fill, ControlBytes, testing::Values(1, 3, 4, 7, 8, 14, 20, 100));

TEST(FlatTable, ReplacingReturnsTheOldValueAndKeepsOneEntry) {
  FlatTable<std::uint64_t> t;
  EXPECT_FALSE(put(t, 9, std::uint64_t{1}).has_value());
  const auto old = put(t, 9, std::uint64_t{2});
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(*old, 1u);
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(*lookup(t, 9), 2u);
}

TEST(FlatTable, ExtremeKeys) {
  FlatTable<int> t;
  put(t, 0, 1);
  put(t, UINT64_MAX, 2);
  EXPECT_EQ(*lookup(t, 0), 1);
  EXPECT_EQ(*lookup(t, UINT64_MAX), 2);
  EXPECT_EQ(lookup(t, 1), nullptr);
}

TEST(FlatTable, CopyHasTheSameShapeAndIsIndependent) {
  FlatTable<Counted> src;
  for (std::uint64_t k = 0; k < 40; ++k) put(src, k, Counted(k));
  FlatTable<Counted> copy(src);
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

  const FlatTable<Counted> empty;
  const FlatTable<Counted> empty_copy(empty);
  EXPECT_EQ(empty_copy.bucket_count(), 0u);
}

TEST(FlatTable, EveryValueIsDestroyedExactlyOnce) {
  const long before = Counted::live();
  {
    FlatTable<Counted> t;
    for (std::uint64_t k = 0; k < 500; ++k) put(t, k, Counted(k));  // many growths
    for (std::uint64_t k = 0; k < 500; k += 3) {
      const auto old = put(t, k, Counted(k + 1));
      ASSERT_TRUE(old.has_value());
      EXPECT_EQ(old->value(), k);
    }
    EXPECT_EQ(Counted::live(), before + 500);
    FlatTable<Counted> copy(t);
    EXPECT_EQ(Counted::live(), before + 1000);
    FlatTable<Counted> moved(std::move(copy));
    EXPECT_EQ(copy.bucket_count(), 0u);
    moved = std::move(t);  // drops the copied values
    EXPECT_EQ(Counted::live(), before + 500);
    EXPECT_EQ(lookup(moved, 3)->value(), 4u);
  }
  EXPECT_EQ(Counted::live(), before);
}

TEST(FlatTable, FailedCopyReleasesWhatItBuiltAndLeavesTheSourceIntact) {
  const long before = Counted::live();
  {
    FlatTable<Counted> src;
    for (std::uint64_t k = 0; k < 30; ++k) put(src, k, Counted(k));
    Counted::fail_copy_number(10);
    EXPECT_THROW(FlatTable<Counted>{src}, std::runtime_error);
    Counted::fail_copy_number(0);
    EXPECT_EQ(Counted::live(), before + 30);
    for (std::uint64_t k = 0; k < 30; ++k) EXPECT_EQ(lookup(src, k)->value(), k);
  }
  EXPECT_EQ(Counted::live(), before);
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

using testing_support::Counted;

// Random inserts, replacements and removals against std::map, under hashes
// that force long probe paths, so removals leave deleted bytes that later
// probes must walk past and insertions must reuse.
class RemovalModel : public testing::TestWithParam<HashCase> {};

TEST_P(RemovalModel, AgreesWithAnOrderedMap) {
  const HashFn h = GetParam().hash;
  FlatTable<std::uint64_t> t;
  std::map<std::uint64_t, std::uint64_t> model;
  std::mt19937_64 rng(7);
  std::size_t max_buckets = 0;
  for (int op = 0; op < 20000; ++op) {
    const std::uint64_t key = rng() % 96;
    if (rng() % 2 == 0) {
      const auto old = put(t, key, std::uint64_t(op), h);
      const auto it = model.find(key);
      ASSERT_EQ(old.has_value(), it != model.end());
      if (old) {
        ASSERT_EQ(*old, it->second);
      }
      model[key] = op;
    } else {
      const auto old = t.erase(h(key), key, h);
      const auto it = model.find(key);
      ASSERT_EQ(old.has_value(), it != model.end()) << "key " << key;
      if (old) {
        ASSERT_EQ(*old, it->second);
        model.erase(it);
      }
    }
    ASSERT_EQ(t.size(), model.size());
    max_buckets = std::max(max_buckets, t.bucket_count());
  }
  for (std::uint64_t k = 0; k < 96; ++k) {
    const auto* v = lookup(t, k, h);
    const auto it = model.find(k);
    ASSERT_EQ(v != nullptr, it != model.end()) << k;
    if (v) {
        EXPECT_EQ(*v, it->second);
      }
  }
  // 96 keys at most: deleted bytes are reclaimed, never a reason to grow.
  EXPECT_LE(max_buckets, 128u);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RemovalModel,
    testing::Values(HashCase{"SipHash", sip}, HashCase{"AllEqual", all_equal},
                    HashCase{"SameStartManyTags", same_start_many_tags},
                    HashCase{"StartNearTheEnd", tail_start}),
    [](const testing::TestParamInfo<HashCase>& info) { return std::string(info.param.name); });

TEST(FlatTable, RemovalKeepsTheRoomAccountingAndTheMirror) {
  FlatTable<int> t;
  for (std::uint64_t k = 0; k < 100; ++k) put(t, k, 0, same_start_many_tags);
  for (std::uint64_t k = 0; k < 100; k += 2) ASSERT_TRUE(t.erase(same_start_many_tags(k), k, same_start_many_tags));
  const auto ctrl = t.control();
  const std::size_t b = t.bucket_count();
  std::size_t full = 0, deleted = 0;
  for (std::size_t i = 0; i < b; ++i) {
    full += ctrl[i] < 0x80;
    deleted += ctrl[i] == kCtrlDeleted;
  }
  for (std::size_t p = 0; p < ctrl.size(); ++p) ASSERT_EQ(ctrl[p], ctrl[p & (b - 1)]) << p;
  EXPECT_EQ(full, 50u);
  EXPECT_GT(deleted, 0u);  // one long run: a removal inside it must leave a marker
  EXPECT_EQ(full + deleted + t.growth_left(), FlatTable<int>::capacity_of(b));
  for (std::uint64_t k = 1; k < 100; k += 2) EXPECT_NE(lookup(t, k, same_start_many_tags), nullptr);
}

// Removals from the middle of one long probe run leave deleted bytes; when
// later keys, probing elsewhere, use up the empty ones, the table reclaims
// the deleted bytes by rehashing in place instead of growing.
std::uint64_t two_runs(std::uint64_t k) noexcept { return (k << 57) | (k < 1000 ? 0 : 64); }

TEST(FlatTable, ReclaimsDeletedBytesInPlaceInsteadOfGrowing) {
  FlatTable<std::uint64_t> t;
  for (std::uint64_t k = 0; k < 100; ++k) put(t, k, k, two_runs);
  ASSERT_EQ(t.bucket_count(), 128u);
  for (std::uint64_t k = 1; k < 100; k += 2) ASSERT_TRUE(t.erase(two_runs(k), k, two_runs));
  const std::size_t deleted = FlatTable<std::uint64_t>::capacity_of(128) - t.size() - t.growth_left();
  ASSERT_GT(deleted, 30u);
  std::uint64_t k = 1000;
  while (t.growth_left() != 0) put(t, k, k, two_runs), ++k;
  put(t, k, k, two_runs);  // no room left but plenty of deleted bytes
  EXPECT_EQ(t.bucket_count(), 128u);
  EXPECT_EQ(t.growth_left(), FlatTable<std::uint64_t>::capacity_of(128) - t.size());
  for (std::uint64_t j = 0; j < 100; j += 2) ASSERT_EQ(*lookup(t, j, two_runs), j);
  for (std::uint64_t j = 1000; j <= k; ++j) ASSERT_EQ(*lookup(t, j, two_runs), j);
  for (std::uint64_t j = 1; j < 100; j += 2) ASSERT_EQ(lookup(t, j, two_runs), nullptr);
}

TEST(FlatTable, RemovingAlmostEverythingGivesTheMemoryBack) {
  FlatTable<std::uint64_t> t;
  for (std::uint64_t k = 0; k < 5000; ++k) put(t, k, k);
  const std::size_t full = t.storage_bytes();
  for (std::uint64_t k = 0; k < 4990; ++k) ASSERT_TRUE(t.erase(sip(k), k, sip));
  EXPECT_LT(t.storage_bytes() * 16, full);
  for (std::uint64_t k = 4990; k < 5000; ++k) ASSERT_EQ(*lookup(t, k), k);
  for (std::uint64_t k = 4990; k < 5000; ++k) ASSERT_TRUE(t.erase(sip(k), k, sip));
  EXPECT_EQ(t.storage_bytes(), 0u);
  EXPECT_EQ(t.bucket_count(), 0u);
  put(t, 1, std::uint64_t{1});  // and it grows again from nothing
  EXPECT_EQ(*lookup(t, 1), 1u);
}

}  // namespace
}  // namespace tarnwick
