// full_role: one role of a guild.
#pragma once

#include "records/record.hpp"

namespace tarnwick {

struct RoleDesc {
  static constexpr const char* name = "full_role";
  using Extra = NoExtra;
  static constexpr FieldSpec fields[] = {
      required("id", Kind::U64).id(),
      required("name", Kind::Text),
      required("color", Kind::U32),
      required("hoist", Kind::Bool),
      optional("icon", Kind::Text),
      optional("unicode_emoji", Kind::Text),
      defaulted("position", Kind::I32, 0),
      defaulted("permissions", Kind::U64, 0).wide(),
      defaulted("managed", Kind::Bool, false),
      defaulted("mentionable", Kind::Bool, false),
  };
};

using RoleRecord = Record<RoleDesc>;

}  // namespace tarnwick
