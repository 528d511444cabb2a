// The value source (reader.hpp) over a parsed JSON document: what a frame
// read by core/json.hpp gives, converted by the same rules the record
// constructors apply to what json.loads makes of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/json.hpp"
#include "records/reader.hpp"

namespace tarnwick::wire {

// Python's repr() of a str, as the faults quote strings.  This one is exact
// for printable ASCII and keeps other characters as they are; the Python
// module puts the interpreter's own in its place.
std::string plain_repr(std::string_view utf8);

class JsonSource {
 public:
  using Value = json::Value;

  // Reading a value runs no code but this source's own.
  static constexpr bool kReadsWithoutPython = true;

  // Whether a filed record may be read in place, under its map's lock.
  // Not while the interpreter lock is let go: a fault's text (repr) then
  // takes it back, which is never to be waited for under a map lock.
  bool reads_filed_in_place() const noexcept { return in_place_; }
  void read_filed_copies() noexcept { in_place_ = false; }

  // How strings are quoted in faults (see plain_repr).
  static inline std::string (*repr)(std::string_view utf8) = plain_repr;

  // An object's fields, in order; a key's value is its last field's, as in
  // json.loads.  Gateway objects hold a few dozen keys at most, so a scan
  // (from the end) that compares lengths first beats hashing each key.
  class Object {
   public:
    Object(JsonSource&, const Value& v);
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    std::optional<Value> get(const Key& key) const noexcept {
      if ((bits_ & key.bit) == 0) return std::nullopt;  // most keys left out are told at once
      for (std::size_t i = size_; i-- > 0;) {
        const Entry& e = entries_[i];
        if (key.is(e.head, std::string_view(e.key, e.size))) return e.value;
      }
      return std::nullopt;
    }
    // The number of fields (repeated keys counted each time).
    std::size_t size() const noexcept { return size_; }
    // Each field in order: f(head, key, value), head as Key::head.
    template <class F>
    void each(F&& f) const {
      for (std::size_t i = 0; i < size_; ++i) {
        const Entry& e = entries_[i];
        f(e.head, std::string_view(e.key, e.size), e.value);
      }
    }

   private:
    struct Entry {
      const char* key;
      std::size_t size;
      std::uint64_t head;  // as Key::head
      Value value;
    };
    static constexpr std::size_t kInline = 40;  // a message object has about 30
    Entry* entries_;
    std::size_t size_ = 0;
    std::uint64_t bits_ = 0;  // each key's Key::bit_of
    alignas(Entry) unsigned char inline_[kInline * sizeof(Entry)];
    std::vector<Entry> heap_;
  };

  // The value of an object's field under `key` (the last), without an index.
  static std::optional<Value> find(const Value& object, const Key& key) noexcept;

  // An object's fields in order, each key once, with its last value at
  // its first place (as json.loads makes a dict of it).
  static std::vector<std::pair<std::string, Value>> fields(const Value& object);

  // A frame too big to parse whole has one array (a big guild's members)
  // read a run of elements at a time: in the parsed text an empty string
  // stands in its place (`marker`, told apart by where the parser put it),
  // and its elements come from `runs` of the frame's text (see runs()),
  // each parsed into `elements` as "[" run "]" in turn.
  struct Stream {
    const char* marker = nullptr;
    std::string_view text;
    const std::vector<json::Span>* runs = nullptr;
    json::Document* elements = nullptr;
  };
  void stream(const Stream& s) noexcept { stream_ = s; }
  bool streamed(const Value& v) const noexcept {
    return stream_.marker != nullptr && v.type() == json::Type::String && v.as_string().data() == stream_.marker;
  }

  // The array's elements in runs of about kRunBytes, each parsed once here
  // to check it: the runs, or the first refusal.  An element sits within
  // three arrays and objects of the frame: `doc` is to be bound to
  // kMaxDepth - 2.
  static constexpr std::size_t kRunBytes = std::size_t{256} << 10;
  static bool parse_run(std::string_view text, json::Span run, std::string& wrapped, json::Document& doc,
                        json::Document::Result* out) {
    wrapped.assign(1, '[').append(text.substr(run.begin, run.end - run.begin)).push_back(']');
    *out = doc.parse(wrapped.data(), wrapped.size());
    return out->root.has_value();
  }
  static std::variant<std::vector<json::Span>, json::Refusal> runs(std::string_view text, json::Span array,
                                                                   json::Document& doc) {
    json::ArrayScan scan(text, array);
    std::vector<json::Span> out;
    std::string_view run;
    std::string wrapped;
    while (scan.next_run(&run, kRunBytes)) {
      const std::size_t begin = static_cast<std::size_t>(run.data() - text.data());
      out.push_back({begin, begin + run.size()});
      json::Document::Result r;
      if (!parse_run(text, out.back(), wrapped, doc, &r)) return r.refusal;
    }
    if (!scan.ok()) return json::Refusal{"not valid JSON"};
    return out;
  }

  class List {
   public:
    List(JsonSource& src, const Value& v) {
      if (src.streamed(v)) {
        stream_ = &src.stream_;
      } else {
        items_ = v.elements();
      }
    }
    bool next(Value* out) {
      while (!items_.next(out)) {
        if (stream_ == nullptr || run_ == stream_->runs->size()) return false;
        json::Document::Result r;
        if (!parse_run(stream_->text, (*stream_->runs)[run_++], wrapped_, *stream_->elements, &r)) {
          throw PayloadFault{"", "not valid JSON"};  // each run was parsed once already
        }
        items_ = r.root->elements();
      }
      return true;
    }

   private:
    Value::Elements items_;
    const Stream* stream_ = nullptr;
    std::size_t run_ = 0;
    std::string wrapped_;
  };

  ValueKind kind(const Value& v) const noexcept {
    const ValueKind k = kind_of(v);
    return k == ValueKind::String && streamed(v) ? ValueKind::List : k;
  }
  static ValueKind kind_of(const Value& v) noexcept {
    switch (v.type()) {
      case json::Type::Null: return ValueKind::Null;
      case json::Type::Bool: return ValueKind::Bool;
      case json::Type::Int: return ValueKind::Int;
      case json::Type::Float: return ValueKind::Float;
      case json::Type::String: return ValueKind::String;
      case json::Type::Array: return ValueKind::List;
      case json::Type::Object: return ValueKind::Object;
    }
    return ValueKind::Other;
  }

  static bool is_null(const Value& v) noexcept { return v.is_null(); }  // a streamed list is a string
  static bool is_tuple(const Value&) noexcept { return false; }
  static bool truth(const Value& v) noexcept { return v.as_bool(); }
  // A non-negative int (not a bool), and a string's text.
  static bool uint_of(const Value& v, std::uint64_t* out) noexcept {
    if (v.type() != json::Type::Int || v.is_negative()) return false;
    *out = v.as_u64();
    return true;
  }
  static std::string text_of(const Value& v) { return std::string(v.as_string()); }
  static bool fits_text(const Value& v) noexcept { return v.type() == json::Type::String; }
  void refused() noexcept {}

  static bool id_of(const Value& v, std::uint64_t* out) noexcept {
    if (v.type() == json::Type::String) {
      const std::optional<std::uint64_t> id = decimal_u64(v.as_string());
      if (id) *out = *id;
      return id.has_value();
    }
    if (v.type() == json::Type::Int && !v.is_negative()) {
      *out = v.as_u64();
      return true;
    }
    return false;
  }

  static Described describe(const Value& v);

  // The constructors' rules, for the values json.loads makes: an integer
  // field takes an int or a bool (an int in Python) in its range, a flag a
  // bool, a text a string, a list of texts a list of strings.
  template <class Desc, std::size_t I>
  bool convert(Scalars<Desc>& sc, BlobBuilder& b, const Value& v) {
    constexpr FieldSpec f = Desc::fields[I];
    const json::Type t = v.type();
    if constexpr (f.kind == Kind::Text) {
      if (t != json::Type::String) return false;
      const std::string_view s = v.as_string();
      b.append(s.data(), s.size());
      b.end_field();
    } else if constexpr (f.kind == Kind::TextList) {
      if (t != json::Type::Array) return false;
      Value::Elements items = v.elements();
      Value item;
      while (items.next(&item)) {
        if (item.type() != json::Type::String) return false;
        const std::string_view s = item.as_string();
        b.append_varint(s.size());
        b.append(s.data(), s.size());
      }
      b.end_field();
    } else if constexpr (f.kind == Kind::Bool) {
      if (t != json::Type::Bool) return false;
      sc.store(I, static_cast<std::uint8_t>(v.as_bool()));
    } else {
      // A 64-bit field or a list of them is read by its id rule, not here.
      static_assert(f.kind == Kind::U32 || f.kind == Kind::I32 || f.kind == Kind::U8);
      std::int64_t n;
      if (t == json::Type::Bool) {
        n = v.as_bool() ? 1 : 0;
      } else if (t == json::Type::Int) {
        n = v.is_negative() ? v.as_i64()
            : v.as_u64() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                ? std::numeric_limits<std::int64_t>::max()
                : static_cast<std::int64_t>(v.as_u64());
      } else {
        return false;
      }
      if (!in_range(holds_of(f.kind, f.wire), n)) return false;
      if constexpr (f.kind == Kind::U32) {
        sc.store(I, static_cast<std::uint32_t>(n));
      } else if constexpr (f.kind == Kind::I32) {
        sc.store(I, static_cast<std::int32_t>(n));
      } else {
        sc.store(I, static_cast<std::uint8_t>(n));
      }
    }
    if constexpr (f.fill == Fill::Absent) sc.set_present(I);
    return true;
  }
 private:
  Stream stream_;
  bool in_place_ = true;
};

}  // namespace tarnwick::wire
