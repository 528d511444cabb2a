#include "core/cow_map.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "counted.hpp"

namespace tarnwick {
namespace {

using testing_support::Counted;
using Model = std::map<std::uint64_t, std::uint64_t>;

Model contents(const CowMap<Counted>& m) {
  Model out;
  m.for_each([&](std::uint64_t k, const Counted& v) { out[k] = v.value(); });
  return out;
}

TEST(CowMap, AnEmptyMapAllocatesNothingAndAZeroedOneIsEmpty) {
  const CowMap<Counted> m;
  EXPECT_EQ(m.storage_bytes(), 0u);
  EXPECT_EQ(m.table_count(), 0u);
  EXPECT_FALSE(m.get(1));
  alignas(CowMap<Counted>) unsigned char zeros[sizeof(CowMap<Counted>)] = {};
  auto* z = reinterpret_cast<CowMap<Counted>*>(zeros);
  EXPECT_EQ(z->size(), 0u);
  EXPECT_FALSE(z->get(0));
  const CowMap<Counted> copy(*z);
  EXPECT_EQ(copy.size(), 0u);
}

TEST(CowMap, StaysOneTableWhileSmallAndSplitsTableByTable) {
  CowMap<Counted> m;
  const std::size_t limit = CowMap<Counted>::kSplitAt;
  for (std::uint64_t k = 1; k <= limit; ++k) m.insert(k, Counted(k));
  EXPECT_EQ(m.table_count(), 1u);
  m.insert(limit + 1, Counted(0));
  EXPECT_EQ(m.table_count(), 2u);
  constexpr std::uint64_t kMany = 100000;
  for (std::uint64_t k = limit + 2; k <= kMany; ++k) m.insert(k, Counted(k));
  EXPECT_EQ(m.size(), kMany);
  // Every table stays within its limit and fuller than a quarter of it.
  EXPECT_GE(m.table_count(), kMany / limit);
  EXPECT_LE(m.table_count(), 4 * kMany / limit);
  for (std::uint64_t k = 1; k <= kMany; ++k) {
    if (k != limit + 1) {
      ASSERT_EQ(m.get(k).value().value(), k);
    }
  }
}

// Several maps made by copying each other, changed in random orders, each
// checked against a model of its own: every copy stays independent, whether
// its tables are shared, copied or split while shared.
class CopyModel : public testing::TestWithParam<std::size_t> {};

TEST_P(CopyModel, EveryCopyKeepsItsOwnContents) {
  const long before = Counted::live();
  {
    std::vector<CowMap<Counted>> maps(1);
    std::vector<Model> models(1);
    std::mt19937_64 rng(GetParam());
    for (int op = 0; op < 12000; ++op) {
      const std::size_t i = rng() % maps.size();
      const std::uint64_t key = rng() % GetParam();
      const unsigned dice = static_cast<unsigned>(rng() % 100);
      if (dice < 55) {
        const auto old = maps[i].insert(key, Counted(op));
        ASSERT_EQ(old.has_value(), models[i].count(key) == 1);
        if (old) {
        ASSERT_EQ(old->value(), models[i][key]);
      }
        models[i][key] = op;
      } else if (dice < 80) {
        const auto old = maps[i].erase(key);
        ASSERT_EQ(old.has_value(), models[i].erase(key) == 1);
      } else if (dice < 95) {
        const auto g = maps[i].get(key);
        ASSERT_EQ(bool(g), models[i].count(key) == 1);
        if (g) {
        ASSERT_EQ(g.value().value(), models[i][key]);
      }
      } else if (maps.size() < 6) {
        maps.reserve(maps.size() + 1);
        maps.emplace_back(maps[i]);
        models.push_back(models[i]);
        ASSERT_TRUE(maps.back().shares_directory_with(maps[i]) || models[i].empty());
      } else {
        maps[i] = CowMap<Counted>(maps[rng() % maps.size()]);
        models[i] = models[&maps[i] - &maps[0]];
        maps.erase(maps.begin() + static_cast<long>(i));
        models.erase(models.begin() + static_cast<long>(i));
      }
    }
    for (std::size_t i = 0; i < maps.size(); ++i) {
      ASSERT_EQ(contents(maps[i]), models[i]) << "map " << i;
      ASSERT_EQ(maps[i].size(), models[i].size());
    }
  }
  EXPECT_EQ(Counted::live(), before);
}

// Key ranges small enough for one table, and big enough for many.
INSTANTIATE_TEST_SUITE_P(Keys, CopyModel, testing::Values(300, 3000, 20000));

TEST(CowMap, AChangeAfterACopyCopiesOneTableOnly) {
  CowMap<Counted> a;
  for (std::uint64_t k = 0; k < 20000; ++k) a.insert(k, Counted(k));
  const std::size_t tables = a.table_count();
  ASSERT_GT(tables, 8u);
  const long live = Counted::live();
  CowMap<Counted> b(a);
  EXPECT_EQ(Counted::live(), live);  // nothing copied yet
  EXPECT_EQ(a.sole_entries(), 0u);   // b holds a's directory too
  b.insert(5, Counted(55));
  EXPECT_EQ(a.shared_tables(), tables - 1);
  // Letting go of either would free its own copy of the one table only.
  EXPECT_EQ(a.sole_entries(), b.sole_entries());
  EXPECT_GT(a.sole_entries(), 0u);
  EXPECT_LE(a.sole_entries(), CowMap<Counted>::kSplitAt);
  EXPECT_EQ(b.shared_tables(), tables - 1);
  const long copied = Counted::live() - live;
  EXPECT_GT(copied, 0);
  EXPECT_LE(copied, static_cast<long>(CowMap<Counted>::kSplitAt) + 1);
  EXPECT_EQ(a.get(5).value().value(), 5u);
  EXPECT_EQ(b.get(5).value().value(), 55u);
  EXPECT_FALSE(CowMap<Counted>(b).erase(99999));  // absent: nothing to copy
}

// A cursor walk, key by key, against for_each: every entry exactly once,
// after insertions, replacements and removals (deleted buckets, tables of
// 4 and 8 buckets whose control tail repeats them, split tables).
class CursorWalk : public testing::TestWithParam<std::size_t> {};

Model walk(const CowMap<Counted>& m) {
  Model out;
  CowMap<Counted>::Cursor at;
  std::uint64_t key = 0;
  while (const Counted* v = m.next(at, WritersExcluded{}, &key)) {
    EXPECT_TRUE(out.emplace(key, v->value()).second) << "key " << key << " seen twice";
  }
  EXPECT_EQ(m.next(at, WritersExcluded{}), nullptr);  // stays over
  return out;
}

TEST_P(CursorWalk, VisitsEveryEntryOnce) {
  CowMap<Counted> m;
  std::mt19937_64 rng(GetParam());
  for (std::size_t i = 0; i < GetParam(); ++i) {
    const std::uint64_t k = rng() % (2 * GetParam() + 1);
    m.insert(k, Counted(rng()));
    if (i % 3 == 0) m.erase(rng() % (2 * GetParam() + 1));
    if (i == GetParam() / 2) {
      ASSERT_EQ(walk(m), contents(m));
    }
  }
  const CowMap<Counted> copy(m);
  EXPECT_EQ(walk(copy), contents(m));
  EXPECT_EQ(walk(m).size(), m.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, CursorWalk, testing::Values(0, 1, 3, 7, 20, 900, 20000));

// A copy walked with the cursor while another thread keeps changing the
// original: each walk sees exactly one state the original passed through.
// The writer's changes follow a seeded sequence and each value is the
// number of the change that wrote it, so the walker can replay them.
TEST(CowMapStress, ACursorWalkOfACopySeesOneStateWhileTheOriginalChanges) {
  constexpr std::uint64_t kKeys = 3000;  // several tables
  constexpr std::uint64_t kChanges = 20000;
  const auto change = [](std::uint64_t n) {  // (key, insert?) of change n
    std::mt19937_64 rng(n);
    const std::uint64_t key = rng() % kKeys;
    return std::pair{key, rng() % 4 != 0};
  };
  CowMap<Counted> original;
  std::atomic<std::uint64_t> done{0};
  std::thread writer([&] {
    for (std::uint64_t n = 1; n <= kChanges; ++n) {
      const auto [key, insert] = change(n);
      if (insert) {
        original.insert(key, Counted(n));
      } else {
        original.erase(key);
      }
      done.store(n, std::memory_order_release);
    }
  });
  std::size_t walks = 0, failures = 0;
  Model model;  // the original after `replayed` changes
  std::uint64_t replayed = 0;
  const auto replay_to = [&](std::uint64_t n) {
    for (; replayed < n; ++replayed) {
      const auto [key, insert] = change(replayed + 1);
      if (insert) {
        model[key] = replayed + 1;
      } else {
        model.erase(key);
      }
    }
  };
  while (replayed < kChanges) {
    const std::uint64_t before = done.load(std::memory_order_acquire);
    const CowMap<Counted> copy(original);
    const std::uint64_t after = std::min(done.load(std::memory_order_acquire) + 1, kChanges);
    const Model seen = walk(copy);
    ++walks;
    replay_to(before);
    bool found = seen == model;
    while (!found && replayed < after) {
      replay_to(replayed + 1);
      found = seen == model;
    }
    failures += !found;
  }
  writer.join();
  EXPECT_EQ(failures, 0u);
  EXPECT_GT(walks, 1u);
  EXPECT_EQ(contents(original), model);
}

// Threads that each own a copy of one big map change and read their own
// copy, while others keep copying and reading the original: every table
// starts shared by all of them.
TEST(CowMapStress, CopiesSharingTablesAcrossThreads) {
  const long before = Counted::live();
  {
    constexpr std::uint64_t kKeys = 4000;  // several tables
    CowMap<Counted> original;
    for (std::uint64_t k = 0; k < kKeys; ++k) original.insert(k, Counted(k << 32));
    std::atomic<std::size_t> failures{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 6; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937_64 rng(t + 100);
        CowMap<Counted> mine(original);
        Model model;
        for (std::uint64_t k = 0; k < kKeys; ++k) model[k] = k << 32;
        for (int op = 0; op < 3000; ++op) {
          const std::uint64_t key = rng() % (kKeys + 64);
          const unsigned dice = static_cast<unsigned>(rng() % 100);
          if (t % 2 == 0 && dice < 40) {
            mine.insert(key, Counted((key << 32) | (op + 1)));
            model[key] = (key << 32) | (op + 1);
          } else if (t % 2 == 0 && dice < 60) {
            if (mine.erase(key).has_value() != (model.erase(key) == 1)) failures.fetch_add(1);
          } else if (dice < 90) {
            const auto g = mine.get(key);
            const auto it = model.find(key);
            if (bool(g) != (it != model.end()) || (g && g.value().value() != it->second)) {
              failures.fetch_add(1);
            }
          } else {
            const CowMap<Counted> snapshot(original);
            const auto g = snapshot.get(key % kKeys);
            if (!g || g.value().value() != (key % kKeys) << 32) failures.fetch_add(1);
            if (t % 2 == 1) mine = CowMap<Counted>(snapshot);
            if (t % 2 == 1) {
              for (std::uint64_t k = 0; k < kKeys; ++k) model[k] = k << 32;
            }
          }
        }
        if (contents(mine) != model) failures.fetch_add(1);
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0u);
    EXPECT_EQ(original.size(), kKeys);
    for (std::uint64_t k = 0; k < kKeys; ++k) ASSERT_EQ(original.get(k).value().value(), k << 32);
  }
  EXPECT_EQ(Counted::live(), before);
}

}  // namespace
}  // namespace tarnwick
