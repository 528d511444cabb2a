// full_member: one user's membership of a guild, keyed by user_id.
#pragma once

#include "records/record.hpp"

namespace tarnwick {

struct MemberDesc {
  static constexpr const char* name = "full_member";
  using Extra = NoExtra;
  static constexpr FieldSpec fields[] = {
      required("user_id", Kind::U64).nested_id("user"),
      optional("nick", Kind::Text),
      optional("avatar", Kind::Text),
      empty_default("roles", Kind::U64List).ids(),
      empty_default("joined_at", Kind::Text),
      optional("premium_since", Kind::Text),
      defaulted("deaf", Kind::Bool, false),
      defaulted("mute", Kind::Bool, false),
      defaulted("flags", Kind::U32, 0),
      defaulted("pending", Kind::Bool, false),
      defaulted("permissions", Kind::U64, 0).wide(),
      optional("communication_disabled_until", Kind::Text),
  };
};

using MemberRecord = Record<MemberDesc>;

}  // namespace tarnwick
