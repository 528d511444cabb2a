// ShardedMap against a flat SwissTable (absl::flat_hash_map, when found) and
// std::unordered_map behind a std::shared_mutex: single-thread insert and get
// at 1k and 1M entries, and a 95% get / 5% insert mix on one shared map.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "core/sharded_map.hpp"

#ifdef TARNWICK_HAVE_ABSL
#include "absl/container/flat_hash_map.h"
#endif

namespace {

// Record-sized value.
struct Record {
  std::uint64_t id;
  std::uint64_t owner;
  std::uint32_t flags;
  std::uint32_t kind;
  std::uint64_t stamp;
};
static_assert(sizeof(Record) == 32);

Record make_record(std::uint64_t k) {
  return {k, k * 3, static_cast<std::uint32_t>(k), 7, k ^ 0x5555};
}

std::vector<std::uint64_t> random_keys(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint64_t> keys(n);
  for (auto& k : keys) k = rng();
  return keys;
}

// Every contender offers insert(key, record) and get(key, out), where get
// copies the record out as the registry does.
struct Sharded {
  tarnwick::ShardedMap<Record> map;
  void insert(std::uint64_t k, const Record& r) { map.insert(k, r); }
  bool get(std::uint64_t k, Record& out) const {
    const auto g = map.get(k);
    if (!g) return false;
    out = g.value();
    return true;
  }
};

template <class Table>
struct Locked {
  mutable std::shared_mutex mutex;
  Table map;
  void insert(std::uint64_t k, const Record& r) {
    std::unique_lock lock(mutex);
    map.insert_or_assign(k, r);
  }
  bool get(std::uint64_t k, Record& out) const {
    std::shared_lock lock(mutex);
    const auto it = map.find(k);
    if (it == map.end()) return false;
    out = it->second;
    return true;
  }
};
using StdLocked = Locked<std::unordered_map<std::uint64_t, Record>>;

#ifdef TARNWICK_HAVE_ABSL
// Unlocked: the single-thread reference point.
struct Absl {
  absl::flat_hash_map<std::uint64_t, Record> map;
  void insert(std::uint64_t k, const Record& r) { map.insert_or_assign(k, r); }
  bool get(std::uint64_t k, Record& out) const {
    const auto it = map.find(k);
    if (it == map.end()) return false;
    out = it->second;
    return true;
  }
};
using AbslLocked = Locked<absl::flat_hash_map<std::uint64_t, Record>>;
#endif

template <class Map>
void BM_Insert(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto keys = random_keys(n, 1);
  for (auto _ : state) {
    auto m = std::make_unique<Map>();
    for (const std::uint64_t k : keys) m->insert(k, make_record(k));
    benchmark::DoNotOptimize(m.get());
    state.PauseTiming();
    m.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

template <class Map>
void BM_Get(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto keys = random_keys(n, 2);
  Map m;
  for (const std::uint64_t k : keys) m.insert(k, make_record(k));
  auto order = keys;
  std::shuffle(order.begin(), order.end(), std::mt19937_64(3));
  std::size_t i = 0;
  Record out{};
  for (auto _ : state) {
    const bool found = m.get(order[i], out);
    benchmark::DoNotOptimize(found);
    benchmark::DoNotOptimize(out);
    if (++i == n) i = 0;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// One map shared by all benchmark threads; thread 0 builds it before the
// loop (every thread enters the loop together) and drops it after.
template <class Map>
void BM_ReadMostly(benchmark::State& state) {
  constexpr std::size_t kKeys = 100000;
  static std::unique_ptr<Map> shared;
  static std::vector<std::uint64_t> keys;
  if (state.thread_index() == 0) {
    keys = random_keys(kKeys, 4);
    shared = std::make_unique<Map>();
    for (const std::uint64_t k : keys) shared->insert(k, make_record(k));
  }
  std::mt19937_64 rng(static_cast<std::uint64_t>(state.thread_index()) + 10);
  Record out{};
  for (auto _ : state) {
    const std::uint64_t r = rng();
    const std::uint64_t k = keys[r % kKeys];
    if ((r >> 32) % 100 < 5) {
      shared->insert(k, make_record(r));
    } else {
      benchmark::DoNotOptimize(shared->get(k, out));
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  if (state.thread_index() == 0) shared.reset();
}

#define SINGLE_THREAD(Map)                                                               \
  BENCHMARK_TEMPLATE(BM_Insert, Map)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond); \
  BENCHMARK_TEMPLATE(BM_Get, Map)->Arg(1000)->Arg(1000000)
#define READ_MOSTLY(Map) BENCHMARK_TEMPLATE(BM_ReadMostly, Map)->Threads(1)->Threads(2)->UseRealTime()

SINGLE_THREAD(Sharded);
SINGLE_THREAD(StdLocked);
READ_MOSTLY(Sharded);
READ_MOSTLY(StdLocked);
#ifdef TARNWICK_HAVE_ABSL
SINGLE_THREAD(Absl);
READ_MOSTLY(AbslLocked);
#endif

}  // namespace

BENCHMARK_MAIN();
