#include "registry/registry.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick {
namespace {

MemberRecord member(std::uint64_t id) {
  Scalars<MemberDesc> sc;
  sc.store<std::uint64_t>(0, id);
  return MemberRecord(sc, Blob());
}

// A record of class Desc under `id`, its first var field `text_bytes` long,
// and u64 field `field` (after the key) set to `value`.
template <class Desc>
Record<Desc> record(std::uint64_t id, std::size_t text_bytes, std::size_t field = 0, std::uint64_t value = 0) {
  Scalars<Desc> sc;
  sc.template store<std::uint64_t>(0, id);
  if (field != 0) sc.template store<std::uint64_t>(field, value);
  BlobBuilder b;
  const std::string text(text_bytes, 'x');
  b.append(text.data(), text.size());
  for (std::size_t i = 0; i < Record<Desc>::layout.var_count; ++i) b.end_field();
  return Record<Desc>(sc, b.seal());
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

// stats() adds up counts the maps keep as they change; after threads have
// changed everything at once, they equal what a walk over every record finds.
TEST(RegistryStress, KeptCountsEqualAFullWalkAfterMixedChanges) {
  clear_registry();
  constexpr std::size_t kChannel = field_index<MessageDesc>("channel_id");
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      std::mt19937_64 rng(t);
      for (int op = 0; op < 4000; ++op) {
        const std::uint64_t id = rng() % 400, guild = 1'000'000 + id % 40;
        const std::size_t text = rng() % 300;
        std::vector<UserRecord> dropped;
        switch (rng() % 12) {
          case 0: file_user(record<UserDesc>(id, text)); break;
          case 1: user_map().erase(id); break;
          case 2: {
            GuildRecord g = record<GuildDesc>(guild, text);
            for (std::uint64_t m = 0; m < id % 30; ++m) g.extra().put(record<MemberDesc>(m, text / 2));
            file_guild(std::move(g));
            break;
          }
          case 3: with_filed_guild(guild, [&](GuildCollections& c) { c.put(record<MemberDesc>(id, text)); }); break;
          case 4: with_filed_guild(guild, [&](GuildCollections& c) { c.members.erase(id); }); break;
          case 5: with_filed_guild(guild, [&](GuildCollections& c) { c.put(record<RoleDesc>(id, text)); }); break;
          case 6: refile_guild_fields(record<GuildDesc>(guild, text)); break;
          case 7: file_message(record<MessageDesc>(id, text, kChannel, id % 9)); break;
          case 8: remove_message(id); break;
          case 9: guild_map().erase(guild); break;
          case 10: remove_channel_messages(id % 9); break;
          default:
            if (op % 500 == 0) prune_users({});
            if (op % 700 == 0) set_message_limit(op % 1400 == 0 ? std::optional<std::uint64_t>(50) : std::nullopt);
            (void)registry_stats();
            break;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  const RegistryStats kept = registry_stats(), walked = walked_registry_stats();
  EXPECT_EQ(kept, walked);
  EXPECT_GT(walked.members, 0u);
  EXPECT_GT(walked.guild_bytes, 0u);
  set_message_limit(std::nullopt);
  clear_registry();
  EXPECT_EQ(registry_stats(), walked_registry_stats());
}

// A limit set over many messages filed without one works through them in
// runs, letting filings and removals in between (which drop only a few
// each): once it is done, exactly the limit is kept, the newest first
// among them those filed meanwhile; and a second limit set meanwhile holds
// once its call returns.
TEST(RegistryStress, ALimitSetInRunsKeepsExactlyTheNewest) {
  constexpr std::uint64_t kBase = 0x9500'0000'0000, kOld = 200'000, kLimit = 1000;
  for (std::uint64_t i = 0; i < kOld; ++i) file_message(record<MessageDesc>(kBase + i, 4));
  std::atomic<bool> done{false};
  std::thread limiter([&] {
    set_message_limit(kLimit);
    done.store(true);
  });
  std::vector<std::uint64_t> meanwhile;
  for (std::uint64_t i = 0;; ++i) {
    if (message_limit()) meanwhile.push_back(kBase + kOld + i);  // filed once the limit is set
    file_message(record<MessageDesc>(kBase + kOld + i, 4));
    // The loop ends on a filing: once the limit holds, a removal after it
    // would leave one fewer than the limit.
    if (done.load()) break;
    remove_message(kBase + (i * 7919) % kOld);  // old ones, walked or not yet
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // an event loop's pace
  }
  limiter.join();
  EXPECT_EQ(registry_stats().messages, kLimit);
  const std::size_t newest = std::min<std::size_t>(meanwhile.size(), kLimit);
  for (std::size_t i = meanwhile.size() - newest; i < meanwhile.size(); ++i) {
    EXPECT_TRUE(message_map().get(meanwhile[i])) << i << " of " << meanwhile.size();
  }
  set_message_limit(std::nullopt);
  for (std::uint64_t i = 0; i < kOld; ++i) file_message(record<MessageDesc>(kBase + i, 4));
  std::thread higher([&] { set_message_limit(10 * kLimit); });
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  set_message_limit(kLimit);
  EXPECT_EQ(registry_stats().messages, kLimit);
  higher.join();
  set_message_limit(std::nullopt);
  clear_registry();
}

// Under a limit, the messages kept are always the newest filed, however
// often they are filed again or removed (which leaves stale entries in the
// filing order for its compactions, a few a filing, to take out).
TEST(Registry, ALimitKeepsTheNewestFilingsThroughCompactions) {
  std::uint64_t next = 0x9600'0000'0000;
  for (const std::size_t limit : {10, 50}) {
    set_message_limit(limit);
    std::vector<std::uint64_t> order;  // the model: ids, oldest filing first
    std::mt19937_64 rng(limit);
    for (int op = 0; op < 20'000; ++op) {
      const std::uint64_t pick = order.empty() ? 0 : order[rng() % order.size()];
      if (rng() % 4 == 0 || order.empty()) {
        order.push_back(next);
        file_message(record<MessageDesc>(next++, 4));
      } else if (rng() % 8 != 0) {  // filed again: the newest now
        std::erase(order, pick);
        order.push_back(pick);
        file_message(record<MessageDesc>(pick, 4));
      } else {
        std::erase(order, pick);
        remove_message(pick);
      }
      if (order.size() > limit) order.erase(order.begin(), order.end() - static_cast<std::ptrdiff_t>(limit));
      if (op % 97 == 0) {
        ASSERT_EQ(registry_stats().messages, order.size()) << op;
        for (const std::uint64_t id : order) ASSERT_TRUE(message_map().get(id)) << op;
      }
    }
    set_message_limit(std::nullopt);
    clear_registry();
  }
}

// A prune that runs while other threads put members and then file their
// users (as a join does) never leaves a member whose user is gone: the
// journal keeps what its mark could not see.
TEST(RegistryStress, PruneRunningMeanwhileKeepsTheUsersOfMembersPut) {
  constexpr std::uint64_t kGuild = 0x9000'0000'0001;
  file_guild(record<GuildDesc>(kGuild, 3));
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> lost{0};
  std::thread pruner([&] {
    while (!stop.load()) prune_users({});
  });
  std::vector<std::thread> joiners;
  for (std::uint64_t t = 0; t < 2; ++t) {
    joiners.emplace_back([&, t] {
      for (std::uint64_t i = 0; i < 3000; ++i) {
        const std::uint64_t uid = 0x9100'0000'0000 + t * 100'000 + i;
        note_user_named(uid);
        with_filed_guild(kGuild, [&](GuildCollections& c) { c.put(record<MemberDesc>(uid, 4)); });
        note_user_named(uid);
        file_user(record<UserDesc>(uid, 8));
        if (!user_map().get(uid)) lost.fetch_add(1);
        if (i % 3 == 0) with_filed_guild(kGuild, [&](GuildCollections& c) { c.members.erase(uid - 1); });
      }
    });
  }
  for (auto& th : joiners) th.join();
  stop.store(true);
  pruner.join();
  EXPECT_EQ(lost.load(), 0u);
  guild_map().erase(kGuild);
}

// A guild built member by member, each member's user filed as it comes and
// the guild last (as a GUILD_CREATE does, off the interpreter lock): a prune
// running meanwhile keeps those users, named by no filed guild until the end.
TEST(RegistryStress, PruneRunningMeanwhileKeepsTheUsersOfAGuildInFlight) {
  std::atomic<bool> stop{false};
  std::size_t lost = 0;
  std::thread pruner([&] {
    while (!stop.load()) prune_users({});
  });
  for (std::uint64_t round = 0; round < 20; ++round) {
    const std::uint64_t guild_id = 0x9200'0000'0000 + round;
    const std::uint64_t base = 0x9300'0000'0000 + round * 10'000;
    constexpr std::uint64_t kMembers = 1500;
    GuildRecord guild = record<GuildDesc>(guild_id, 3);
    CowMap<MemberRecord> members;
    {
      const MembersInFlight in_flight(members);
      for (std::uint64_t i = 0; i < kMembers; ++i) {
        members.insert(base + i, record<MemberDesc>(base + i, 4));
        file_user(record<UserDesc>(base + i, 8));
      }
      guild.extra().members = CowMap<MemberRecord>(members);
      file_guild(std::move(guild));
    }
    for (std::uint64_t i = 0; i < kMembers; ++i) lost += !user_map().get(base + i);
    guild_map().erase(guild_id);
  }
  stop.store(true);
  pruner.join();
  EXPECT_EQ(lost, 0u);
}

// What events on this thread name is kept by a prune (run here, as an
// on_skip may), across the list's blocks, after some is forgotten and more
// added in its place, and while one event is nested in another.
TEST(Registry, APruneKeepsTheUsersEventsInFlightName) {
  constexpr std::uint64_t kBase = 0x9600'0000'0000;
  const auto filed = [&](std::uint64_t from, std::uint64_t to) {
    std::size_t n = 0;
    for (std::uint64_t i = from; i < to; ++i) n += user_map().get(kBase + i) ? 1 : 0;
    return n;
  };
  for (std::uint64_t i = 0; i < 300; ++i) file_user(record<UserDesc>(kBase + i, 8));
  {
    NamedInFlight outer;
    for (std::uint64_t i = 0; i < 130; ++i) outer.add(kBase + i);
    const std::size_t mark = outer.size();
    for (std::uint64_t i = 130; i < 200; ++i) outer.add(kBase + i);
    outer.forget_since(mark);
    outer.add(kBase + 130);  // forgotten, then named again
    for (std::uint64_t i = 200; i < 260; ++i) outer.add(kBase + i);
    {
      NamedInFlight inner;
      for (std::uint64_t i = 260; i < 280; ++i) inner.add(kBase + i);
      prune_users({});
      EXPECT_EQ(filed(0, 131), 131u);
      EXPECT_EQ(filed(131, 200), 0u);
      EXPECT_EQ(filed(200, 280), 80u);
      EXPECT_EQ(filed(280, 300), 0u);
    }
    prune_users({});
    EXPECT_EQ(filed(0, 131) + filed(200, 260), 191u);
    EXPECT_EQ(filed(260, 280), 0u);
  }
  prune_users({});
  EXPECT_EQ(filed(0, 300), 0u);
}

// More events at once than the journal keeps lists for: the rest bring
// their own, and every one is kept until its event ends, in any order.
TEST(Registry, APruneKeepsWhatManyEventsAtOnceName) {
  constexpr std::uint64_t kBase = 0x9650'0000'0000;
  constexpr std::size_t kEvents = 24;
  for (std::uint64_t i = 0; i < kEvents; ++i) file_user(record<UserDesc>(kBase + i, 8));
  std::vector<std::unique_ptr<NamedInFlight>> events;
  for (std::uint64_t i = 0; i < kEvents; ++i) {
    events.push_back(std::make_unique<NamedInFlight>());
    events.back()->add(kBase + i);
  }
  for (const std::size_t i : {3u, 20u, 0u, 17u}) events[i].reset();  // some of each kind, out of order
  prune_users({});
  for (std::size_t i = 0; i < kEvents; ++i) EXPECT_EQ(bool(user_map().get(kBase + i)), bool(events[i])) << i;
  events.clear();
  prune_users({});
  for (std::size_t i = 0; i < kEvents; ++i) EXPECT_FALSE(user_map().get(kBase + i)) << i;
}

// A GUILD_CREATE's member goes in flight and its user's name is forgotten
// while a prune looks for that user: the prune sees one or the other.  Many
// (empty) collections in flight make its look slow enough to fall between.
TEST(RegistryStress, APruneSeesAMemberPutInFlightOrItsUsersName) {
  constexpr std::uint64_t kUser = 0x9700'0000'0001;
  file_user(record<UserDesc>(kUser, 8));
  NamedInFlight named;
  CowMap<MemberRecord> members;
  const MembersInFlight in_flight(members);
  std::vector<std::unique_ptr<CowMap<MemberRecord>>> others(300'000);
  std::vector<std::unique_ptr<MembersInFlight>> others_in_flight;
  for (auto& m : others) {
    m = std::make_unique<CowMap<MemberRecord>>();
    others_in_flight.push_back(std::make_unique<MembersInFlight>(*m));
  }
  const std::size_t mark = named.size();
  named.add(kUser);
  ASSERT_TRUE(user_map().get(kUser));  // found unchanged
  std::thread pruner([] { prune_users({}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  members.insert(kUser, member(kUser));
  named.forget_since(mark);
  pruner.join();
  EXPECT_TRUE(user_map().get(kUser));
  while (!others_in_flight.empty()) others_in_flight.pop_back();
}

}  // namespace
}  // namespace tarnwick
