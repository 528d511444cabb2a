// full_emoji: one custom emoji of a guild.
#pragma once

#include "records/record.hpp"

namespace tarnwick {

struct EmojiDesc {
  static constexpr const char* name = "full_emoji";
  using Extra = NoExtra;
  static constexpr FieldSpec fields[] = {
      required("id", Kind::U64).id(),
      optional("name", Kind::Text),
      empty_default("roles", Kind::U64List).ids(),
      optional("user_id", Kind::U64).nested_id("user"),
      defaulted("require_colons", Kind::Bool, false),
      defaulted("managed", Kind::Bool, false),
      defaulted("animated", Kind::Bool, false),
      defaulted("available", Kind::Bool, true),
  };
};

using EmojiRecord = Record<EmojiDesc>;

}  // namespace tarnwick
