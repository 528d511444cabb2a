// Reading gateway frames: simdjson's DOM (through core/json), simdjson's
// On-Demand API and RapidJSON's DOM, on a typical MESSAGE_CREATE frame and
// on the GUILD_CREATE frame of a 10k-member guild.  Each contender parses
// the frame and reads the fields the cache would take (ids from their
// decimal strings, texts, flags, role lists; channels and presences are
// left unread), checked against one another through a checksum; the "Parse"
// runs stop after the parse.  simdjson reads a little past the end of its
// input: the DOM runs, through core/json as the module reads, copy the frame
// only where those bytes are not known to be readable; the On-Demand run
// always copies it.  On-Demand's navigation is compiled into this file for the baseline x86-64 target
// (simdjson's "fallback" kernel; its stage 1 picks the processor's best at
// run time, as the DOM does).
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.hpp"

#if __has_include(<rapidjson/document.h>)
#include <rapidjson/document.h>
#define TARNWICK_HAVE_RAPIDJSON 1
#endif

namespace {

// A MESSAGE_CREATE as the gateway sends it: the author, the author's member,
// one mention with its member.
constexpr std::string_view kMessageCreate = R"({"t":"MESSAGE_CREATE","s":42,"op":0,"d":{"type":0,"tts":false,)"
    R"("timestamp":"2024-05-01T12:34:56.789000+00:00","referenced_message":null,"pinned":false,)"
    R"("mentions":[{"username":"bea","public_flags":0,"member":{"roles":)"
    R"(["1102273514624401420"],"premium_since":null,"pending":false,"nick":null,"mute":false,)"
    R"("joined_at":"2023-04-30T18:02:11.120000+00:00","flags":0,"deaf":false,)"
    R"("communication_disabled_until":null,"avatar":null},"id":"272444271178711041","global_name":"Bea",)"
    R"("discriminator":"0","avatar":"6f1cd0e8e2d0b5b5a1d1c9c4d5e0f7a2","avatar_decoration_data":null}],)"
    R"("mention_roles":[],"mention_everyone":false,"member":{"roles":["1102273514624401420",)"
    R"("1102273514624401421"],"premium_since":"2024-01-09T08:00:00.000000+00:00","pending":false,)"
    R"("nick":"annie","mute":false,"joined_at":"2023-04-30T17:55:02.491000+00:00","flags":0,"deaf":false,)"
    R"("communication_disabled_until":null,"avatar":null},"id":"1235489653452488744","flags":0,"embeds":[],)"
    R"("edited_timestamp":null,"content":"@bea did you see? Tea club moves to Thursdays, \u00e9clairs on me.",)"
    R"("components":[],)"
    R"("channel_id":"1102273515551330355","author":{"username":"ann","public_flags":64,)"
    R"("id":"80351110224678912","global_name":"Ann","discriminator":"0",)"
    R"("avatar":"a_5d4f3e2c1b0a9f8e7d6c5b4a3f2e1d0c","avatar_decoration_data":null,"bot":false},)"
    R"("attachments":[],"guild_id":"1102273514624401418"}})";

template <typename... Parts>
void add(std::string& s, const Parts&... parts) {
  (s.append(parts), ...);
}
std::string num(std::uint64_t v) { return std::to_string(v); }

std::string guild_create(int members) {
  std::string s;
  add(s, R"({"t":"GUILD_CREATE","s":2,"op":0,"d":{"id":"1102273514624401418","name":"Tea Club",)",
      R"("icon":"1f2e3d4c5b6a79881f2e3d4c5b6a7988","splash":null,"owner_id":"80351110224678912",)",
      R"("afk_timeout":300,"verification_level":1,"default_message_notifications":1,)",
      R"("explicit_content_filter":2,"mfa_level":0,"system_channel_id":"1102273515551330355",)",
      R"("system_channel_flags":0,"premium_tier":2,"premium_subscription_count":9,)",
      R"("preferred_locale":"en-US","nsfw_level":0,"premium_progress_bar_enabled":false,)",
      R"("features":["COMMUNITY","NEWS","ROLE_ICONS"],"member_count":)", num(members), R"(,"large":true,"roles":[)");
  for (int i = 0; i < 40; ++i) {
    add(s, R"({"id":")", num(1102273514624401418 + i), R"(","name":"role )", num(i), R"(","color":)", num(i * 4099),
        R"(,"hoist":)", i % 5 ? "false" : "true", R"(,"icon":null,"unicode_emoji":null,"position":)", num(i),
        R"(,"permissions":"1071698660929","managed":false,"mentionable":true,"flags":0},)");
  }
  s.back() = ']';
  add(s, R"(,"emojis":[)");
  for (int i = 0; i < 30; ++i) {
    add(s, R"({"id":")", num(1102280000000000000 + i), R"(","name":"tea)", num(i),
        R"(","roles":[],"require_colons":true,"managed":false,"animated":false,"available":true},)");
  }
  s.back() = ']';
  add(s, R"(,"channels":[)");
  for (int i = 0; i < 60; ++i) {
    add(s, R"({"id":")", num(1102273515551330355 + i), R"(","type":0,"name":"channel-)", num(i), R"(","position":)",
        num(i), R"(,"parent_id":null,"topic":"talk about tea","nsfw":false,"rate_limit_per_user":0,)",
        R"("permission_overwrites":[{"id":"1102273514624401418","type":0,"allow":"0","deny":"1024"}]},)");
  }
  s.back() = ']';
  add(s, R"(,"members":[)");
  const auto user_id = [](int i) { return num(300000000000000000ULL + 7919ULL * static_cast<unsigned>(i)); };
  for (int i = 0; i < members; ++i) {
    add(s, R"({"user":{"username":"member)", num(i), R"(","public_flags":0,"id":")", user_id(i), R"(","global_name":)");
    if (i % 3) {
      add(s, R"("Member )", num(i), "\"");
    } else {
      add(s, "null");
    }
    add(s, R"(,"discriminator":"0","bot":false,"avatar":)",
        i % 2 ? R"("0a1b2c3d4e5f60718293a4b5c6d7e8f9")" : "null", R"(,"avatar_decoration_data":null},"roles":[)");
    for (int r = 0; r < i % 4; ++r) add(s, r ? ",\"" : "\"", num(1102273514624401419 + (i + r) % 39), "\"");
    add(s, R"(],"premium_since":null,"pending":false,"nick":)");
    if (i % 7 == 0) {
      add(s, R"("nick )", num(i), "\"");
    } else {
      add(s, "null");
    }
    add(s, R"(,"mute":false,"joined_at":"2023-05-)", num(10 + i % 19),
        R"(T10:11:12.131415+00:00","flags":0,"deaf":false,"communication_disabled_until":null,"avatar":null},)");
  }
  s.back() = ']';
  add(s, R"(,"presences":[)");
  for (int i = 0; i < members / 10; ++i) {
    add(s, R"({"user":{"id":")", user_id(i), R"("},"status":"online","client_status":{"desktop":"online"},)",
        R"("activities":[]},)");
  }
  s.back() = ']';
  add(s, "}}");
  return s;
}

// ---- what the reader takes ----

enum class Kind { Int, Id, Text, Bool, Ids, Obj, Objs };
struct Schema;
struct Field {
  std::string_view key;
  Kind kind;
  const Schema* sub = nullptr;
};
struct Schema {
  const Field* fields;
  std::size_t size;
  const Field* find(std::string_view key) const {
    for (std::size_t i = 0; i < size; ++i) {
      const std::string_view k = fields[i].key;
      if (k.size() == key.size() && k[0] == key[0] && std::memcmp(k.data(), key.data(), k.size()) == 0) {
        return &fields[i];
      }
    }
    return nullptr;
  }
};
template <std::size_t N>
constexpr Schema schema(const Field (&f)[N]) {
  return {f, N};
}

constexpr Field kUserFields[] = {{"id", Kind::Id},          {"username", Kind::Text},   {"discriminator", Kind::Text},
                                 {"global_name", Kind::Text}, {"avatar", Kind::Text},   {"bot", Kind::Bool},
                                 {"public_flags", Kind::Int}, {"banner", Kind::Text},   {"accent_color", Kind::Int}};
constexpr Schema kUser = schema(kUserFields);
constexpr Field kMemberFields[] = {{"user", Kind::Obj, &kUser},    {"nick", Kind::Text},
                                   {"avatar", Kind::Text},         {"roles", Kind::Ids},
                                   {"joined_at", Kind::Text},      {"premium_since", Kind::Text},
                                   {"deaf", Kind::Bool},           {"mute", Kind::Bool},
                                   {"flags", Kind::Int},           {"pending", Kind::Bool},
                                   {"communication_disabled_until", Kind::Text}};
constexpr Schema kMember = schema(kMemberFields);
constexpr Field kMentionFields[] = {{"id", Kind::Id},          {"username", Kind::Text},   {"discriminator", Kind::Text},
                                    {"global_name", Kind::Text}, {"avatar", Kind::Text},   {"bot", Kind::Bool},
                                    {"public_flags", Kind::Int}, {"member", Kind::Obj, &kMember}};
constexpr Schema kMention = schema(kMentionFields);
constexpr Field kMessageFields[] = {{"id", Kind::Id},
                                    {"channel_id", Kind::Id},
                                    {"guild_id", Kind::Id},
                                    {"author", Kind::Obj, &kUser},
                                    {"member", Kind::Obj, &kMember},
                                    {"mentions", Kind::Objs, &kMention},
                                    {"content", Kind::Text},
                                    {"timestamp", Kind::Text},
                                    {"edited_timestamp", Kind::Text},
                                    {"tts", Kind::Bool},
                                    {"mention_everyone", Kind::Bool},
                                    {"pinned", Kind::Bool},
                                    {"webhook_id", Kind::Id},
                                    {"type", Kind::Int},
                                    {"flags", Kind::Int}};
constexpr Schema kMessage = schema(kMessageFields);
constexpr Field kRoleFields[] = {{"id", Kind::Id},         {"name", Kind::Text},         {"color", Kind::Int},
                                 {"hoist", Kind::Bool},    {"icon", Kind::Text},         {"unicode_emoji", Kind::Text},
                                 {"position", Kind::Int},  {"permissions", Kind::Id},    {"managed", Kind::Bool},
                                 {"mentionable", Kind::Bool}};
constexpr Schema kRole = schema(kRoleFields);
constexpr Field kEmojiFields[] = {{"id", Kind::Id},         {"name", Kind::Text},      {"roles", Kind::Ids},
                                  {"require_colons", Kind::Bool}, {"managed", Kind::Bool}, {"animated", Kind::Bool},
                                  {"available", Kind::Bool}};
constexpr Schema kEmoji = schema(kEmojiFields);
constexpr Field kGuildFields[] = {{"id", Kind::Id},
                                  {"name", Kind::Text},
                                  {"icon", Kind::Text},
                                  {"splash", Kind::Text},
                                  {"owner_id", Kind::Id},
                                  {"afk_timeout", Kind::Int},
                                  {"verification_level", Kind::Int},
                                  {"default_message_notifications", Kind::Int},
                                  {"explicit_content_filter", Kind::Int},
                                  {"mfa_level", Kind::Int},
                                  {"system_channel_id", Kind::Id},
                                  {"system_channel_flags", Kind::Int},
                                  {"premium_tier", Kind::Int},
                                  {"premium_subscription_count", Kind::Int},
                                  {"preferred_locale", Kind::Text},
                                  {"nsfw_level", Kind::Int},
                                  {"premium_progress_bar_enabled", Kind::Bool},
                                  {"roles", Kind::Objs, &kRole},
                                  {"emojis", Kind::Objs, &kEmoji},
                                  {"members", Kind::Objs, &kMember}};
constexpr Schema kGuild = schema(kGuildFields);
constexpr Field kMessageFrameFields[] = {
    {"op", Kind::Int}, {"s", Kind::Int}, {"t", Kind::Text}, {"d", Kind::Obj, &kMessage}};
constexpr Field kGuildFrameFields[] = {{"op", Kind::Int}, {"s", Kind::Int}, {"t", Kind::Text}, {"d", Kind::Obj, &kGuild}};
constexpr Schema kMessageFrame = schema(kMessageFrameFields);
constexpr Schema kGuildFrame = schema(kGuildFrameFields);

// Takes what was read; the sum shows the contenders read the same.
struct Sink {
  std::uint64_t sum = 0;
  void id(std::string_view s) {
    std::uint64_t v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    sum += v;
  }
  void text(std::string_view s) { sum += s.size() * 31 + (s.empty() ? 0 : static_cast<unsigned char>(s.back())); }
  void integer(std::uint64_t v) { sum += v * 7; }
  void boolean(bool b) { sum += b ? 3 : 1; }
};

// ---- simdjson DOM, through core/json ----

namespace tj = tarnwick::json;

void read_dom(const tj::Value& object, const Schema& schema, Sink& sink) {
  std::string_view key;
  tj::Value v;
  for (auto f = object.fields(); f.next(&key, &v);) {
    const Field* field = schema.find(key);
    if (!field) continue;
    switch (field->kind) {
      case Kind::Int:
        if (v.type() == tj::Type::Int) sink.integer(v.as_u64());
        break;
      case Kind::Id:
        if (v.type() == tj::Type::String) sink.id(v.as_string());
        break;
      case Kind::Text:
        if (v.type() == tj::Type::String) sink.text(v.as_string());
        break;
      case Kind::Bool:
        if (v.type() == tj::Type::Bool) sink.boolean(v.as_bool());
        break;
      case Kind::Ids: {
        tj::Value e;
        for (auto it = v.elements(); it.next(&e);) sink.id(e.as_string());
        break;
      }
      case Kind::Obj:
        read_dom(v, *field->sub, sink);
        break;
      case Kind::Objs: {
        tj::Value e;
        for (auto it = v.elements(); it.next(&e);) read_dom(e, *field->sub, sink);
        break;
      }
    }
  }
}

// ---- simdjson On-Demand ----

namespace od = simdjson::ondemand;

void read_ondemand(od::object object, const Schema& schema, Sink& sink) {
  for (auto result : object) {
    od::field field;
    if (auto error = std::move(result).get(field)) throw simdjson::simdjson_error(error);
    const Field* want = schema.find(field.unescaped_key().value());
    if (!want) continue;
    od::value v = field.value();
    switch (want->kind) {
      case Kind::Int:
        if (v.type().value() == od::json_type::number) sink.integer(v.get_uint64().value());
        break;
      case Kind::Id:
        if (v.type().value() == od::json_type::string) sink.id(v.get_string().value());
        break;
      case Kind::Text:
        if (v.type().value() == od::json_type::string) sink.text(v.get_string().value());
        break;
      case Kind::Bool:
        if (v.type().value() == od::json_type::boolean) sink.boolean(v.get_bool().value());
        break;
      case Kind::Ids:
        for (auto e : v.get_array().value()) sink.id(e.get_string().value());
        break;
      case Kind::Obj:
        read_ondemand(v.get_object().value(), *want->sub, sink);
        break;
      case Kind::Objs:
        for (auto e : v.get_array().value()) read_ondemand(e.get_object().value(), *want->sub, sink);
        break;
    }
  }
}

struct OnDemand {
  od::parser parser{tj::kMaxBytes};
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;
  std::uint64_t read(std::string_view frame, const Schema& schema) {
    if (capacity < frame.size()) {
      buffer.reset(new char[frame.size() + simdjson::SIMDJSON_PADDING]);
      capacity = frame.size();
    }
    std::memcpy(buffer.get(), frame.data(), frame.size());
    std::memset(buffer.get() + frame.size(), 0, simdjson::SIMDJSON_PADDING);
    od::document doc = parser.iterate(buffer.get(), frame.size(), capacity + simdjson::SIMDJSON_PADDING).value();
    Sink sink;
    read_ondemand(doc.get_object().value(), schema, sink);
    return sink.sum;
  }
};

// ---- RapidJSON ----

#ifdef TARNWICK_HAVE_RAPIDJSON
constexpr unsigned kRapidFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag;

void read_rapid(const rapidjson::Value& object, const Schema& schema, Sink& sink) {
  for (auto m = object.MemberBegin(); m != object.MemberEnd(); ++m) {
    const Field* field = schema.find({m->name.GetString(), m->name.GetStringLength()});
    if (!field) continue;
    const rapidjson::Value& v = m->value;
    switch (field->kind) {
      case Kind::Int:
        if (v.IsUint64()) sink.integer(v.GetUint64());
        break;
      case Kind::Id:
        if (v.IsString()) sink.id({v.GetString(), v.GetStringLength()});
        break;
      case Kind::Text:
        if (v.IsString()) sink.text({v.GetString(), v.GetStringLength()});
        break;
      case Kind::Bool:
        if (v.IsBool()) sink.boolean(v.GetBool());
        break;
      case Kind::Ids:
        for (const auto& e : v.GetArray()) sink.id({e.GetString(), e.GetStringLength()});
        break;
      case Kind::Obj:
        read_rapid(v, *field->sub, sink);
        break;
      case Kind::Objs:
        for (const auto& e : v.GetArray()) read_rapid(e, *field->sub, sink);
        break;
    }
  }
}
#endif

// ---- the runs ----

struct Frame {
  std::string text;
  const Schema* schema;
};

const Frame& message_frame() {
  static const Frame f{std::string(kMessageCreate), &kMessageFrame};
  return f;
}
const Frame& guild_frame() {
  static const Frame f{guild_create(10000), &kGuildFrame};
  return f;
}

std::uint64_t read_with_dom(tj::Document& doc, const Frame& f) {
  auto r = doc.parse(f.text.data(), f.text.size());
  Sink sink;
  if (r.root) read_dom(*r.root, *f.schema, sink);
  return sink.sum;
}

// The checksum every full read must reach (a parse alone gives 1).
std::uint64_t expected(const Frame& f) {
  tj::Document doc;
  return read_with_dom(doc, f);
}

template <typename Run>
void run(benchmark::State& state, const Frame& f, std::uint64_t want, Run&& one) {
  if (want == 0) {
    state.SkipWithError("the frame does not parse");
    return;
  }
  try {
    for (auto _ : state) {
      const std::uint64_t got = one(f);
      if (got != want) {
        state.SkipWithError("read something else than the simdjson DOM did");
        break;
      }
      benchmark::DoNotOptimize(got);
    }
  } catch (const simdjson::simdjson_error& e) {
    state.SkipWithError(e.what());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.text.size()));
  state.counters["frame_bytes"] = static_cast<double>(f.text.size());
}

void BM_JsonSimdjsonDomParse(benchmark::State& state, const Frame& (*frame)()) {
  tj::Document doc;
  run(state, frame(), 1, [&](const Frame& f) -> std::uint64_t {
    return doc.parse(f.text.data(), f.text.size()).root ? 1 : 0;
  });
}

// A Document made for each frame: what keeping the buffers saves.
void BM_JsonSimdjsonDomParseFresh(benchmark::State& state, const Frame& (*frame)()) {
  run(state, frame(), 1, [&](const Frame& f) -> std::uint64_t {
    tj::Document doc;
    return doc.parse(f.text.data(), f.text.size()).root ? 1 : 0;
  });
}

void BM_JsonSimdjsonDom(benchmark::State& state, const Frame& (*frame)()) {
  tj::Document doc;
  run(state, frame(), expected(frame()), [&](const Frame& f) { return read_with_dom(doc, f); });
}

void BM_JsonSimdjsonOnDemand(benchmark::State& state, const Frame& (*frame)()) {
  OnDemand od;
  run(state, frame(), expected(frame()), [&](const Frame& f) { return od.read(f.text, *f.schema); });
}

#ifdef TARNWICK_HAVE_RAPIDJSON
void BM_JsonRapidDomParse(benchmark::State& state, const Frame& (*frame)()) {
  rapidjson::MemoryPoolAllocator<> pool;
  run(state, frame(), 1, [&](const Frame& f) -> std::uint64_t {
    pool.Clear();
    rapidjson::Document doc(&pool);
    doc.Parse<kRapidFlags>(f.text.data(), f.text.size());
    return doc.HasParseError() ? 0 : 1;
  });
}

void BM_JsonRapidDom(benchmark::State& state, const Frame& (*frame)()) {
  rapidjson::MemoryPoolAllocator<> pool;
  run(state, frame(), expected(frame()), [&](const Frame& f) -> std::uint64_t {
    pool.Clear();
    rapidjson::Document doc(&pool);
    doc.Parse<kRapidFlags>(f.text.data(), f.text.size());
    if (doc.HasParseError()) return 0;
    Sink sink;
    read_rapid(doc, *f.schema, sink);
    return sink.sum;
  });
}
#endif

#define JSON_FRAMES(fn)                                                            \
  BENCHMARK_CAPTURE(fn, MessageCreate, &message_frame)->Unit(benchmark::kNanosecond); \
  BENCHMARK_CAPTURE(fn, GuildCreate10k, &guild_frame)->Unit(benchmark::kMicrosecond)

JSON_FRAMES(BM_JsonSimdjsonDomParse);
JSON_FRAMES(BM_JsonSimdjsonDomParseFresh);
JSON_FRAMES(BM_JsonSimdjsonDom);
JSON_FRAMES(BM_JsonSimdjsonOnDemand);
#ifdef TARNWICK_HAVE_RAPIDJSON
JSON_FRAMES(BM_JsonRapidDomParse);
JSON_FRAMES(BM_JsonRapidDom);
#endif

}  // namespace
