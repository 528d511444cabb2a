#include "registry/registry.hpp"

#include <atomic>

namespace tarnwick {
namespace {

#ifdef TARNWICK_TEST_HOOKS
std::atomic<bool> g_fail_next{false};
#endif

template <class Map>
Map make_map() {
#ifdef TARNWICK_TEST_HOOKS
  if (g_fail_next.exchange(false)) fault("map creation failed (injected)");
#endif
  return Map();
}

template <class Map>
Map& ensure(Lazy<Map>& lazy) {
  return lazy.get(make_map<Map>);
}

// The maps live until the process ends: never destroyed, so no exit-time
// teardown races a thread that is still using them.
Lazy<UserMap>& g_users = *new Lazy<UserMap>();
Lazy<GuildMap>& g_guilds = *new Lazy<GuildMap>();
Lazy<MessageMap>& g_messages = *new Lazy<MessageMap>();

}  // namespace

UserMap& user_map() { return ensure(g_users); }
GuildMap& guild_map() { return ensure(g_guilds); }
MessageMap& message_map() { return ensure(g_messages); }

#ifdef TARNWICK_TEST_HOOKS
void fail_next_map_creation() { g_fail_next = true; }
#endif

}  // namespace tarnwick
