#include "registry/reads.hpp"

#include <utility>

#include "core/casefold.hpp"

namespace tarnwick {

CheckedVector<const RoleRecord*> sorted_roles(const CowMap<RoleRecord>& roles) {
  constexpr std::size_t kPosition = field_index<RoleDesc>("position");
  CheckedVector<const RoleRecord*> out = entries(roles);
  std::sort(out.begin(), out.end(), [](const RoleRecord* a, const RoleRecord* b) {
    const std::int32_t pa = a->i32(kPosition), pb = b->i32(kPosition);
    return pa != pb ? pa < pb : a->key() < b->key();
  });
  return out;
}

std::optional<std::uint64_t> member_permissions(std::uint64_t guild_id, std::uint64_t user_id) {
  constexpr std::size_t kOwner = field_index<GuildDesc>("owner_id");
  constexpr std::size_t kRoles = field_index<MemberDesc>("roles");
  constexpr std::size_t kPermissions = field_index<RoleDesc>("permissions");
  // The shard's read lock excludes every writer of the guild's collections.
  const auto guild = guild_map().get(guild_id);
  if (!guild) return std::nullopt;
  const GuildCollections& c = guild.value().extra();
  const MemberRecord* member = c.filed_member(user_id);
  if (member == nullptr) return std::nullopt;
  if (guild.value().u64(kOwner) == user_id) return kAllPermissions;
  std::uint64_t held = 0;
  const auto add = [&](std::uint64_t role_id) {
    if (const RoleRecord* role = c.roles.find(role_id, WritersExcluded{})) held |= role->u64(kPermissions);
  };
  add(guild_id);  // the everyone role
  const VarView ids = member->var(kRoles);
  for (std::size_t i = 0; i < ids.u64_count(); ++i) add(ids.u64_at(i));
  return (held & kAdministrator) != 0 ? kAllPermissions : held;
}

namespace {

struct Match {
  const MemberRecord* member;
  std::uint64_t user_id;
  bool equal;  // a name equals the query
  Text name;   // otherwise the first name that starts with it, folded
};

bool before(const Match& a, const Match& b) {
  if (a.equal != b.equal) return a.equal;
  if (!a.equal && a.name != b.name) return a.name < b.name;  // UTF-8 bytes sort as code points
  return a.user_id < b.user_id;
}

// How a member's names compare with the folded query, in the order nick,
// global name, username: the first equal one decides, else the first that
// starts with the query.
class Verdict {
 public:
  explicit Verdict(std::string_view folded) : folded_(folded) {}

  // Looks at one name; true once the verdict cannot change.
  bool see(std::string_view name) {
    const FoldMatch m = fold_match(name, folded_);
    if (m == FoldMatch::Equal) {
      equal_ = true;
      return true;
    }
    if (m == FoldMatch::Prefix && !prefix_) prefix_ = name;
    return false;
  }
  bool equal() const noexcept { return equal_; }
  bool matched() const noexcept { return equal_ || prefix_.has_value(); }
  // The folded prefix match, while the names seen are still readable.
  Text folded_name() const { return equal_ || !prefix_ ? Text() : casefold(*prefix_); }

 private:
  std::string_view folded_;
  bool equal_ = false;
  std::optional<std::string_view> prefix_;
};

}  // namespace

CheckedVector<const MemberRecord*> find_members(const CowMap<MemberRecord>& members, std::string_view query,
                                                std::size_t limit) {
  constexpr std::size_t kNick = field_index<MemberDesc>("nick");
  constexpr std::size_t kGlobalName = field_index<UserDesc>("global_name");
  constexpr std::size_t kUsername = field_index<UserDesc>("username");
  constexpr std::size_t kChunk = UserMap::kManyAtOnce;
  const Text folded = casefold(query);
  const UserMap& users = user_map();
  CheckedVector<Match> matches;
  const auto keep = [&](const MemberRecord* m, std::uint64_t user_id, const Verdict& v) {
    if (v.matched()) matches.push_back(Match{m, user_id, v.equal(), v.folded_name()});
  };
  // A chunk of members at a time, so that the memory each one needs (its
  // names, its user's record and names) is fetched for the whole chunk at
  // once instead of one miss after another.
  const MemberRecord* chunk[kChunk];
  std::uint64_t ids[kChunk];
  std::optional<Verdict> verdicts[kChunk];
  std::uint64_t asked[kChunk];  // the users still to look at
  std::uint16_t of[kChunk];     // ... and whose member each is
  bool seen[kChunk];
  CowMap<MemberRecord>::Cursor at;
  for (;;) {
    std::size_t n = 0;
    while (n < kChunk && (chunk[n] = members.next(at, WritersExcluded{}, &ids[n])) != nullptr) {
      __builtin_prefetch(chunk[n]->blob_block());
      ++n;
    }
    if (n == 0) break;
    std::size_t pending = 0;
    for (std::size_t i = 0; i < n; ++i) {
      Verdict& v = verdicts[i].emplace(folded);
      if (chunk[i]->present(kNick) && v.see(chunk[i]->var(kNick).text())) {
        keep(chunk[i], ids[i], v);  // an equal nick decides: the user is not needed
      } else {
        asked[pending] = ids[i];
        of[pending] = static_cast<std::uint16_t>(i);
        seen[pending++] = false;
      }
    }
    // One user shard read-locked at a time, never the guild's lock; the
    // folded name is taken while the user's names are still readable.
    users.get_many(
        asked, pending, [](const UserRecord& u) { __builtin_prefetch(u.blob_block()); },
        [&](std::size_t j, const UserRecord& u) {
          Verdict& v = *verdicts[of[j]];
          if (!(u.present(kGlobalName) && v.see(u.var(kGlobalName).text()))) v.see(u.var(kUsername).text());
          keep(chunk[of[j]], asked[j], v);
          seen[j] = true;
        });
    for (std::size_t j = 0; j < pending; ++j) {
      if (!seen[j]) keep(chunk[of[j]], asked[j], *verdicts[of[j]]);  // no user filed: the nick alone
    }
    if (n < kChunk) break;
  }
  const std::size_t kept = std::min(limit, matches.size());
  std::partial_sort(matches.begin(), matches.begin() + static_cast<std::ptrdiff_t>(kept), matches.end(), before);
  CheckedVector<const MemberRecord*> out;
  out.reserve(kept);
  for (std::size_t i = 0; i < kept; ++i) out.push_back(matches[i].member);
  return out;
}

}  // namespace tarnwick
