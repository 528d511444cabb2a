#include "registry/registry.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace tarnwick {
namespace {

MemberRecord member(std::uint64_t id) {
  Scalars<MemberDesc> sc;
  sc.store<std::uint64_t>(0, id);
  return MemberRecord(sc, Blob());
}

// A fetch shares a filed guild's collections without their locks, relying
// on every writer of them holding the guild's shard write lock; under
// ThreadSanitizer this shows that nothing reads them unordered, and every
// share stays what it was when taken while the filed guild changes.
TEST(RegistryStress, FetchesShareCollectionsThatWritersChange) {
  constexpr std::uint64_t kGuild = 0x5eed'0000'0001;
  constexpr std::uint64_t kMembers = 3000;  // several tables
  {
    Scalars<GuildDesc> sc;
    sc.store<std::uint64_t>(0, kGuild);
    GuildRecord guild(sc, Blob());
    for (std::uint64_t k = 0; k < kMembers; ++k) guild.extra().members.insert(k, member(k));
    file_guild(std::move(guild));
  }
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> failures{0};
  std::thread writer([&] {
    for (std::uint64_t op = 0; op < 4000; ++op) {
      const std::uint64_t key = (op * 7919) % (kMembers + 500);
      const bool filed = with_filed_guild(kGuild, [&](GuildCollections& c) {
        if (op % 3 == 0) {
          c.members.erase(key);
        } else {
          c.members.insert(key, member(key));
        }
      });
      if (!filed) failures.fetch_add(1);
    }
    stop.store(true);
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&, t] {
      std::uint64_t key = static_cast<std::uint64_t>(t);
      while (!stop.load()) {
        std::optional<GuildCollections> share;
        {
          auto guard = guild_map().get(kGuild);
          if (!guard) {
            failures.fetch_add(1);
            return;
          }
          share.emplace(GuildCollections::share_filed(guard.value().extra()));
        }
        const std::size_t size = share->members.size();
        bool seen = false;
        share->members.for_each([&](std::uint64_t k, const MemberRecord& m) { seen |= m.key() != k; });
        key = (key + 131) % (kMembers + 500);
        {
          auto guard = guild_map().get(kGuild);
          const MemberRecord* m = guard ? guard.value().extra().filed_member(key) : nullptr;
          if (m != nullptr && m->key() != key) failures.fetch_add(1);
        }
        const bool there = static_cast<bool>(share->members.get(key));
        if (seen || share->members.size() != size || static_cast<bool>(share->members.get(key)) != there) {
          failures.fetch_add(1);
        }
      }
    });
  }
  writer.join();
  for (auto& th : readers) th.join();
  EXPECT_EQ(failures.load(), 0u);
}

}  // namespace
}  // namespace tarnwick
