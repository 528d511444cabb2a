// The native side of tarnwick_extras.payloads and events: one reader
// (records/reader.hpp) and one set of event rules (registry/gateway.hpp),
// over the Python objects json.loads makes, or over a gateway frame's JSON
// text parsed here.  Faults become tarnwick_extras.payloads.PayloadError,
// with the record constructor's exception, if one refused the value, as
// the cause.

#include "extras/gateway_entry.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/json.hpp"
#include "extras/py_source.hpp"
#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/convert.hpp"
#include "module/entry.hpp"
#include "module/record_class.hpp"
#include "module/ref.hpp"
#include "module/registration.hpp"
#include "module/released.hpp"
#include "module/results.hpp"
#include "records/json_source.hpp"
#include "registry/gateway.hpp"

namespace tarnwick {
namespace {

using wire::Gateway;
using wire::JsonSource;
using wire::PayloadFault;
using wire::PySource;

// tarnwick_extras.payloads.PayloadError, given by that module when it loads.
PyObject* g_payload_error = nullptr;

// What events gives when it loads: its Outcome members (by number), the
// on_skip of callers who give none (a warning), and its reading of a frame
// through json.loads, for the frames this reader leaves to it.
PyObject* g_outcomes = nullptr;
PyObject* g_warn = nullptr;
PyObject* g_through_json = nullptr;

// events.Frame, made here so a frame's result costs one allocation.
PyTypeObject* g_frame_type = nullptr;

PyObject* text_object(std::string_view s) {
  return require(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
}

// A new PayloadError for the fault (ValueError before payloads has loaded).
OwnedRef payload_error(const PayloadFault& fault, OwnedRef cause) {
  OwnedRef path = OwnedRef::steal(text_object(fault.path));
  OwnedRef reason = OwnedRef::steal(text_object(fault.reason));
  PyObject* cls = g_payload_error != nullptr ? g_payload_error : PyExc_ValueError;
  OwnedRef error = OwnedRef::steal(
      require(calling_python([&] { return PyObject_CallFunctionObjArgs(cls, path.get(), reason.get(), nullptr); })));
  if (cause) PyException_SetCause(error.get(), cause.release());
  return error;
}

[[noreturn]] void raise_fault(const PayloadFault& fault, OwnedRef cause = {}) {
  OwnedRef error = payload_error(fault, std::move(cause));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  throw_pending();
}

// The faults of skipped entries, each as a PayloadError, to on_skip (none:
// dropped).  An exception from on_skip ends the event there: what it filed
// before stays (a GUILD_CREATE's users read so far), nothing more is.
// Long work runs without the interpreter lock.
class PyHost final : public wire::Host {
 public:
  PyHost(PyObject* on_skip, PySource* src) : on_skip_(on_skip), src_(src) {}
  // A big frame is applied without the interpreter lock: a skip takes it
  // back (no map lock is held between entries).
  void skipped(PayloadFault&& fault) override {
    with_interpreter([&] {
      OwnedRef cause = src_ != nullptr ? src_->take_cause() : OwnedRef();
      if (on_skip_ == nullptr || on_skip_ == Py_None) return;
      OwnedRef error = payload_error(fault, std::move(cause));
      OwnedRef r = OwnedRef::steal(
          calling_python([&] { return PyObject_CallFunctionObjArgs(on_skip_, error.get(), nullptr); }));
      if (!r) throw_pending();
    });
  }
  void long_work(void (*work)(void*), void* context) override {
    without_interpreter([&] { work(context); });
  }

 private:
  PyObject* on_skip_;
  PySource* src_;
};

std::string utf8_arg(PyObject* o, const char* name) {
  BlobBuilder text;
  if (!append_text(o, text)) raise_labelled(name);
  return std::string(text.payloads());
}

// The Outcome member (its number until events has loaded).
PyObject* outcome_result(wire::Outcome o) {
  if (g_outcomes == nullptr) return long_result(static_cast<long>(o));
  PyObject* member = require(PyTuple_GetItem(g_outcomes, static_cast<Py_ssize_t>(o)));
  Py_INCREF(member);
  return member;
}

// on_skip as given, or the warning for None.
PyObject* skip_handler(PyObject* on_skip) { return on_skip == Py_None && g_warn != nullptr ? g_warn : on_skip; }

// -- payloads ----------------------------------------------------------------

// A flag argument, by the constructors' rule for bool fields.
bool flag_arg(PyObject* o, const char* name) {
  bool b;
  if (!to_bool(o, &b)) raise_labelled(name);
  return b;
}

// f(gateway) over the objects json.loads makes, with skipped entries to
// on_skip (nullptr: none are skipped); a fault is raised as a PayloadError.
template <class F>
auto with_py_gateway(PyObject* on_skip, F&& f) {
  PySource src;
  PyHost host(on_skip, &src);
  Gateway<PySource> g(src, host);
  std::optional<PayloadFault> fault;
  try {
    return f(g);
  } catch (PayloadFault& e) {
    fault.emplace(std::move(e));
  }
  raise_fault(*fault, src.take_cause());  // outside the handler: it runs Python
}

template <class Desc>
PyObject* read_one(PyObject* payload) {
  wire::Built<Desc> built;
  with_py_gateway(nullptr, [&](Gateway<PySource>& g) {
    g.template read_into<Desc>(PySource::Value(payload), built);
    return 0;
  });
  return RecordClass<Desc>::make(RecordClass<Desc>::type(), built.scalars, built.blob);
}

// _read(kind, payload): payloads.user, member, role, emoji, message, guild
// (kind 0 to 5; a guild without its collections).
PyObject* read_payload(const Bound<2>& args) {
  switch (take_u64(args, 0)) {
    case 0: return read_one<UserDesc>(args[1]);
    case 1: return read_one<MemberDesc>(args[1]);
    case 2: return read_one<RoleDesc>(args[1]);
    case 3: return read_one<EmojiDesc>(args[1]);
    case 4: return read_one<MessageDesc>(args[1]);
    case 5: return read_one<GuildDesc>(args[1]);
    default: raise(PyExc_ValueError, "kind must be 0 to 5");
  }
}

// _read_guild(payload, skip_invalid, on_skip): payloads.guild.
PyObject* read_guild(const Bound<3>& args) {
  const bool skip = flag_arg(args[1], args.name(1));
  return RecordClass<GuildDesc>::wrap_record(with_py_gateway(
      args[2], [&](Gateway<PySource>& g) { return g.guild_with_collections(PySource::Value(args[0]), skip); }));
}

// _guild_users(payload, skip_invalid, on_skip): payloads.guild_users.
PyObject* guild_users(const Bound<3>& args) {
  const bool skip = flag_arg(args[1], args.name(1));
  const std::vector<UserRecord> users = with_py_gateway(
      args[2], [&](Gateway<PySource>& g) { return g.guild_users(PySource::Value(args[0]), skip); });
  OwnedRef list = OwnedRef::steal(checked_result(PyList_New(static_cast<Py_ssize_t>(users.size()))));
  for (std::size_t i = 0; i < users.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), RecordClass<UserDesc>::wrap_copy(users[i]));
  }
  return list.release();
}

// _user_at(payload, key): the user under `key` (member_user: "user",
// message_author: "author"), or None.
PyObject* user_at(const Bound<2>& args) {
  const std::string key_text = utf8_arg(args[1], args.name(1));
  const wire::Key key{key_text};
  const std::optional<UserRecord> user =
      with_py_gateway(nullptr, [&](Gateway<PySource>& g) { return g.user_at(PySource::Value(args[0]), key); });
  return user ? RecordClass<UserDesc>::wrap_copy(*user) : none_result();
}

// _parse_id(value, path): payloads.parse_id.
PyObject* parse_id(const Bound<2>& args) {
  const std::string path = utf8_arg(args[1], args.name(1));
  std::uint64_t id;
  if (PySource::id_of(PySource::Value(args[0]), &id)) return u64_result(id);
  raise_fault({path, wire::reason_for(wire::Holds::Id, PySource::describe(PySource::Value(args[0])))});
}

// -- events ------------------------------------------------------------------

// _apply(event_type, data, on_skip): events.apply, with the outcome's number.
PyObject* apply_event(const Bound<3>& args) {
  BlobBuilder utf8;
  if (!append_text(args[0], utf8)) {
    // A str that is not UTF-8 (lone surrogates) names none of the types handled.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise_labelled(args.name(0));
    PyErr_Clear();
    return outcome_result(wire::Outcome::Unsupported);
  }
  const std::string_view type = utf8.payloads();
  const auto handler = Gateway<PySource>::handler_of(type);
  if (handler == nullptr) return outcome_result(wire::Outcome::Unsupported);
  return outcome_result(with_py_gateway(
      skip_handler(args[2]), [&](Gateway<PySource>& g) { return g.run(handler, PySource::Value(args[1])); }));
}

// A frame's text, in a buffer that stays put while it is read.
struct FrameText {
  OwnedRef held;      // the bytes (or ASCII str) object it lives in, when one
  std::string copy;   // or a copy
  std::string_view text;
};

FrameText frame_text(PyObject* frame) {
  FrameText f;
  if (PyBytes_Check(frame)) {
    f.held = OwnedRef::borrow(frame);
  } else if (const std::optional<std::string_view> ascii = ascii_text(frame)) {
    f.held = OwnedRef::borrow(frame);  // immutable, so read in place
    f.text = *ascii;
    return f;
  } else if (PyByteArray_Check(frame)) {
    f.copy.assign(PyByteArray_AsString(frame), static_cast<std::size_t>(PyByteArray_Size(frame)));
    f.text = f.copy;
    return f;
  } else if (PyUnicode_Check(frame)) {
    // Lone surrogates pass as their three bytes: the reader refuses those
    // and leaves the frame to json.loads, after the bounds are checked.
    f.held = OwnedRef::steal(require(PyUnicode_AsEncodedString(frame, "utf-8", "surrogatepass")));
  } else if (PyObject_TypeCheck(frame, &PyMemoryView_Type)) {
    f.held = OwnedRef::steal(require(calling_python([&] { return PyObject_CallMethod(frame, "tobytes", nullptr); })));
  } else {
    set_type_mismatch(frame, "bytes");
    raise_labelled("frame");
  }
  char* data;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(f.held.get(), &data, &len) < 0) throw_pending();
  f.text = std::string_view(data, static_cast<std::size_t>(len));
  return f;
}

// The event types' names as str, made once: a frame's type is most often one.
PyObject* g_event_type_names[std::size(wire::kEventTypes)] = {};

// A frame's Before as Python objects: a record, a tuple of messages, None.
PyObject* before_result(wire::Before&& before) {
  return std::visit(
      [](auto&& b) -> PyObject* {
        using B = std::decay_t<decltype(b)>;
        if constexpr (std::is_same_v<B, std::monostate>) {
          return none_result();
        } else if constexpr (std::is_same_v<B, std::vector<MessageRecord>>) {
          OwnedRef out = OwnedRef::steal(checked_result(PyTuple_New(static_cast<Py_ssize_t>(b.size()))));
          for (std::size_t i = 0; i < b.size(); ++i) {
            PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i),
                            require(RecordClass<MessageDesc>::wrap_record(std::move(b[i]))));
          }
          return out.release();
        } else {
          return require(RecordClass<typename B::Description>::wrap_record(std::move(b)));
        }
      },
      std::move(before));
}

template <class Read>
PyObject* frame_result(Read&& r) {
  OwnedRef frame = OwnedRef::steal(checked_result(PyStructSequence_New(g_frame_type)));
  PyStructSequence_SetItem(frame.get(), 0, u64_result(r.op));
  PyObject* type;
  if (r.known_type && g_event_type_names[*r.known_type] != nullptr) {
    type = g_event_type_names[*r.known_type];
    Py_INCREF(type);
  } else if (r.type) {
    // A type read by json.loads may hold lone surrogates (see PySource::text_of).
    type = require(PyUnicode_DecodeUTF8(r.type->data(), static_cast<Py_ssize_t>(r.type->size()), "surrogatepass"));
  } else {
    type = none_result();
  }
  PyStructSequence_SetItem(frame.get(), 1, type);
  PyStructSequence_SetItem(frame.get(), 2, r.seq ? u64_result(*r.seq) : none_result());
  PyStructSequence_SetItem(frame.get(), 3, r.outcome ? outcome_result(*r.outcome) : none_result());
  PyStructSequence_SetItem(frame.get(), 4, r.id ? u64_result(*r.id) : none_result());
  PyStructSequence_SetItem(frame.get(), 5, before_result(std::move(r.before)));
  return frame.release();
}

// The frame read by events through json.loads: `verdict` is "retry" (it
// holds what json.loads reads and this reader does not, an integer beyond
// 64 bits say), or why this reader refused it without saying where.
PyObject* through_json(PyObject* frame, const char* verdict, PyObject* on_skip) {
  if (g_through_json == nullptr) raise(PyExc_RuntimeError, "tarnwick_extras.events is not loaded");
  OwnedRef v = OwnedRef::steal(require(PyUnicode_FromString(verdict)));
  return require(
      calling_python([&] { return PyObject_CallFunctionObjArgs(g_through_json, frame, v.get(), on_skip, nullptr); }));
}

// Frames bigger than this are parsed without the interpreter lock.
constexpr std::size_t kBigFrame = std::size_t{1} << 20;
// And in frames bigger than this a big guild's members are parsed a run at
// a time: parsing all of a 100k-member GUILD_CREATE at once takes several
// times its size, and the thread's document would keep that for a while.
// Below it, one parse of the whole is the quicker (the runs are parsed
// twice, once to check them all before any is read).
constexpr std::size_t kStreamAbove = std::size_t{8} << 20;

// A big frame whose d.members is an array: its elements are checked one by
// one, then the rest of the frame (the array left out) parsed into `doc`
// and the elements handed to `src` to read in turn.  Nothing if the frame
// is not shaped so; it is then parsed whole.
std::optional<json::Document::Result> parse_streamed(std::string_view text, json::Document& doc, JsonSource& src,
                                                     std::string& rest, std::vector<json::Span>& runs,
                                                     std::unique_ptr<json::Document>& elements) {
  const std::optional<json::Span> members = json::find_nested_array(text, "d", "members");
  if (!members) return std::nullopt;
  elements = std::make_unique<json::Document>(json::kMaxDepth - 2);
  auto checked = JsonSource::runs(text, *members, *elements);
  if (auto* refused = std::get_if<json::Refusal>(&checked)) return json::Document::Result{std::nullopt, *refused};
  runs = std::move(std::get<std::vector<json::Span>>(checked));
  rest.reserve(text.size() - (members->end - members->begin) + 2);
  rest.append(text.substr(0, members->begin)).append("\"\"").append(text.substr(members->end));
  json::Document::Result r = doc.parse(rest.data(), rest.size());
  if (!r.root) return r;
  const std::optional<json::Value> d = r.root->get("d");
  const std::optional<json::Value> marker = d ? d->get("members") : std::nullopt;
  if (!marker || marker->type() != json::Type::String || !marker->as_string().empty()) return std::nullopt;
  src.stream({marker->as_string().data(), text, &runs, elements.get()});
  return r;
}

// _apply_frame(frame, on_skip): events.apply_frame.  With `hold_above`,
// None for a frame over that many bytes, a dispatch whose work can be long
// (wire::kLongWorkTypes) or a frame this reader leaves to json.loads (a
// rare one, of any type), left unapplied.
PyObject* read_frame(PyObject* frame, PyObject* on_skip, std::optional<std::uint64_t> hold_above) {
  if (hold_above && PyObject_TypeCheck(frame, &PyMemoryView_Type)) {
    // Told before its bytes are copied out.
    OwnedRef size = OwnedRef::steal(require(PyObject_GetAttrString(frame, "nbytes")));
    if (take_u64(size.get(), "nbytes") > *hold_above) return none_result();
  }
  const FrameText f = frame_text(frame);
  if (hold_above && f.text.size() > *hold_above) return none_result();
  // The thread's document, unless a frame is being read on this thread
  // already (an on_skip that reads a frame): then one of this call's own.
  thread_local int reading = 0;
  std::unique_ptr<json::Document> own;
  if (reading > 0) own = std::make_unique<json::Document>();
  json::Document& doc = own ? *own : json::local_document();
  ++reading;
  struct Done {
    ~Done() { --reading; }
  } done;
  JsonSource src;
  std::string rest;
  std::vector<json::Span> runs;
  std::unique_ptr<json::Document> elements;
  PyHost host(skip_handler(on_skip), nullptr);
  Gateway<JsonSource> g(src, host);
  if (hold_above) g.hold_long_work();
  // A frame read whole, or the parse's refusal (no root).
  struct Read {
    json::Document::Result parsed;
    std::optional<Gateway<JsonSource>::FrameRead> frame;
  };
  const auto parse = [&] {
    if (f.text.size() > kStreamAbove && f.text.size() <= json::kMaxBytes) {
      if (std::optional<json::Document::Result> r = parse_streamed(f.text, doc, src, rest, runs, elements)) return *r;
    }
    return doc.parse(f.text.data(), f.text.size());
  };
  const auto read = [&] {
    Read r{parse(), std::nullopt};
    if (r.parsed.root) r.frame = g.frame(*r.parsed.root);
    return r;
  };
  Read r;
  std::optional<PayloadFault> fault;
  try {
    // A big frame (a big guild's GUILD_CREATE) is read and filed without
    // the interpreter lock: other threads, an asyncio loop's, run meanwhile.
    if (f.text.size() > kBigFrame) {
      src.read_filed_copies();
      r = without_interpreter(read);
    } else {
      r = read();
    }
  } catch (PayloadFault& e) {
    fault.emplace(std::move(e));
  }
  if (fault) raise_fault(*fault);  // outside the handler: it runs Python
  if (r.frame) return r.frame->held ? none_result() : frame_result(*r.frame);
  const json::Refusal& refusal = r.parsed.refusal;
  // Refused without saying where: json.loads says where, if the text is
  // not JSON; if it is, this reason stands.
  const bool unplaced = refusal.offset == SIZE_MAX && !refusal.bound;
  if ((refusal.retry || unplaced) && hold_above) return none_result();
  if (refusal.retry) return through_json(frame, "retry", on_skip);
  if (unplaced) return through_json(frame, refusal.what, on_skip);
  std::string reason = refusal.what;
  if (refusal.offset != SIZE_MAX) reason += " at byte " + std::to_string(refusal.offset);
  raise_fault({"", reason});
}

PyObject* apply_frame(const Bound<2>& args) { return read_frame(args[0], args[1], std::nullopt); }
PyObject* apply_frame_here(const Bound<3>& args) { return read_frame(args[0], args[1], take_u64(args, 2)); }

// Whether some value of what json.loads made lies within more arrays and
// objects than a frame may nest (json::kMaxDepth, as the reader counts).
bool too_deep(PyObject* root) {
  struct Level {
    PyObject* container;
    Py_ssize_t at;
  };
  std::vector<Level> open;
  if (PyList_Check(root) || PyDict_Check(root)) open.push_back({root, 0});
  while (!open.empty()) {
    Level& top = open.back();
    PyObject* item = nullptr;
    if (PyList_Check(top.container)) {
      if (top.at < PyList_Size(top.container)) item = PyList_GetItem(top.container, top.at++);
    } else {
      PyObject* key;
      if (!PyDict_Next(top.container, &top.at, &key, &item)) item = nullptr;
    }
    if (item == nullptr) {
      open.pop_back();
    } else if (open.size() > json::kMaxDepth) {
      return true;
    } else if (PyList_Check(item) || PyDict_Check(item)) {
      open.push_back({item, 0});
    }
  }
  return false;
}

static_assert(json::kMaxDepth == 128, "the depth refusal's text names the bound");

// _apply_loaded_frame(doc, on_skip): the same for a frame json.loads read
// (what this reader does not take: an integer beyond 64 bits, say), held
// to the same depth bound.
PyObject* apply_loaded_frame(const Bound<2>& args) {
  if (too_deep(args[0])) raise_fault({"", "arrays and objects nested deeper than 128"});
  return frame_result(
      with_py_gateway(skip_handler(args[1]), [&](Gateway<PySource>& g) { return g.frame(PySource::Value(args[0])); }));
}

// _set_payload_error(cls): the class faults are raised as.
PyObject* set_payload_error(const Bound<1>& args) {
  Py_INCREF(args[0]);
  Py_XDECREF(std::exchange(g_payload_error, args[0]));
  return none_result();
}

// _configure_events(outcomes, warn, through_json): what events gives.
PyObject* configure_events(const Bound<3>& args) {
  if (!PyTuple_Check(args[0]) || PyTuple_Size(args[0]) != 4) raise(PyExc_TypeError, "outcomes must be a 4-tuple");
  for (PyObject* o : {args[0], args[1], args[2]}) Py_INCREF(o);
  Py_XDECREF(std::exchange(g_outcomes, args[0]));
  Py_XDECREF(std::exchange(g_warn, args[1]));
  Py_XDECREF(std::exchange(g_through_json, args[2]));
  return none_result();
}

// _wire_fields(): how each record class is read from a payload, from the
// field tables: {class name: [(field, kind, payload key, wire, required,
// nullable)]}.
template <class Desc>
PyObject* wire_table() {
  constexpr std::size_t N = std::size(Desc::fields);
  OwnedRef list = OwnedRef::steal(checked_result(PyList_New(N)));
  static constexpr const char* kWire[] = {"value", "id", "wide", "ids", "nested_id"};
  static constexpr const char* kKind[] = {"u64", "u32", "i32", "u8", "bool", "text", "u64 list", "text list"};
  for (std::size_t i = 0; i < N; ++i) {
    const FieldSpec& f = Desc::fields[i];
    PyObject* row = checked_result(Py_BuildValue("(ssssOO)", f.name, kKind[static_cast<int>(f.kind)], f.wire_key(),
                                                 kWire[static_cast<int>(f.wire)],
                                                 f.fill == Fill::Required ? Py_True : Py_False,
                                                 f.nullable() ? Py_True : Py_False));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.release();
}

PyObject* wire_fields(const Bound<0>&) {
  OwnedRef dict = OwnedRef::steal(checked_result(PyDict_New()));
  const auto put = [&](const char* name, PyObject* table) {
    OwnedRef t = OwnedRef::steal(table);
    if (PyDict_SetItemString(dict.get(), name, t.get()) < 0) throw_pending();
  };
  put(UserDesc::name, wire_table<UserDesc>());
  put(MemberDesc::name, wire_table<MemberDesc>());
  put(RoleDesc::name, wire_table<RoleDesc>());
  put(EmojiDesc::name, wire_table<EmojiDesc>());
  put(MessageDesc::name, wire_table<MessageDesc>());
  put(GuildDesc::name, wire_table<GuildDesc>());
  return dict.release();
}

PyMethodDef g_functions[] = {
    function<"_read(kind, payload)", read_payload, "The record payloads.user ... message makes of payload.">(),
    function<"_read_guild(payload, skip_invalid, on_skip)", read_guild,
             "payloads.guild: the guild with its roles, emojis and members.">(),
    function<"_guild_users(payload, skip_invalid, on_skip)", guild_users,
             "payloads.guild_users: the users of a guild payload's members.">(),
    function<"_user_at(payload, key)", user_at, "The user object under key, or None.">(),
    function<"_parse_id(value, path)", parse_id, "payloads.parse_id.">(),
    function<"_apply(event_type, data, on_skip)", apply_event, "events.apply.">(),
    function<"_apply_frame(frame, on_skip)", apply_frame, "events.apply_frame.">(),
    function<"_apply_frame_here(frame, on_skip, big)", apply_frame_here,
             "events.apply_frame, but None for a frame over big bytes or an event whose work can be long, "
             "left unapplied.">(),
    function<"_apply_loaded_frame(doc, on_skip)", apply_loaded_frame,
             "events.apply_frame for a frame json.loads read.">(),
    function<"_set_payload_error(cls)", set_payload_error, "The class payload faults are raised as.">(),
    function<"_configure_events(outcomes, warn, through_json)", configure_events,
             "The Outcome members, the default on_skip and the json.loads reading of frames.">(),
    function<"_wire_fields()", wire_fields, "How each record class is read from a payload.">(),
    kEndOfTable,
};

}  // namespace

PyStructSequence_Field g_frame_fields[] = {
    {"op", "the opcode"},
    {"type", "the dispatch's type (t), or None"},
    {"seq", "the sequence number (s), or None"},
    {"outcome", "the dispatch's Outcome, or None for another opcode"},
    {"id", "the id in a handled dispatch's data (d.id: a message's, a guild's), or None"},
    {"before", "what the dispatch displaced or removed from the cache, as it was filed, or None"},
    {nullptr, nullptr},
};
PyStructSequence_Desc g_frame_desc = {
    "tarnwick_extras.events.Frame",
    "What apply_frame() read: the frame's opcode, its type (t) and sequence\n"
    "number (s), and the dispatch's outcome (None for an opcode other than 0,\n"
    "a dispatch); and, as attributes only, the id in a handled dispatch's\n"
    "data (d.id), or None, and what the dispatch displaced or removed from\n"
    "the cache, as it was filed (before), or None.",
    g_frame_fields, 4};

void add_gateway_functions(PyObject* module) {
  JsonSource::repr = wire::python_repr;
  add_functions(module, g_functions, false);
  if (g_frame_type == nullptr) g_frame_type = reinterpret_cast<PyTypeObject*>(require(
      reinterpret_cast<PyObject*>(PyStructSequence_NewType(&g_frame_desc))));
  Py_INCREF(g_frame_type);
  if (PyModule_AddObject(module, "_Frame", reinterpret_cast<PyObject*>(g_frame_type)) < 0) {
    Py_DECREF(g_frame_type);
    throw_pending();
  }
  OwnedRef types = OwnedRef::steal(checked_result(PyTuple_New(std::size(wire::kEventTypes))));
  for (std::size_t i = 0; i < std::size(wire::kEventTypes); ++i) {
    PyObject* name = text_result(wire::kEventTypes[i]);
    if (g_event_type_names[i] == nullptr) {
      Py_INCREF(name);
      g_event_type_names[i] = name;  // kept for the process, as the frame type is
    }
    PyTuple_SetItem(types.get(), static_cast<Py_ssize_t>(i), name);
  }
  if (PyModule_AddObject(module, "_EVENT_TYPES", types.get()) < 0) throw_pending();
  types.release();
}

}  // namespace tarnwick
