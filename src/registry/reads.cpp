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
  const Text folded = casefold(query);
  const UserMap& users = user_map();
  CheckedVector<Match> matches;
  CowMap<MemberRecord>::Cursor at;
  std::uint64_t user_id;
  while (const MemberRecord* member = members.next(at, WritersExcluded{}, &user_id)) {
    Verdict v(folded);
    Text name;
    if (!(member->present(kNick) && v.see(member->var(kNick).text()))) {
      // One user shard read-locked at a time, only while its names are
      // read: the guild's lock is not held here.
      const auto user = users.get(user_id);
      if (user) {
        const UserRecord& u = user.value();
        if (!(u.present(kGlobalName) && v.see(u.var(kGlobalName).text()))) v.see(u.var(kUsername).text());
      }
      if (!v.matched()) continue;
      name = v.folded_name();  // while the user's names are still readable
    }
    matches.push_back(Match{member, user_id, v.equal(), std::move(name)});
  }
  const std::size_t kept = std::min(limit, matches.size());
  std::partial_sort(matches.begin(), matches.begin() + static_cast<std::ptrdiff_t>(kept), matches.end(), before);
  CheckedVector<const MemberRecord*> out;
  out.reserve(kept);
  for (std::size_t i = 0; i < kept; ++i) out.push_back(matches[i].member);
  return out;
}

}  // namespace tarnwick
