// full_user: one account of the chat service.
#pragma once

#include "records/record.hpp"

namespace tarnwick {

struct UserDesc {
  static constexpr const char* name = "full_user";
  using Extra = NoExtra;
  static constexpr FieldSpec fields[] = {
      required("id", Kind::U64).id(),
      required("username", Kind::Text),
      optional("discriminator", Kind::Text),
      optional("global_name", Kind::Text),
      optional("avatar", Kind::Text),
      defaulted("bot", Kind::Bool, false),
      defaulted("system", Kind::Bool, false),
      defaulted("mfa_enabled", Kind::Bool, false),
      optional("banner", Kind::Text),
      optional("accent_color", Kind::U32),
      optional("locale", Kind::Text),
      defaulted("verified", Kind::Bool, false),
      optional("email", Kind::Text),
      defaulted("flags", Kind::U32, 0),
      defaulted("premium_type", Kind::U8, 0),
      defaulted("public_flags", Kind::U32, 0),
  };
};

using UserRecord = Record<UserDesc>;

}  // namespace tarnwick
