// full_message: one chat message.
#pragma once

#include "records/record.hpp"

namespace tarnwick {

struct MessageDesc {
  static constexpr const char* name = "full_message";
  using Extra = NoExtra;
  static constexpr FieldSpec fields[] = {
      required("id", Kind::U64).id(),
      required("channel_id", Kind::U64).id(),
      required("author_id", Kind::U64).nested_id("author"),
      required("content", Kind::Text),
      required("timestamp", Kind::Text),
      optional("guild_id", Kind::U64).id(),
      optional("edited_timestamp", Kind::Text),
      defaulted("tts", Kind::Bool, false),
      defaulted("mention_everyone", Kind::Bool, false),
      defaulted("pinned", Kind::Bool, false),
      optional("webhook_id", Kind::U64).id(),
      defaulted("message_type", Kind::U32, 0).as("type"),
      defaulted("flags", Kind::U32, 0),
  };
};

using MessageRecord = Record<MessageDesc>;

}  // namespace tarnwick
