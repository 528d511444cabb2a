// The gateway's dispatch events applied to the cache: the rules behind
// tarnwick_extras.events (its module docstring says what each event does),
// written once against a value source (records/reader.hpp), for the Python
// objects json.loads makes and for a parsed frame alike.
//
// Every event reads and builds all it files before it changes anything, so
// a fault (PayloadFault) changes nothing; only an event that carries many
// entries skips a bad entry whole and goes on, handing the entry's fault to
// its Host.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "records/reader.hpp"
#include "records/timestamp.hpp"
#include "registry/changes.hpp"

namespace tarnwick::wire {

enum class Outcome : std::uint8_t { Applied, Ignored, Unavailable, Unsupported };

// What the caller of the event code provides: where the faults of skipped
// entries go, and how work that may take long runs (a big guild let go of,
// a walk over every message kept): work on the maps alone, which starts and
// ends holding no map lock, so the Python entry points run it without the
// interpreter lock.
class Host {
 public:
  virtual void skipped(PayloadFault&& fault) = 0;
  virtual void long_work(void (*work)(void*), void* context) { work(context); }

 protected:
  ~Host() = default;
};

// The event types handled, in the order EVENT_TYPES lists them (and
// Gateway::kHandlers gives their handlers).
inline constexpr std::string_view kEventTypes[] = {
    "GUILD_CREATE", "GUILD_UPDATE", "GUILD_DELETE", "GUILD_MEMBER_ADD", "GUILD_MEMBER_UPDATE",
    "GUILD_MEMBER_REMOVE", "GUILD_MEMBERS_CHUNK", "GUILD_ROLE_CREATE", "GUILD_ROLE_UPDATE",
    "GUILD_ROLE_DELETE", "GUILD_EMOJIS_UPDATE", "GUILD_BAN_ADD", "GUILD_BAN_REMOVE", "READY",
    "USER_UPDATE", "PRESENCE_UPDATE", "INTERACTION_CREATE", "VOICE_STATE_UPDATE", "TYPING_START",
    "MESSAGE_REACTION_ADD", "THREAD_MEMBERS_UPDATE", "CHANNEL_DELETE", "THREAD_DELETE",
    "MESSAGE_CREATE", "MESSAGE_UPDATE", "MESSAGE_DELETE", "MESSAGE_DELETE_BULK",
    "GUILD_AUDIT_LOG_ENTRY_CREATE", "INVITE_CREATE", "GUILD_SCHEDULED_EVENT_CREATE",
    "GUILD_SCHEDULED_EVENT_UPDATE", "GUILD_SCHEDULED_EVENT_DELETE", "GUILD_STICKERS_UPDATE",
    "GUILD_SOUNDBOARD_SOUND_CREATE", "GUILD_SOUNDBOARD_SOUND_UPDATE", "GUILD_SOUNDBOARD_SOUNDS_UPDATE",
    "SOUNDBOARD_SOUNDS", "INTEGRATION_CREATE", "INTEGRATION_UPDATE",
};

// The event types whose work can grow with a guild or with the messages
// kept, however small their data: each may run long work (Host::long_work).
inline constexpr std::string_view kLongWorkTypes[] = {
    "GUILD_CREATE", "GUILD_DELETE", "GUILD_ROLE_DELETE", "READY", "CHANNEL_DELETE", "THREAD_DELETE",
};

// What a frame's dispatch displaced or removed from the cache, as it was
// filed: the message of a MESSAGE_UPDATE or MESSAGE_DELETE (those of a
// MESSAGE_DELETE_BULK), the member of a GUILD_MEMBER_UPDATE,
// GUILD_MEMBER_REMOVE or GUILD_BAN_ADD, the role of a GUILD_ROLE_CREATE,
// _UPDATE or _DELETE, the user of a USER_UPDATE or PRESENCE_UPDATE; nothing
// (monostate) when it displaced none (a member or user sent as filed is not
// filed again).  A bot that logs edits and deletions reads them there.
using Before =
    std::variant<std::monostate, UserRecord, MemberRecord, RoleRecord, MessageRecord, std::vector<MessageRecord>>;

// Whether edit time a is later than b (none: never edited): ISO 8601 times
// compared as instants, or as text when either is not one.
bool later_edit(std::optional<std::string_view> a, std::optional<std::string_view> b);

namespace keys {
inline const Key id{"id"}, guild_id{"guild_id"}, role_id{"role_id"}, user{"user"}, member{"member"},
    role{"role"}, roles{"roles"}, emojis{"emojis"}, members{"members"}, mentions{"mentions"},
    unavailable{"unavailable"}, ids{"ids"}, added_members{"added_members"},
    referenced_message{"referenced_message"}, message_reference{"message_reference"},
    message_id{"message_id"}, channel_id{"channel_id"}, content{"content"}, timestamp{"timestamp"},
    author{"author"}, author_id{"author_id"}, stickers{"stickers"},
    soundboard_sounds{"soundboard_sounds"};
}  // namespace keys

template <class Source>
class Gateway {
  using Value = typename Source::Value;
  using Object = typename Source::Object;

 public:
  Gateway(Source& src, Host& host) : src_(src), host_(host) {}

  // Applies one event; PayloadFault for malformed data (nothing changed).
  Outcome apply(std::string_view type, const Value& data) {
    const Handler handler = handler_of(type);
    return handler == nullptr ? Outcome::Unsupported : run(handler, data);
  }

  // The handler of an event type (null: not handled), and one run of it.
  using Handler = Outcome (Gateway::*)(const Object&, const Value&);

  // The index of an event type handled in kEventTypes, or none.
  static std::optional<std::size_t> type_index(std::string_view type) {
    for (std::size_t i = 0; i < std::size(kEventTypes); ++i) {
      if (kEventTypes[i] == type) return i;
    }
    return std::nullopt;
  }
  static Handler handler_of(std::string_view type) {
    const std::optional<std::size_t> i = type_index(type);
    return i ? kHandlers[*i] : nullptr;
  }

  Outcome run(Handler handler, const Value& data) {
    const Object d = object(data);
    return (this->*handler)(d, data);
  }

  // A whole frame: {"op": ..., "t": ..., "s": ..., "d": ...}.  A dispatch
  // (op 0) of a type handled is applied to its d, exactly as apply(t, d)
  // would: faults within d have paths relative to d.
  struct FrameRead {
    std::uint64_t op = 0;
    std::optional<std::string> type;
    std::optional<std::uint64_t> seq;
    std::optional<Outcome> outcome;
    std::optional<std::size_t> known_type;  // the type's index in kEventTypes, when handled
    bool held = false;  // one of kLongWorkTypes, left unapplied (hold_long_work)
    std::optional<std::uint64_t> id;  // a handled dispatch's d.id, when it holds an id
    Before before;
  };
  // frame() leaves a dispatch of one of kLongWorkTypes unapplied, once its
  // op, t and s are read: for a caller that would rather run it elsewhere.
  void hold_long_work() noexcept { hold_long_ = true; }
  FrameRead frame(const Value& root) {
    static const Key op_key{"op"}, t_key{"t"}, s_key{"s"}, d_key{"d"};
    const Object f = object(root);
    FrameRead out;
    const std::optional<Value> op = f.get(op_key);
    if (!op) path_.fail_at("op", "missing");
    if (!src_.uint_of(*op, &out.op)) path_.fail_at("op", "expected an opcode (an integer), got " + kind_of(*op));
    const std::optional<Value> t = f.get(t_key);
    if (has_value(t)) {
      if (src_.kind(*t) != ValueKind::String) path_.fail_at("t", "expected a string or null, got " + kind_of(*t));
      out.type = src_.text_of(*t);
    }
    const std::optional<Value> s = f.get(s_key);
    if (has_value(s)) {
      std::uint64_t seq;
      if (!src_.uint_of(*s, &seq)) path_.fail_at("s", "expected a sequence number or null, got " + kind_of(*s));
      out.seq = seq;
    }
    if (out.op != 0) return out;
    if (!out.type) path_.fail_at("t", t ? "expected a string, got null" : "missing");
    out.known_type = type_index(*out.type);
    if (!out.known_type) {
      out.outcome = Outcome::Unsupported;
      return out;
    }
    if (hold_long_ && kLongWork[*out.known_type]) {
      out.held = true;
      return out;
    }
    const std::optional<Value> d = f.get(d_key);
    if (!d) path_.fail_at("d", "missing");
    const Object data = object(*d);
    keep_before_ = true;
    out.outcome = (this->*kHandlers[*out.known_type])(data, *d);
    keep_before_ = false;
    out.before = std::exchange(before_, Before{});
    // What a bot reads back the subject by (a message's id, a guild's).
    std::uint64_t id;
    if (const std::optional<Value> v = data.get(keys::id); has_value(v) && src_.id_of(*v, &id)) out.id = id;
    return out;
  }

  // The payload readers tarnwick_extras.payloads offers, as records.
  template <class Desc>
  Record<Desc> record(const Value& v) {
    return read_record<Desc>(src_, path_, v);
  }
  // The same, for a Python object made of it.
  template <class Desc>
  void read_into(const Value& v, Built<Desc>& out) {
    RecordReader<Source, Desc>(src_, path_).read(v, out);
  }
  // A guild with its roles, emojis and members; a bad entry fails the guild
  // unless `skip_bad`, when it is reported and left out.
  GuildRecord guild_with_collections(const Value& v, bool skip_bad) {
    const Object d = object(v);
    GuildRecord guild = read_record<GuildDesc>(src_, path_, v);
    entries(d, keys::roles, skip_bad, [&](const Value& item) { guild.extra().put(record<RoleDesc>(item)); });
    entries(d, keys::emojis, skip_bad, [&](const Value& item) { guild.extra().put(record<EmojiDesc>(item)); });
    entries(d, keys::members, skip_bad, [&](const Value& item) { guild.extra().put(record<MemberDesc>(item)); });
    return guild;
  }
  // The users of a guild payload's members (those that carry one).
  std::vector<UserRecord> guild_users(const Value& v, bool skip_bad) {
    const Object d = object(v);
    std::vector<UserRecord> users;
    entries(d, keys::members, skip_bad, [&](const Value& item) {
      const Object m = object(item);
      if (auto u = m.get(keys::user); has_value(u)) {
        Within at(path_, keys::user.text);
        users.push_back(record<UserDesc>(*u));
      }
    });
    return users;
  }
  // An object's user under `key`, or none (null or left out).
  std::optional<UserRecord> user_at(const Value& v, const Key& key) {
    const Object d = object(v);
    const std::optional<Value> u = d.get(key);
    if (!has_value(u)) return std::nullopt;
    Within at(path_, key.text);
    return record<UserDesc>(*u);
  }
  std::uint64_t parse_id(const Value& v) { return id_of(v); }

  Path& path() noexcept { return path_; }

 private:
  // -- reading ---------------------------------------------------------------

  static bool has_value(const std::optional<Value>& v) { return v && !Source::is_null(*v); }

  std::string kind_of(const Value& v) { return got_text(src_.describe(v)); }

  Object object(const Value& v) {
    if (src_.kind(v) != ValueKind::Object) path_.fail("expected an object, got " + kind_of(v));
    return Object(src_, v);
  }

  Value required(const Object& d, const Key& key) {
    std::optional<Value> v = d.get(key);
    if (!has_value(v)) path_.fail_at(key.text, v ? "required, got null" : "missing");
    return *v;
  }

  std::uint64_t id_of(const Value& v) {
    std::uint64_t id;
    if (src_.id_of(v, &id)) return id;
    path_.fail(reason_for(Holds::Id, src_.describe(v)));
  }

  std::uint64_t id(const Object& d, const Key& key) {
    const Value v = required(d, key);
    Within at(path_, key.text);
    return id_of(v);
  }

  std::uint64_t nested_id(const Object& d, const Key& key) {
    const Value v = required(d, key);
    Within at(path_, key.text);
    return id_in(object(v));
  }
  // The id of a nested object (at the path's place).
  std::uint64_t id_in(const Object& nested) {
    const std::optional<Value> nid = nested.get(keys::id);
    if (!has_value(nid)) path_.fail_at("id", "missing");
    Within at_id(path_, "id");
    return id_of(*nid);
  }

  bool flag(const Object& d, const Key& key) {
    const std::optional<Value> v = d.get(key);
    if (!has_value(v)) return false;
    if (src_.kind(*v) != ValueKind::Bool) path_.fail_at(key.text, "expected a boolean, got " + kind_of(*v));
    return src_.truth(*v);
  }

  // Calls f on each item of the list under `key` (none when left out or
  // null), at the item's path; whether the list was sent.  With skip_bad,
  // an item whose f faults is reported to the host and left out; else the
  // fault is the event's.
  template <class F>
  bool entries(const Object& d, const Key& key, bool skip_bad, F&& f) {
    const std::optional<Value> list = d.get(key);
    if (!has_value(list)) return false;
    Within at(path_, key.text);
    if (src_.kind(*list) != ValueKind::List) path_.fail("expected a list, got " + kind_of(*list));
    typename Source::List items(src_, *list);
    Value item;
    for (std::size_t i = 0; items.next(&item); ++i) {
      Within at_item(path_, i);
      if (!skip_bad) {
        f(item);
        continue;
      }
      const std::size_t depth = path_.depth();
      std::optional<PayloadFault> bad;
      try {
        f(item);
      } catch (PayloadFault& fault) {
        bad.emplace(std::move(fault));
      }
      if (bad) {  // reported outside the handler: that may run Python (see take_back)
        path_.truncate(depth);
        host_.skipped(std::move(*bad));
      }
    }
    return true;
  }

  // A user or member as read: its record, or none when the filed one holds
  // exactly those fields already (nothing to file, no copy made).
  template <class Rec>
  struct Read {
    std::uint64_t id;  // the user's
    std::optional<Rec> changed;
    std::uint64_t key() const noexcept { return id; }
  };
  using UserRead = Read<UserRecord>;
  using MemberRead = Read<MemberRecord>;

  // Filed when it changed; a prune keeps it meanwhile either way, for the
  // event names it (named_).
  static void refile(UserRead&& u) {
    if (u.changed) file_user(std::move(*u.changed));  // compared with the filed one as it was read
  }
  // The members of `items` (proj(item): its MemberRead) that changed, into
  // the filed guild a batch at a time: whether it is filed (none: no member
  // changed, nothing looked at).  What they displace is left in their place.
  template <class Items, class Proj>
  static std::optional<bool> put_changed(std::uint64_t guild_id, Items& items, Proj proj) {
    std::array<MemberRecord*, kMemberBatch> batch;
    std::size_t n = 0;
    bool any = false;
    for (auto& item : items) {
      MemberRead& m = std::invoke(proj, item);
      if (!m.changed) continue;
      any = true;
      batch[n++] = &*m.changed;
      if (n == batch.size() && !put_members_in_guild(guild_id, {batch.data(), std::exchange(n, 0)})) return false;
    }
    if (n > 0) return put_members_in_guild(guild_id, {batch.data(), n});
    return any ? std::optional<bool>(true) : std::nullopt;
  }
  // Call f with the user (or the guild's member) filed under the id, null
  // when none, and return what f returns; f may not change the maps.  The
  // JSON source reads the filed record in place, under its shard's read
  // lock, when it may: reading that source takes no other lock and runs
  // nothing else.  Both say first that the event names the user: from then
  // on a prune keeps it, whether it is found unchanged now or filed later.
  template <class F>
  auto with_filed_user(std::uint64_t uid, F&& f) {
    named_.add(uid);
    if constexpr (Source::kReadsWithoutPython) {
      if (src_.reads_filed_in_place()) {
        const auto filed = user_map().get(uid);
        return f(filed ? &filed.value() : nullptr);
      }
    }
    const std::optional<UserRecord> filed = filed_user(uid);
    return f(filed ? &*filed : nullptr);
  }
  template <class F>
  auto with_filed_member(std::uint64_t guild_id, std::uint64_t user_id, F&& f) {
    named_.add(user_id);
    if constexpr (Source::kReadsWithoutPython) {
      if (src_.reads_filed_in_place()) {
        const auto guild = guild_map().get(guild_id);
        return f(guild ? guild.value().extra().filed_member(user_id) : nullptr);
      }
    }
    const std::optional<MemberRecord> filed = filed_member(guild_id, user_id);
    return f(filed ? &*filed : nullptr);
  }

  // The object `d` merged onto `filed` (lenient: what does not convert
  // keeps the filed value), for the user `id`.  Given: the id, read
  // already, is not read again.
  template <class Desc>
  Read<Record<Desc>> read_over(const Object& d, std::uint64_t id, const Record<Desc>* filed, bool given,
                               bool lenient = false) {
    Built<Desc> out;
    Overrides o;
    if (given) {
      o.given = 0;  // the user's id
      o.given_id = id;
    }
    RecordReader<Source, Desc> reader(src_, path_);
    if (filed != nullptr && reader.unchanged(d, *filed, o)) return {id, std::nullopt};
    reader.read(d, out, filed, lenient, o);
    if (filed != nullptr && out.same_as(*filed)) return {id, std::nullopt};
    return {id, out.record()};
  }

  // The user object `v` (at the path's place), merged onto the filed user.
  // `known`: its id, read from it already.
  UserRead user(const Value& v, std::optional<std::uint64_t> known = std::nullopt) { return user(object(v), known); }
  // `keep_filed`: a filed user it changes is kept as the frame's before.
  UserRead user(const Object& d, std::optional<std::uint64_t> known = std::nullopt, bool keep_filed = false) {
    const std::uint64_t uid = known ? *known : id(d, keys::id);
    return with_filed_user(uid, [&](const UserRecord* filed) {
      UserRead read = read_over(d, uid, filed, true);
      if (keep_filed) keep_changed(filed, read);
      return read;
    });
  }

  std::optional<UserRead> user_under(const Object& d, const Key& key,
                                     std::optional<std::uint64_t> known = std::nullopt) {
    const std::optional<Value> v = d.get(key);
    if (!has_value(v)) return std::nullopt;
    Within at(path_, key.text);
    return user(*v, known);
  }

  // The users (or members) an event sends, each once: one sent again is
  // read over the copy gathered (see gather).  Found by a scan while few.
  template <class Rec>
  struct Gathered {
    std::vector<Read<Rec>> reads;
    std::unordered_map<std::uint64_t, std::size_t> place;  // by id, once past kScan
    static constexpr std::size_t kScan = 16;

    Read<Rec>* find(std::uint64_t id) {
      if (reads.size() <= kScan) {
        for (Read<Rec>& r : reads) {
          if (r.id == id) return &r;
        }
        return nullptr;
      }
      if (place.empty()) {
        for (std::size_t i = 0; i < reads.size(); ++i) place.emplace(reads[i].id, i);
      }
      const auto it = place.find(id);
      return it == place.end() ? nullptr : &reads[it->second];
    }
    void add(Read<Rec>&& r) {
      if (reads.empty()) reads.reserve(4);  // an author, a mention or two: one allocation
      reads.push_back(std::move(r));
      if (!place.empty()) place.emplace(reads.back().id, reads.size() - 1);
    }
  };
  using UserReads = Gathered<UserRecord>;
  using MemberReads = Gathered<MemberRecord>;

  // `sent`, for `id`, gathered: read by fresh() (over the filed record) the
  // first time, and read again over the copy gathered if that changed
  // anything, so that each copy keeps what it says.
  template <class Rec, class Fresh>
  void gather(Gathered<Rec>& into, std::uint64_t id, const Object& sent, Fresh&& fresh) {
    Read<Rec>* prior = into.find(id);
    if (prior == nullptr) {
      into.add(fresh());
    } else if (!prior->changed) {
      *prior = fresh();
    } else {
      const Rec first = *prior->changed;
      if (Read<Rec> again = read_over(sent, id, &first, true); again.changed) *prior = std::move(again);
    }
  }
  // A user object, gathered: its id.
  std::uint64_t gather_user(UserReads& users, const Value& v) {
    const Object sent = object(v);
    const std::uint64_t uid = id(sent, keys::id);
    gather(users, uid, sent, [&] { return user(sent, uid); });
    return uid;
  }
  std::optional<std::uint64_t> gather_user_under(UserReads& users, const Object& d, const Key& key) {
    const std::optional<Value> v = d.get(key);
    if (!has_value(v)) return std::nullopt;
    Within at(path_, key.text);
    return gather_user(users, *v);
  }
  static void refile(UserReads& users) {
    for (UserRead& u : users.reads) refile(std::move(u));
  }

  // An emoji, its creator (sent to those who may manage emojis) gathered.
  EmojiRecord emoji(const Value& item, UserReads& users) {
    EmojiRecord e = record<EmojiDesc>(item);
    gather_user_under(users, object(item), keys::user);
    return e;
  }
  // The creators (`user`) of the list's entries: a guild's stickers or
  // soundboard sounds, which are not kept.
  void creators(const Object& d, const Key& key, UserReads& users) {
    entries(d, key, true, [&](const Value& item) { gather_user_under(users, object(item), keys::user); });
  }

  struct Joined {
    MemberRead member;
    std::optional<UserRead> user;
  };

  // A member object with its user: merged onto the member filed in
  // guild_id (taken whole without one), its user merged.
  Joined member_with_user(const Value& v, std::optional<std::uint64_t> guild_id = std::nullopt) {
    return member_with_user(object(v), guild_id);
  }
  // `keep_filed`: a filed member it changes is kept as the frame's before.
  Joined member_with_user(const Object& d, std::optional<std::uint64_t> guild_id = std::nullopt,
                          bool keep_filed = false) {
    std::optional<MemberRead> member;
    if (guild_id) {
      // The read checks the user's id again, against a user_id sent beside it.
      const std::uint64_t user_id = nested_id(d, keys::user);
      member = with_filed_member(*guild_id, user_id, [&](const MemberRecord* filed) {
        MemberRead read = read_over(d, user_id, filed, false);
        if (keep_filed) keep_changed(filed, read);
        return read;
      });
    } else {
      MemberRecord whole = read_record<MemberDesc>(src_, path_, d);
      member = MemberRead{whole.key(), std::move(whole)};
    }
    // The member's user id is its user object's id (the read checked it).
    return {std::move(*member), user_under(d, keys::user, member->id)};
  }

  // A member object without its user (a message's), for user_id, merged
  // onto the member filed in guild_id.
  MemberRead partial_member(const Object& d, std::uint64_t guild_id, std::uint64_t user_id) {
    return with_filed_member(guild_id, user_id,
                             [&](const MemberRecord* filed) { return read_over(d, user_id, filed, true); });
  }
  // The same, gathered (an author who mentions themself sends two).
  void gather_member(MemberReads& members, const Value& v, std::uint64_t guild_id, std::uint64_t user_id) {
    const Object sent = object(v);
    gather(members, user_id, sent, [&] { return partial_member(sent, guild_id, user_id); });
  }

  // -- filing ----------------------------------------------------------------

  Outcome put_members(std::uint64_t guild_id, std::vector<Joined>& joined) {
    const std::optional<bool> filed = put_changed(guild_id, joined, &Joined::member);
    if (filed ? !*filed : !guild_is_filed(guild_id)) return Outcome::Ignored;
    for (Joined& j : joined) {
      if (j.user) refile(std::move(*j.user));
    }
    return Outcome::Applied;
  }

  // -- the handlers ---------------------------------------------------------

  // Runs f, work on the maps alone over about `size` entries, as the host
  // runs long work when it is long.
  template <class F>
  void work(std::size_t size, F&& f) {
    if (!is_long_work(size)) return f();
    host_.long_work([](void* context) { (*static_cast<std::remove_reference_t<F>*>(context))(); }, &f);
  }

  Outcome guild_create(const Object& d, const Value&) {
    id(d, keys::id);
    if (flag(d, keys::unavailable)) return Outcome::Unavailable;
    GuildRecord guild = read_record<GuildDesc>(src_, path_, d);
    entries(d, keys::roles, true, [&](const Value& item) { guild.extra().put(record<RoleDesc>(item)); });
    UserReads users;  // the creators of its emojis, stickers and sounds
    entries(d, keys::emojis, true, [&](const Value& item) { guild.extra().put(emoji(item, users)); });
    creators(d, keys::stickers, users);
    creators(d, keys::soundboard_sounds, users);
    refile(users);  // first: a member's copy of the user is read over this one
    // Each member's user is filed as it is read, the guild last: a prune
    // on another thread meanwhile keeps the users of the members gathered.
    CowMap<MemberRecord> members;
    std::optional<GuildRecord> displaced;
    {
      const MembersInFlight in_flight(members);
      entries(d, keys::members, true, [&](const Value& item) {
        const std::size_t named = named_.size();
        Joined j = member_with_user(item);
        const std::uint64_t user_id = j.member.id;
        members.insert(user_id, std::move(*j.member.changed));  // nothing filed to compare with
        if (j.user) refile(std::move(*j.user));
        named_.forget_since(named);  // the members in flight name it now
      });
      guild.extra().members = CowMap<MemberRecord>(members);  // a share
      displaced = file_guild(std::move(guild));
    }
    if (displaced) work(displaced->extra().sole_entries(), [&] { displaced.reset(); });
    return Outcome::Applied;
  }

  Outcome guild_update(const Object& d, const Value&) {
    const std::uint64_t guild_id = id(d, keys::id);
    const std::optional<GuildRecord> filed = filed_guild_fields(guild_id);
    GuildRecord guild = read_record<GuildDesc>(src_, path_, d, filed ? &*filed : nullptr);
    if (!filed) return Outcome::Ignored;
    // The sets sent replace the filed ones whole; a set left out stays.
    const bool roles = has_value(d.get(keys::roles)), emojis = has_value(d.get(keys::emojis));
    GuildCollections fresh;
    if (roles) entries(d, keys::roles, true, [&](const Value& item) { fresh.put(record<RoleDesc>(item)); });
    UserReads users;  // the creators of its emojis and stickers
    if (emojis) entries(d, keys::emojis, true, [&](const Value& item) { fresh.put(emoji(item, users)); });
    creators(d, keys::stickers, users);
    if (!refile_guild_fields(std::move(guild))) return Outcome::Ignored;
    if (roles) swap_in_guild(guild_id, fresh.roles);
    if (emojis) swap_in_guild(guild_id, fresh.emojis);
    refile(users);
    return Outcome::Applied;
  }

  Outcome guild_delete(const Object& d, const Value&) {
    const std::uint64_t guild_id = id(d, keys::id);
    if (flag(d, keys::unavailable)) return Outcome::Unavailable;
    return leave_guilds({guild_id}) ? Outcome::Applied : Outcome::Ignored;
  }

  // Removes the guilds (sorted) with their collections and their messages
  // (filed whether or not their guild was); whether anything was removed.
  bool leave_guilds(const std::vector<std::uint64_t>& guild_ids) {
    std::vector<GuildRecord> gone;
    std::size_t entries = 0;
    for (const std::uint64_t guild_id : guild_ids) {
      if (std::optional<GuildRecord> g = guild_map().erase(guild_id)) {
        entries += g->extra().sole_entries();
        gone.push_back(std::move(*g));
      }
    }
    // The walk is not long work, though it reads every message: let go of
    // the interpreter lock between the two, and another thread could file
    // a guild anew and a message in it, which the walk would then remove.
    // Destroying what both removed is.
    MessageMap::Removed messages;
    remove_guilds_messages(guild_ids, &messages);  // so they keep no author from prune_users
    const bool removed = !gone.empty() || !messages.empty();
    work(entries + messages.size(), [&] {
      gone.clear();
      messages.clear();
    });
    return removed;
  }

  Outcome member_add(const Object& d, const Value&) {
    const std::uint64_t guild_id = id(d, keys::guild_id);
    std::vector<Joined> joined;
    joined.push_back(member_with_user(d));
    return put_members(guild_id, joined);
  }

  Outcome member_update(const Object& d, const Value&) {
    const std::uint64_t guild_id = id(d, keys::guild_id);
    std::vector<Joined> joined;
    joined.push_back(member_with_user(d, guild_id, true));
    return put_members(guild_id, joined);
  }

  Outcome member_remove(const Object& d, const Value&) {
    const std::uint64_t guild_id = id(d, keys::guild_id);
    const std::uint64_t user_id = nested_id(d, keys::user);
    return keep(take_from_guild<MemberRecord>(guild_id, user_id)) ? Outcome::Applied : Outcome::Ignored;
  }

  // A chunk answering a request by user ids lists those that are no member
  // (`not_found`): a member filed under one left unseen, and goes.  The
  // platform does not say how it writes them: what is no id is passed over.
  Outcome members_chunk(const Object& d, const Value&) {
    static const Key not_found{"not_found"};
    const std::uint64_t guild_id = id(d, keys::guild_id);
    std::vector<Joined> joined;
    entries(d, keys::members, true, [&](const Value& item) { joined.push_back(member_with_user(item)); });
    std::vector<std::uint64_t> gone;
    if (const std::optional<Value> nf = d.get(not_found); nf && src_.kind(*nf) == ValueKind::List) {
      typename Source::List items(src_, *nf);
      Value item;
      std::uint64_t user_id;
      while (items.next(&item)) {
        if (src_.id_of(item, &user_id)) gone.push_back(user_id);
      }
    }
    const Outcome put = put_members(guild_id, joined);
    bool removed = false;
    for (const std::uint64_t user_id : gone) removed |= remove_from_guild<MemberRecord>(guild_id, user_id);
    return removed ? Outcome::Applied : put;
  }

  Outcome role_put(const Object& d, const Value&) {
    const std::uint64_t guild_id = id(d, keys::guild_id);
    const Value value = required(d, keys::role);
    RoleRecord role = [&] {
      Within at(path_, keys::role.text);
      return record<RoleDesc>(value);
    }();
    std::optional<RoleRecord> displaced;
    const bool filed = put_in_guild(guild_id, std::move(role), &displaced);
    keep(std::move(displaced));
    return filed ? Outcome::Applied : Outcome::Ignored;
  }

  Outcome role_delete(const Object& d, const Value&) {
    const std::uint64_t guild_id = id(d, keys::guild_id);
    const std::uint64_t role_id = id(d, keys::role_id);
    const bool removed = keep(take_from_guild<RoleRecord>(guild_id, role_id));
    std::size_t stripped = strip_emoji_role(guild_id, role_id);
    if (std::optional<CowMap<MemberRecord>> members = filed_members(guild_id)) {
      work(members->size(), [&] { stripped += strip_role(guild_id, *members, role_id); });
    }
    return removed || stripped != 0 ? Outcome::Applied : Outcome::Ignored;
  }

  Outcome emojis_update(const Object& d, const Value&) {
    const std::uint64_t guild_id = id(d, keys::guild_id);
    required(d, keys::emojis);
    GuildCollections fresh;
    UserReads users;
    entries(d, keys::emojis, true, [&](const Value& item) { fresh.put(emoji(item, users)); });
    if (!swap_in_guild(guild_id, fresh.emojis)) return Outcome::Ignored;
    refile(users);
    return Outcome::Applied;
  }

  // A guild's stickers or sounds: only their creators are kept, IGNORED
  // when none is sent.
  Outcome creators_update(const Object& d, const Key& key) {
    const std::uint64_t guild_id = id(d, keys::guild_id);
    required(d, key);
    UserReads users;
    creators(d, key, users);
    if (users.reads.empty() || !guild_is_filed(guild_id)) return Outcome::Ignored;
    refile(users);
    return Outcome::Applied;
  }
  Outcome stickers_update(const Object& d, const Value&) { return creators_update(d, keys::stickers); }
  Outcome sounds_update(const Object& d, const Value&) { return creators_update(d, keys::soundboard_sounds); }

  Outcome ban(const Object& d, bool leaves) {
    const std::uint64_t guild_id = id(d, keys::guild_id);
    const Value value = required(d, keys::user);
    UserRead u = [&] {
      Within at(path_, keys::user.text);
      return user(value);
    }();
    if (!guild_is_filed(guild_id)) return Outcome::Ignored;
    if (leaves) keep(take_from_guild<MemberRecord>(guild_id, u.key()));
    refile(std::move(u));
    return Outcome::Applied;
  }
  Outcome ban_add(const Object& d, const Value&) { return ban(d, true); }
  Outcome ban_remove(const Object& d, const Value&) { return ban(d, false); }

  // READY lists every guild of the session, or of its shard: a filed guild
  // it leaves out was left while the bot was away, and no GUILD_DELETE
  // will come for it.
  Outcome ready(const Object& d, const Value&) {
    static const Key guilds{"guilds"};
    const Value value = required(d, keys::user);
    UserRead me = [&] {
      Within at(path_, keys::user.text);
      return user(value);
    }();
    std::vector<std::uint64_t> listed;
    const bool sent = entries(d, guilds, false, [&](const Value& item) { listed.push_back(id_in(object(item))); });
    const Shard shard = shard_of(d);
    refile(std::move(me));
    if (sent) {
      std::sort(listed.begin(), listed.end());
      std::vector<std::uint64_t> left;
      guild_map().for_each([&](std::uint64_t guild_id, const GuildRecord&) {
        if (shard.covers(guild_id) && !std::binary_search(listed.begin(), listed.end(), guild_id)) {
          left.push_back(guild_id);
        }
      });
      std::sort(left.begin(), left.end());
      leave_guilds(left);
    }
    return Outcome::Applied;
  }

  // A session's shard, [shard_id, num_shards]: the guilds whose
  // (id >> 22) % num_shards is shard_id.
  struct Shard {
    std::uint64_t id = 0, count = 1;
    bool covers(std::uint64_t guild_id) const noexcept { return (guild_id >> 22) % count == id; }
  };
  Shard shard_of(const Object& d) {
    static const Key key{"shard"};
    const std::optional<Value> v = d.get(key);
    if (!has_value(v)) return {};
    Within at(path_, key.text);
    if (src_.kind(*v) != ValueKind::List) path_.fail("expected a list [shard_id, num_shards], got " + kind_of(*v));
    std::uint64_t n[2];
    std::size_t count = 0;
    typename Source::List items(src_, *v);
    Value item;
    bool fits = true;
    for (; fits && items.next(&item); ++count) fits = count < 2 && src_.uint_of(item, &n[count]);
    if (!fits || count != 2 || n[0] >= n[1]) {
      path_.fail("expected [shard_id, num_shards]: two integers, shard_id below num_shards");
    }
    return {n[0], n[1]};
  }

  Outcome user_update(const Object& d, const Value&) {
    refile(user(d, std::nullopt, true));
    return Outcome::Applied;
  }

  Outcome presence_update(const Object& d, const Value&) {
    const Value value = required(d, keys::user);
    std::optional<UserRead> read;
    bool filed_any = false;
    {
      Within at(path_, keys::user.text);
      const Object sent = object(value);
      const std::uint64_t uid = id_in(sent);
      with_filed_user(uid, [&](const UserRecord* filed) {
        filed_any = filed != nullptr;
        if (filed == nullptr || sent.size() <= 1) return;
        // The platform does not check presence data: what does not convert
        // is passed over, and the filed value stays.
        const std::size_t depth = path_.depth();
        try {
          read = read_over(sent, uid, filed, true, true);
          keep_changed(filed, *read);
        } catch (const PayloadFault&) {
          path_.truncate(depth);
        }
      });
    }
    if (!filed_any) return Outcome::Ignored;
    if (read) refile(std::move(*read));
    return Outcome::Applied;
  }

  // The member an event carries in a guild (with its user), or an
  // interaction's user in a DM: none read when it carries neither.
  struct Carried {
    std::optional<std::uint64_t> guild_id;
    std::vector<Joined> joined;
    std::optional<UserRead> user;
  };
  std::optional<Carried> carried(const Object& d) {
    Carried c;
    const std::optional<Value> member = d.get(keys::member);
    if (!has_value(member)) {
      const std::optional<Value> u = d.get(keys::user);
      if (!u || has_value(d.get(keys::guild_id))) return std::nullopt;
      Within at(path_, keys::user.text);
      c.user = user(*u);  // an interaction in a DM
      return c;
    }
    c.guild_id = id(d, keys::guild_id);
    Within at(path_, keys::member.text);
    c.joined.push_back(member_with_user(*member, *c.guild_id));
    return c;
  }
  Outcome carried_member(const Object& d, const Value&) {
    std::optional<Carried> c = carried(d);
    if (!c) return Outcome::Ignored;
    if (c->guild_id) return put_members(*c->guild_id, c->joined);
    refile(std::move(*c->user));
    return Outcome::Applied;
  }

  // An interaction's user and member, as for carried_member, and the users
  // and members its command named (data.resolved: users by id, and in a
  // guild members by user id, each without its user), as current as the
  // interaction itself: gathered with the invoker's, whom it may name too.
  Outcome interaction_create(const Object& d, const Value&) {
    static const Key data{"data"}, resolved{"resolved"}, users_key{"users"};
    std::optional<Carried> c = carried(d);
    if (!c) return Outcome::Ignored;
    UserReads users;
    MemberReads members;
    if (c->guild_id) {
      Joined& invoker = c->joined.front();
      members.add(std::move(invoker.member));
      if (invoker.user) users.add(std::move(*invoker.user));
    } else {
      users.add(std::move(*c->user));
    }
    if (const std::optional<Value> dv = d.get(data); has_value(dv)) {
      Within at_data(path_, data.text);
      const Object dd = object(*dv);
      if (const std::optional<Value> rv = dd.get(resolved); has_value(rv)) {
        Within at_resolved(path_, resolved.text);
        const Object r = object(*rv);
        by_id(r, users_key, [&](std::uint64_t, const Value& u) { gather_user(users, u); });
        if (c->guild_id) {
          by_id(r, keys::members,
                [&](std::uint64_t user_id, const Value& m) { gather_member(members, m, *c->guild_id, user_id); });
        }
      }
    }
    if (c->guild_id) {
      const std::optional<bool> filed = put_changed(*c->guild_id, members.reads, std::identity());
      if (filed ? !*filed : !guild_is_filed(*c->guild_id)) return Outcome::Ignored;
    }
    refile(users);
    return Outcome::Applied;
  }

  // Calls f(id, value) on each field of the object under `key` (none when
  // left out or null), a map keyed by id, at the field's path.
  template <class F>
  void by_id(const Object& d, const Key& key, F&& f) {
    const std::optional<Value> map = d.get(key);
    if (!has_value(map)) return;
    Within at(path_, key.text);
    if (src_.kind(*map) != ValueKind::Object) path_.fail("expected an object, got " + kind_of(*map));
    for (const auto& [k, v] : Source::fields(*map)) {
      Within at_field(path_, k);
      const std::optional<std::uint64_t> field_id = decimal_u64(k);
      if (!field_id) path_.fail("expected an id (a string of decimal digits) as the key");
      f(*field_id, v);
    }
  }

  Outcome thread_members_update(const Object& d, const Value&) {
    const std::uint64_t guild_id = id(d, keys::guild_id);
    std::vector<Joined> joined;
    entries(d, keys::added_members, true, [&](const Value& item) {
      const std::optional<Value> member = object(item).get(keys::member);
      if (!has_value(member)) return;
      Within at(path_, keys::member.text);
      joined.push_back(member_with_user(*member, guild_id));
    });
    if (joined.empty()) return Outcome::Ignored;
    return put_members(guild_id, joined);
  }

  Outcome channel_delete(const Object& d, const Value&) {
    const std::uint64_t channel_id = id(d, keys::id);
    std::size_t removed = 0;
    work(message_map().size(), [&] { removed = remove_channel_messages(channel_id); });
    return removed != 0 ? Outcome::Applied : Outcome::Ignored;
  }

  // What a message event files: built whole before anything is filed.
  struct MessageFiling {
    MessageRecord message;
    MemberReads members;
    UserReads users;  // the author first
    std::optional<MessageRecord> reference;  // the message it replies to
    std::optional<std::uint64_t> deleted_reference;
  };

  static constexpr std::size_t kGuildField = field_index<MessageDesc>("guild_id");
  static constexpr std::size_t kWebhookField = field_index<MessageDesc>("webhook_id");
  static constexpr std::size_t kAuthorField = field_index<MessageDesc>("author_id");
  static constexpr std::size_t kEditedField = field_index<MessageDesc>("edited_timestamp");
  static constexpr std::size_t kTtsField = field_index<MessageDesc>("tts");

  static std::optional<std::uint64_t> guild_of(const MessageRecord& m) {
    if (!m.present(kGuildField)) return std::nullopt;
    return m.u64(kGuildField);
  }
  static std::optional<std::string_view> edited_of(const MessageRecord& m) {
    if (!m.present(kEditedField)) return std::nullopt;
    return m.var(kEditedField).text();
  }

  // Every user and member it names is gathered into one list each, so
  // that one sent twice keeps what each copy says.
  MessageFiling message_filing(const Object& d, MessageRecord message) {
    MessageFiling out{std::move(message), {}, {}, std::nullopt, std::nullopt};
    const bool webhook = out.message.present(kWebhookField);
    const std::optional<std::uint64_t> guild_id = guild_of(out.message);
    if (!webhook) gather_user_under(out.users, d, keys::author);
    if (guild_id && !webhook) {
      if (const std::optional<Value> m = d.get(keys::member); has_value(m)) {
        Within at(path_, keys::member.text);
        gather_member(out.members, *m, *guild_id, out.message.u64(kAuthorField));
      }
    }
    entries(d, keys::mentions, false, [&](const Value& item) {
      const std::uint64_t uid = gather_user(out.users, item);
      if (!guild_id) return;
      const std::optional<Value> m = src_.find(item, keys::member);
      if (!has_value(m)) return;
      Within at(path_, keys::member.text);
      gather_member(out.members, *m, *guild_id, uid);
    });
    interaction_users(d, guild_id, out);
    passing_users(d, guild_id, out);
    if (const std::optional<Value> ref = d.get(keys::referenced_message)) refer(d, *ref, guild_id, out);
    return out;
  }

  // A forward's snapshots carry the users the forwarded message mentions;
  // a message with select menus filled in advance, the users and members
  // they name (resolved: users by id, and in a guild members by user id).
  void passing_users(const Object& d, std::optional<std::uint64_t> guild_id, MessageFiling& out) {
    static const Key snapshots{"message_snapshots"}, message{"message"}, resolved{"resolved"}, users{"users"};
    entries(d, snapshots, false, [&](const Value& item) {
      const std::optional<Value> m = object(item).get(message);
      if (!has_value(m)) return;
      Within at(path_, message.text);
      entries(object(*m), keys::mentions, false, [&](const Value& u) { gather_user(out.users, u); });
    });
    const std::optional<Value> rv = d.get(resolved);
    if (!has_value(rv)) return;
    Within at(path_, resolved.text);
    const Object r = object(*rv);
    by_id(r, users, [&](std::uint64_t, const Value& u) { gather_user(out.users, u); });
    if (guild_id) {
      by_id(r, keys::members, [&](std::uint64_t uid, const Value& m) { gather_member(out.members, m, *guild_id, uid); });
    }
  }

  // The answer to an interaction names who used it (and the user a user
  // command was run on, and for a modal's answer the interaction that
  // opened it); the older form names the invoker with their membership.
  void interaction_users(const Object& d, std::optional<std::uint64_t> guild_id, MessageFiling& out) {
    static const Key metadata{"interaction_metadata"}, triggering{"triggering_interaction_metadata"},
        target_user{"target_user"}, interaction{"interaction"};
    const auto metadata_users = [&](const Object& md) {
      gather_user_under(out.users, md, keys::user);
      gather_user_under(out.users, md, target_user);
    };
    if (const std::optional<Value> v = d.get(metadata); has_value(v)) {
      Within at(path_, metadata.text);
      const Object md = object(*v);
      metadata_users(md);
      if (const std::optional<Value> t = md.get(triggering); has_value(t)) {
        Within at_triggering(path_, triggering.text);
        metadata_users(object(*t));
      }
    }
    const std::optional<Value> v = d.get(interaction);
    if (!has_value(v)) return;
    Within at(path_, interaction.text);
    const Object old = object(*v);
    const std::optional<std::uint64_t> uid = gather_user_under(out.users, old, keys::user);
    if (!uid || !guild_id) return;
    if (const std::optional<Value> m = old.get(keys::member); has_value(m)) {
      Within at_member(path_, keys::member.text);
      gather_member(out.members, *m, *guild_id, *uid);
    }
  }

  void refer(const Object& d, const Value& referenced, std::optional<std::uint64_t> guild_id, MessageFiling& out) {
    if (src_.kind(referenced) == ValueKind::Null) {
      const std::optional<Value> reference = d.get(keys::message_reference);
      if (!reference || src_.kind(*reference) != ValueKind::Object) return;
      const std::optional<Value> mid = Object(src_, *reference).get(keys::message_id);
      if (!has_value(mid)) return;
      Within at(path_, keys::message_reference.text);
      Within at_id(path_, keys::message_id.text);
      out.deleted_reference = id_of(*mid);
      return;
    }
    Within at(path_, keys::referenced_message.text);
    const Object ref = object(referenced);
    Overrides o;
    if (guild_id) {
      o.fallback = kGuildField;  // the platform leaves it out there; it is the reply's
      o.fallback_id = *guild_id;
    }
    MessageRecord message = read_record<MessageDesc>(src_, path_, ref, nullptr, false, o);
    {
      const auto filed = message_map().get(message.key());  // later_edit runs nothing else
      if (filed && later_edit(edited_of(filed.value()), edited_of(message))) return;
    }
    if (!message.present(kWebhookField)) gather_user_under(out.users, ref, keys::author);
    out.reference = std::move(message);
  }

  void file(MessageFiling& f) {
    if (f.reference) file_message(std::move(*f.reference));
    if (f.deleted_reference) remove_message(*f.deleted_reference);
    refile(f.users);
    const std::optional<std::uint64_t> guild_id = guild_of(f.message);
    file_message(std::move(f.message));
    if (guild_id) put_changed(*guild_id, f.members.reads, std::identity());  // into the guild if it is filed
  }

  Outcome message_create(const Object& d, const Value&) {
    MessageRecord message = read_record<MessageDesc>(src_, path_, d);
    MessageFiling f = message_filing(d, std::move(message));
    file(f);
    return Outcome::Applied;
  }

  Outcome message_update(const Object& d, const Value&) {
    const std::uint64_t message_id = id(d, keys::id);
    std::optional<MessageRecord> filed = filed_message(message_id);
    std::optional<MessageRecord> message;
    if (filed) {
      Overrides o;
      o.ignored = std::uint64_t{1} << kTtsField;  // always false in an update: the filed value stands
      message = read_record<MessageDesc>(src_, path_, d, &*filed, false, o);
    } else {
      for (const Key* k : {&keys::channel_id, &keys::content, &keys::timestamp}) {
        if (!has_value(d.get(*k))) return Outcome::Ignored;
      }
      if (!has_value(d.get(keys::author)) && !has_value(d.get(keys::author_id))) return Outcome::Ignored;
      message = read_record<MessageDesc>(src_, path_, d);
    }
    MessageFiling f = message_filing(d, std::move(*message));
    file(f);
    keep(std::move(filed));
    return Outcome::Applied;
  }

  Outcome message_delete(const Object& d, const Value&) {
    return keep(take_message(id(d, keys::id))) ? Outcome::Applied : Outcome::Ignored;
  }

  Outcome message_delete_bulk(const Object& d, const Value&) {
    required(d, keys::ids);
    std::vector<std::uint64_t> ids;
    entries(d, keys::ids, false, [&](const Value& item) { ids.push_back(id_of(item)); });
    std::vector<MessageRecord> removed;
    bool any = false;
    for (const std::uint64_t i : ids) {
      if (std::optional<MessageRecord> m = take_message(i)) {
        any = true;
        if (keep_before_) removed.push_back(std::move(*m));
      }
    }
    if (!removed.empty()) before_ = std::move(removed);
    return any ? Outcome::Applied : Outcome::Ignored;
  }

  // An audit log entry: to a bot without the members intent, the only word
  // that a member it holds was kicked, timed out, or had roles added or
  // taken away.  A kick or a ban removes the member (the user stays); a
  // member update changes the nick, timeout, deaf and mute it names; a
  // role update ($add and $remove, lists of partial roles) changes its
  // roles.  Other actions, and members not filed, are IGNORED.
  Outcome audit_log_entry(const Object& d, const Value&) {
    static const Key action_type{"action_type"}, target_id{"target_id"}, changes{"changes"}, key{"key"},
        new_value{"new_value"};
    enum : std::uint64_t { kKick = 20, kBan = 22, kMemberUpdate = 24, kRoleUpdate = 25 };
    const std::uint64_t guild_id = id(d, keys::guild_id);
    const Value action_value = required(d, action_type);
    std::uint64_t action;
    if (!src_.uint_of(action_value, &action)) {
      path_.fail_at(action_type.text, "expected an action type (an integer), got " + kind_of(action_value));
    }
    if (action != kKick && action != kBan && action != kMemberUpdate && action != kRoleUpdate) {
      return Outcome::Ignored;
    }
    const std::uint64_t user_id = id(d, target_id);
    if (action == kKick || action == kBan) {
      // The entry's id tells when it was made: a member who joined later
      // came back after it (its word may come after their GUILD_MEMBER_ADD).
      const std::int64_t made = has_value(d.get(keys::id)) ? id_time_us(id(d, keys::id))
                                                            : std::numeric_limits<std::int64_t>::max();
      const bool removed = remove_from_guild_if<MemberRecord>(guild_id, user_id, [&](const MemberRecord& m) {
        const std::optional<std::int64_t> joined = iso_time_us(m.var(kJoinedAt).text());
        return !joined || *joined <= made;
      });
      return removed ? Outcome::Applied : Outcome::Ignored;
    }
    std::vector<std::uint64_t> added, removed;
    MemberChanges member;
    entries(d, changes, false, [&](const Value& item) {
      const Object change = object(item);
      const Value name = required(change, key);
      if (src_.kind(name) != ValueKind::String) path_.fail_at(key.text, "expected a string, got " + kind_of(name));
      const std::string text = src_.text_of(name);
      const std::optional<Value> value = change.get(new_value);
      if (action == kRoleUpdate) {
        std::vector<std::uint64_t>* to = text == "$add" ? &added : text == "$remove" ? &removed : nullptr;
        if (to != nullptr) entries(change, new_value, false, [&](const Value& role) { to->push_back(id_in(object(role))); });
      } else if (text == "nick" || text == "communication_disabled_until") {
        // No new value: the field was reset.
        std::optional<std::string> now;
        if (has_value(value)) {
          Within at(path_, new_value.text);
          now = text == "nick" ? member_text<kNick>(*value) : member_text<kTimeout>(*value);
        }
        (text == "nick" ? member.nick : member.communication_disabled_until) = std::move(now);
      } else if ((text == "deaf" || text == "mute") && has_value(value)) {
        Within at(path_, new_value.text);
        (text == "deaf" ? member.deaf : member.mute) = text == "deaf" ? member_flag<kDeaf>(*value)
                                                                      : member_flag<kMute>(*value);
      }
    });
    if (action == kMemberUpdate) {
      if (member.empty()) return Outcome::Ignored;
      return change_member(guild_id, user_id, member) ? Outcome::Applied : Outcome::Ignored;
    }
    if (added.empty() && removed.empty()) return Outcome::Ignored;
    return change_roles(guild_id, user_id, added, removed) ? Outcome::Applied : Outcome::Ignored;
  }

  // A member field's value from an audit log change, read by the field's
  // own rule (at the path's place).
  static constexpr std::size_t kNick = field_index<MemberDesc>("nick"), kDeaf = field_index<MemberDesc>("deaf"),
                               kMute = field_index<MemberDesc>("mute"),
                               kTimeout = field_index<MemberDesc>("communication_disabled_until"),
                               kJoinedAt = field_index<MemberDesc>("joined_at");
  template <std::size_t I>
  std::string member_text(const Value& v) {
    Scalars<MemberDesc> sc;
    BlobBuilder b;
    if (!src_.template convert<MemberDesc, I>(sc, b, v)) path_.fail(reason_for(Holds::Text, src_.describe(v)));
    return std::string(b.payloads());
  }
  template <std::size_t I>
  bool member_flag(const Value& v) {
    Scalars<MemberDesc> sc;
    BlobBuilder b;
    if (!src_.template convert<MemberDesc, I>(sc, b, v)) path_.fail(reason_for(Holds::Flag, src_.describe(v)));
    return sc.template load<std::uint8_t>(I) != 0;
  }

  // Events that name users in passing (an invite's inviter and target, a
  // scheduled event's creator): each sent is merged, as a message's author
  // is; IGNORED when none is sent, or the guild named is not filed.
  Outcome users_named(const Object& d, std::initializer_list<const Key*> at, bool guild_required) {
    const std::optional<std::uint64_t> guild_id =
        guild_required || has_value(d.get(keys::guild_id)) ? std::optional(id(d, keys::guild_id)) : std::nullopt;
    UserReads users;
    for (const Key* key : at) gather_user_under(users, d, *key);  // an inviter may stream to their own invite
    if (users.reads.empty() || (guild_id && !guild_is_filed(*guild_id))) return Outcome::Ignored;
    refile(users);
    return Outcome::Applied;
  }
  Outcome invite_create(const Object& d, const Value&) {
    static const Key inviter{"inviter"}, target_user{"target_user"};
    return users_named(d, {&inviter, &target_user}, false);
  }
  Outcome scheduled_event(const Object& d, const Value&) {
    static const Key creator{"creator"};
    return users_named(d, {&creator}, true);
  }
  // A soundboard sound's creator, or the user who added an integration.
  Outcome user_named(const Object& d, const Value&) { return users_named(d, {&keys::user}, true); }

  // Each event type's handler, in kEventTypes' order.
  static constexpr Handler kHandlers[] = {
      &Gateway::guild_create,     &Gateway::guild_update,          &Gateway::guild_delete,
      &Gateway::member_add,       &Gateway::member_update,         &Gateway::member_remove,
      &Gateway::members_chunk,    &Gateway::role_put,              &Gateway::role_put,
      &Gateway::role_delete,      &Gateway::emojis_update,         &Gateway::ban_add,
      &Gateway::ban_remove,       &Gateway::ready,                 &Gateway::user_update,
      &Gateway::presence_update,  &Gateway::interaction_create,    &Gateway::carried_member,
      &Gateway::carried_member,   &Gateway::carried_member,        &Gateway::thread_members_update,
      &Gateway::channel_delete,   &Gateway::channel_delete,        &Gateway::message_create,
      &Gateway::message_update,   &Gateway::message_delete,        &Gateway::message_delete_bulk,
      &Gateway::audit_log_entry,  &Gateway::invite_create,         &Gateway::scheduled_event,
      &Gateway::scheduled_event,  &Gateway::scheduled_event,       &Gateway::stickers_update,
      &Gateway::user_named,       &Gateway::user_named,            &Gateway::sounds_update,
      &Gateway::sounds_update,    &Gateway::user_named,            &Gateway::user_named,
  };
  static_assert(std::size(kHandlers) == std::size(kEventTypes));
  // Whether each of kEventTypes is one of kLongWorkTypes, by its index.
  static constexpr auto kLongWork = [] {
    std::array<bool, std::size(kEventTypes)> out{};
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = std::find(std::begin(kLongWorkTypes), std::end(kLongWorkTypes), kEventTypes[i]) !=
               std::end(kLongWorkTypes);
    }
    return out;
  }();
  static_assert(std::count(kLongWork.begin(), kLongWork.end(), true) == std::size(kLongWorkTypes),
                "every long-work type is handled");

  // What the dispatch displaced or removed, kept for a frame's Before.
  template <class Rec>
  void keep_changed(const Rec* filed, const Read<Rec>& read) {
    if (keep_before_ && filed != nullptr && read.changed) before_.template emplace<Rec>(*filed);
  }
  // Whether there was one.
  template <class Rec>
  bool keep(std::optional<Rec>&& gone) {
    if (!gone) return false;
    if (keep_before_) before_.template emplace<Rec>(std::move(*gone));
    return true;
  }

  Source& src_;
  Host& host_;
  Path path_;
  NamedInFlight named_;
  bool hold_long_ = false;
  bool keep_before_ = false;  // reading a frame
  Before before_;
};

}  // namespace tarnwick::wire
