// full_guild: a guild's 35 fields, plus its collections (collections.hpp).
#pragma once

#include "records/collections.hpp"
#include "records/record.hpp"

namespace tarnwick {

struct GuildDesc {
  static constexpr const char* name = "full_guild";
  using Extra = GuildCollections;
  static constexpr FieldSpec fields[] = {
      required("id", Kind::U64).id(),
      required("name", Kind::Text),
      optional("icon", Kind::Text),
      optional("splash", Kind::Text),
      optional("discovery_splash", Kind::Text),
      defaulted("owner_id", Kind::U64, 0).id(),
      optional("afk_channel_id", Kind::U64).id(),
      defaulted("afk_timeout", Kind::U32, 0),
      defaulted("widget_enabled", Kind::Bool, false),
      optional("widget_channel_id", Kind::U64).id(),
      defaulted("verification_level", Kind::U32, 0),
      defaulted("default_message_notifications", Kind::U32, 0),
      defaulted("explicit_content_filter", Kind::U32, 0),
      defaulted("mfa_level", Kind::U32, 0),
      optional("application_id", Kind::U64).id(),
      optional("system_channel_id", Kind::U64).id(),
      defaulted("system_channel_flags", Kind::U32, 0),
      optional("rules_channel_id", Kind::U64).id(),
      optional("max_presences", Kind::U32),
      optional("max_members", Kind::U32),
      optional("vanity_url_code", Kind::Text),
      optional("description", Kind::Text),
      optional("banner", Kind::Text),
      defaulted("premium_tier", Kind::U32, 0),
      optional("premium_subscription_count", Kind::U32),
      defaulted_text("preferred_locale", "en-US"),
      optional("public_updates_channel_id", Kind::U64).id(),
      optional("max_video_channel_users", Kind::U32),
      optional("max_stage_video_channel_users", Kind::U32),
      optional("approximate_member_count", Kind::U32),
      optional("approximate_presence_count", Kind::U32),
      defaulted("nsfw_level", Kind::U32, 0),
      defaulted("premium_progress_bar_enabled", Kind::Bool, false),
      optional("safety_alerts_channel_id", Kind::U64).id(),
      empty_default("features", Kind::TextList),
  };
};

using GuildRecord = Record<GuildDesc>;

}  // namespace tarnwick
