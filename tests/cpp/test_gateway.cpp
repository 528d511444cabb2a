#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "core/json.hpp"
#include "records/json_source.hpp"
#include "registry/gateway.hpp"

namespace tarnwick {
namespace {

struct QuietHost final : wire::Host {
  void skipped(wire::PayloadFault&&) override {}
};

std::string user_json(std::uint64_t id) {
  return R"({"id":")" + std::to_string(id) + R"(","username":"u)" + std::to_string(id) +
         R"(","discriminator":"0","global_name":null,"avatar":null})";
}

wire::Outcome apply_event(const std::string& type, const std::string& d) {
  const std::string frame = R"({"op":0,"t":")" + type + R"(","d":)" + d + "}";
  json::Document doc;
  const json::Document::Result r = doc.parse(frame.data(), frame.size());
  if (!r.root) ADD_FAILURE() << "refused: " << frame;
  wire::JsonSource src;
  QuietHost host;
  wire::Gateway<wire::JsonSource> g(src, host);
  return *g.frame(*r.root).outcome;
}

// An event files its users before the record naming them, so a prune on
// another thread may run in between: the author, filed already and unchanged,
// is still filed once it is done.  Two authors
// take turns on one message, so that neither is named by a filed record
// while the other's message is applied.
TEST(GatewayStress, PruneRunningMeanwhileKeepsTheUsersAnEventNames) {
  constexpr std::uint64_t kAuthors[2] = {0x9400'0000'0001, 0x9400'0000'0002};
  std::atomic<bool> stop{false};
  std::thread pruner([&] {
    while (!stop.load()) prune_users({});
  });
  std::size_t lost = 0;
  for (std::uint64_t i = 0; i < 20'000; ++i) {
    const std::uint64_t author = kAuthors[i % 2];
    const std::string d = R"({"id":"9500000000000001","channel_id":"9500000000000002","content":"tea",)"
                          R"("timestamp":"2024-05-02T09:30:00.123000+00:00","author":)" +
                          user_json(author) + "}";
    EXPECT_EQ(apply_event("MESSAGE_CREATE", d), wire::Outcome::Applied);
    lost += !user_map().get(author);
  }
  stop.store(true);
  pruner.join();
  EXPECT_EQ(lost, 0u);
  message_map().erase(0x9500000000000001);
}

}  // namespace
}  // namespace tarnwick
