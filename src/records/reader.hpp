// Reading one record of a class from a payload object, written once against
// a value source (wire.hpp).  A Source provides:
//
//   Value                      a handle on one value
//   kReadsWithoutPython        true when reading runs no interpreter code
//                              (a map's lock may then be held around a read)
//   Object(Source&, Value)     the str keys of an object, gathered:
//                              std::optional<Value> get(const Key&) const
//                              and, optionally, each(f): f(head, key, value)
//                              for each field in order (one pass fills
//                              every field's value at once)
//   find(Value, Key)           one key's value, without gathering
//   List(Source&, Value)       a walk over a list's items: bool next(Value*)
//   ValueKind kind(Value)
//   static bool is_null(Value) kind(v) == ValueKind::Null, without the rest
//   bool id_of(Value, u64*)    the 64-bit rule: a decimal string of ASCII
//                              digits, or an int, in 0..2^64-1
//   Described describe(Value)  what a fault says of the value
//   bool fits_text(Value)      a string that is Unicode text
//   template <Desc, I> bool convert(Scalars&, BlobBuilder&, Value)
//                              the record constructor's own rule for field I
//                              (a var field is appended and closed); false
//                              when it refuses the value
//   bool is_tuple(Value)       a Python tuple (read as a list where a list of
//                              ids or texts is wanted)
//   void refused()             a refused conversion is passed over (lenient):
//                              the source forgets why (the Python source
//                              keeps the exception of the last refusal, to
//                              be the fault's cause)
//
// The order in which faults are found is the record constructors': first
// the fields the wire gives as ids and id lists, in table order; then the
// ids of nested objects; then whether every required field is there; then
// every other field, in table order.  The first fault is the one reported.
#pragma once

#include <array>
#include <bit>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "records/wire.hpp"

namespace tarnwick::wire {

// What one read of a record makes: its scalars and its var fields.
template <class Desc>
struct Built {
  Scalars<Desc> scalars;
  BlobBuilder blob;

  // Whether `r` holds exactly these fields (false also when that would
  // take more than a small buffer to tell).
  bool same_as(const Record<Desc>& r) const noexcept
    requires std::is_same_v<typename Desc::Extra, NoExtra>
  {
    const std::size_t n = blob.sealed_size();
    unsigned char sealed[1024];
    if (n > sizeof sealed) return false;
    if (n != 0) blob.seal_to(sealed);
    return r.same_fields(scalars, sealed, n);
  }

  Record<Desc> record() const {
    if constexpr (std::is_same_v<typename Desc::Extra, NoExtra>) {
      return Record<Desc>(scalars, blob.seal());
    } else {
      return Record<Desc>(scalars, blob.seal(), typename Desc::Extra());
    }
  }
};

// The payload keys of a class's fields (and the nested objects' own names),
// made once.
template <class Desc>
struct Keys {
  static constexpr std::size_t N = std::size(Desc::fields);
  static inline const std::array<Key, N> key = [] {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      return std::array<Key, N>{Key(Desc::fields[I].wire_key())...};
    }(std::make_index_sequence<N>{});
  }();
  // A NestedId field's own name (a bare id under it is taken too).
  static inline const std::array<Key, N> own = [] {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      return std::array<Key, N>{Key(Desc::fields[I].name)...};
    }(std::make_index_sequence<N>{});
  }();
};

// A class's payload keys (and NestedId fields' own names) by head word and
// length, for a single pass over an object's fields; unusable when two
// fields share a key.
template <class Desc>
class KeyIndex {
 public:
  static constexpr std::size_t N = std::size(Desc::fields);
  struct Slot {
    const Key* key = nullptr;
    std::uint16_t field = 0;
    bool own = false;
  };

  static const KeyIndex& get() {
    static const KeyIndex index;
    return index;
  }
  bool usable() const noexcept { return usable_; }
  const Slot* find(std::uint64_t head, std::string_view text) const noexcept {
    for (std::size_t i = at(head, text.size());; i = (i + 1) % kSlots) {
      const Slot& s = slots_[i];
      if (s.key == nullptr) return nullptr;
      if (s.key->is(head, text)) return &s;
    }
  }

 private:
  static constexpr std::size_t kSlots = std::bit_ceil(4 * N);  // at most half full
  static constexpr int kShift = 64 - std::countr_zero(kSlots);
  static std::size_t at(std::uint64_t head, std::size_t size) noexcept {
    return static_cast<std::size_t>(((head ^ size) * 0x9E3779B97F4A7C15ull) >> kShift);
  }
  KeyIndex() {
    for (std::size_t i = 0; i < N; ++i) {
      add(Keys<Desc>::key[i], i, false);
      if (Desc::fields[i].wire == Wire::NestedId) add(Keys<Desc>::own[i], i, true);
    }
  }
  void add(const Key& key, std::size_t field, bool own) {
    if (find(key.head, key.text) != nullptr) usable_ = false;
    std::size_t i = at(key.head, key.text.size());
    while (slots_[i].key != nullptr) i = (i + 1) % kSlots;
    slots_[i] = {&key, static_cast<std::uint16_t>(field), own};
  }
  std::array<Slot, kSlots> slots_{};
  bool usable_ = true;
};

inline const Key kIdKey{"id"};

// What a read takes otherwise than from the payload.
struct Overrides {
  std::uint64_t ignored = 0;             // bit i: field i's keys are not read
  std::size_t given = SIZE_MAX;          // this id field is set to `given_id`,
  std::uint64_t given_id = 0;            // its keys not read
  std::size_t fallback = SIZE_MAX;       // this id field takes `fallback_id`
  std::uint64_t fallback_id = 0;         // when the payload gives it no value
};

template <class Source, class Desc>
class RecordReader {
  static constexpr std::size_t N = std::size(Desc::fields);
  using Value = typename Source::Value;
  using Rec = Record<Desc>;

 public:
  RecordReader(Source& src, Path& path) : src_(src), path_(path) {}

  // The record `v` holds, into `out` (fresh); PayloadFault at the first
  // fault.  With `filed`,
  // `v` is an update laid over it: a key sent replaces the filed value, a
  // key left out keeps it, null clears a field that can be None and means
  // "not sent" for any other.
  void read(const Value& v, Built<Desc>& out, const Rec* filed = nullptr, bool lenient = false,
            const Overrides& o = {}) {
    if (src_.kind(v) != ValueKind::Object) path_.fail(expected_object(v));
    const typename Source::Object obj(src_, v);
    read(obj, out, filed, lenient, o);
  }

  // The same from an object's fields already gathered.
  void read(const typename Source::Object& obj, Built<Desc>& out, const Rec* filed = nullptr,
            bool lenient = false, const Overrides& o = {}) {
    out.scalars = filed != nullptr ? filed->scalars() : default_scalars<Desc>();
    State st;
    bool scanned = false;
    if constexpr (requires { obj.each([](std::uint64_t, std::string_view, const Value&) {}); }) {
      const KeyIndex<Desc>& index = KeyIndex<Desc>::get();
      if (index.usable()) {
        // The last of a repeated key wins, as in get().
        obj.each([&](std::uint64_t head, std::string_view key, const Value& v) {
          if (const auto* slot = index.find(head, key)) (slot->own ? st.own : st.got)[slot->field] = v;
        });
        scanned = true;
      }
    }
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (gather<I>(obj, st, o, scanned), ...);
      (ids<I>(st, lenient), ...);
      (nested<I>(st, lenient), ...);
      if (filed == nullptr) (required<I>(st), ...);
      (convert<I>(st, out, filed, lenient), ...);
    }(std::make_index_sequence<N>{});
  }

  // Whether laying `obj` over `filed` would change nothing, told without
  // building a record: each field sent holds what `filed` holds, by the
  // plain rule (a text a string, a number an int in range, an id its
  // decimal string).  False whenever that is not plainly so (a value of
  // another kind, a field's own name, a list of texts): the full read then
  // decides, faults included.  A read that would change nothing also has
  // nothing to fault on.  Only for a source that reads without the
  // interpreter (the frames' source), the common case of an author or a
  // member that did not change.
  bool unchanged(const typename Source::Object& obj, const Rec& filed, const Overrides& o) {
    if constexpr (!Source::kReadsWithoutPython || !std::is_same_v<typename Desc::Extra, NoExtra>) {
      return false;
    } else {
      const KeyIndex<Desc>& index = KeyIndex<Desc>::get();
      if (!index.usable() || o.fallback != SIZE_MAX) return false;
      static constexpr auto same = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<bool (*)(RecordReader&, const Rec&, const Value&), N>{&RecordReader::same_as_filed<I>...};
      }(std::make_index_sequence<N>{});
      // A key sent twice is compared each time: if every time holds the
      // filed value, so does the last, which is the one read.
      bool kept = true;
      obj.each([&](std::uint64_t head, std::string_view key, const Value& v) {
        if (!kept) return;
        const auto* slot = index.find(head, key);
        if (slot == nullptr) return;
        const std::size_t i = slot->field;
        if (slot->own) {
          kept = false;
          return;
        }
        if (i == o.given || ((o.ignored >> i) & 1) != 0) return;
        kept = same[i](*this, filed, v);
      });
      return kept;
    }
  }

  std::string expected_object(const Value& v) {
    return "expected an object, got " + got_text(src_.describe(v));
  }

 private:
  // Per field: the value under its key (none: not there), and what the
  // first two passes made of ids.
  // Nothing here is zeroed whole: each optional starts empty by itself, and
  // the flags are bits (a read is a few hundred nanoseconds, and clearing
  // a kilobyte of state would be a fair part of it).
  struct State {
    std::array<std::optional<Value>, N> got;
    std::array<std::optional<Value>, N> own;  // NestedId: the field's own name
    std::array<std::optional<std::uint64_t>, N> id;
    std::bitset<N> sent;                      // a value to convert (or an id made)
    std::bitset<N> cleared;                   // null for a field that can be None
    std::bitset<N> skipped;                   // lenient: refused, the filed value stays
    // An id list's ids as the first pass read them, when they fit here
    // (else the list is read again into the record).
    static constexpr std::size_t kListRoom = 64;
    std::uint64_t list_ids[kListRoom];
    std::size_t list_used = 0;
    std::array<std::uint16_t, N> list_begin, list_end;  // where `listed`
    std::bitset<N> listed;
  };

  static constexpr const FieldSpec& field(std::size_t i) { return Desc::fields[i]; }

  static bool is_null(const std::optional<Value>& v) { return v && Source::is_null(*v); }
  static bool has_value(const std::optional<Value>& v) { return v && !Source::is_null(*v); }

  template <std::size_t I>
  void gather(const typename Source::Object& obj, State& st, const Overrides& o, bool scanned) {
    constexpr FieldSpec f = field(I);
    if (o.given == I || ((o.ignored >> I) & 1)) {
      st.got[I].reset();
      st.own[I].reset();
      if (o.given == I) {
        st.id[I] = o.given_id;
        st.sent[I] = true;
      }
      return;
    }
    if (!scanned) {
      st.got[I] = obj.get(Keys<Desc>::key[I]);
      if constexpr (f.wire == Wire::NestedId) st.own[I] = obj.get(Keys<Desc>::own[I]);
    }
    if (o.fallback == I && !has_value(st.got[I])) {
      st.got[I].reset();
      st.id[I] = o.fallback_id;
      st.sent[I] = true;
      return;
    }
    if constexpr (f.nullable()) {
      st.cleared[I] = is_null(st.got[I]) && !(f.wire == Wire::NestedId && has_value(st.own[I]));
    }
  }

  // A fault found while reading field I, in lenient mode, keeps the filed
  // value; otherwise it is the read's fault.
  template <std::size_t I>
  bool pass_over(State& st, bool lenient) {
    if (!lenient) return false;
    st.skipped[I] = true;
    st.sent[I] = false;
    st.cleared[I] = false;
    return true;
  }

  std::uint64_t id_or_fail(const Value& v, Holds h) {
    std::uint64_t id;
    if (src_.id_of(v, &id)) return id;
    path_.fail(reason_for(h, src_.describe(v)));
  }

  // Pass 1: the fields the wire gives as ids and id lists.
  template <std::size_t I>
  void ids(State& st, bool lenient) {
    constexpr FieldSpec f = field(I);
    if constexpr (f.wire == Wire::Id || f.wire == Wire::Wide || f.wire == Wire::IdList) {
      if (!has_value(st.got[I])) return;
      const std::size_t depth = path_.depth();
      try {
        Within at(path_, Keys<Desc>::key[I].text);
        if constexpr (f.wire == Wire::IdList) {
          const std::size_t begin = st.list_used;
          read_id_list(*st.got[I], [&](std::uint64_t id) {
            if (st.list_used < State::kListRoom) st.list_ids[st.list_used] = id;
            ++st.list_used;
          });
          if (st.list_used <= State::kListRoom) {
            st.listed[I] = true;
            st.list_begin[I] = static_cast<std::uint16_t>(begin);
            st.list_end[I] = static_cast<std::uint16_t>(st.list_used);
          }
        } else {
          st.id[I] = id_or_fail(*st.got[I], f.wire == Wire::Id ? Holds::Id : Holds::Wide);
        }
        st.sent[I] = true;
      } catch (const PayloadFault&) {
        path_.truncate(depth);
        if (!pass_over<I>(st, lenient)) throw;
      }
    }
  }

  template <class Each>
  void read_id_list(const Value& v, Each&& each) {
    if (src_.kind(v) != ValueKind::List && !src_.is_tuple(v)) {
      path_.fail(reason_for(Holds::IdList, src_.describe(v)));
    }
    typename Source::List items(src_, v);
    Value item;
    for (std::size_t i = 0; items.next(&item); ++i) {
      Within at(path_, i);
      each(id_or_fail(item, Holds::Id));
    }
  }

  // Pass 2: the ids of nested objects (a member's user, a message's author),
  // or the same id under the field's own name; given by both, they agree.
  template <std::size_t I>
  void nested(State& st, bool lenient) {
    constexpr FieldSpec f = field(I);
    if constexpr (f.wire == Wire::NestedId) {
      const std::size_t depth = path_.depth();
      try {
        if (has_value(st.got[I])) {
          Within at(path_, Keys<Desc>::key[I].text);
          const Value& object = *st.got[I];
          if (src_.kind(object) != ValueKind::Object) path_.fail(expected_object(object));
          const std::optional<Value> id = src_.find(object, kIdKey);
          if (!has_value(id)) path_.fail_at("id", "missing");
          Within at_id(path_, "id");
          st.id[I] = id_or_fail(*id, Holds::Id);
          st.sent[I] = true;
        }
        if (has_value(st.own[I])) {
          Within at(path_, f.name);
          const std::uint64_t own = id_or_fail(*st.own[I], Holds::Id);
          if (st.id[I] && *st.id[I] != own) {
            path_.fail(std::to_string(own) + " does not match " + std::string(Keys<Desc>::key[I].text) + ".id " +
                       std::to_string(*st.id[I]));
          }
          st.id[I] = own;
          st.sent[I] = true;
        }
      } catch (const PayloadFault&) {
        path_.truncate(depth);
        if (!pass_over<I>(st, lenient)) throw;
      }
    }
  }

  // Pass 3a: every required field is there (only when nothing is filed).
  template <std::size_t I>
  void required(const State& st) {
    constexpr FieldSpec f = field(I);
    if constexpr (f.fill == Fill::Required) {
      if constexpr (f.wire == Wire::NestedId) {
        if (!st.id[I]) path_.fail_at(Keys<Desc>::key[I].text, "missing");
      } else if constexpr (f.wire == Wire::Value) {
        if (!has_value(st.got[I])) {
          path_.fail_at(Keys<Desc>::key[I].text, st.got[I] ? "required, got null" : "missing");
        }
      } else {
        if (!st.id[I] && !st.sent[I]) {
          path_.fail_at(Keys<Desc>::key[I].text, st.got[I] ? "required, got null" : "missing");
        }
      }
    }
  }

  // Pass 3b: each field into the record, in table order.
  template <std::size_t I>
  void convert(State& st, Built<Desc>& out, const Rec* filed, bool lenient) {
    constexpr FieldSpec f = field(I);
    Scalars<Desc>& sc = out.scalars;
    BlobBuilder& b = out.blob;
    if (st.cleared[I]) {
      if constexpr (is_var(f.kind)) {
        b.end_field();
      } else {
        sc.store(I, decltype(stored<I>()){});
      }
      if constexpr (f.nullable()) sc.set_present(I, false);
      return;
    }
    if constexpr (f.wire == Wire::Id || f.wire == Wire::Wide || f.wire == Wire::NestedId) {
      if (st.id[I]) {
        sc.store(I, *st.id[I]);
        if constexpr (f.nullable()) sc.set_present(I);
        return;
      }
    } else if constexpr (f.wire == Wire::IdList) {
      if (st.sent[I]) {
        if (st.listed[I]) {
          for (std::size_t i = st.list_begin[I]; i < st.list_end[I]; ++i) b.append_u64(st.list_ids[i]);
        } else {
          Within at(path_, Keys<Desc>::key[I].text);
          read_id_list(*st.got[I], [&](std::uint64_t id) { b.append_u64(id); });
        }
        b.end_field();
        if constexpr (f.nullable()) sc.set_present(I);
        return;
      }
    } else {
      if (has_value(st.got[I]) && !st.skipped[I]) {
        const std::size_t mark = b.length();
        if (src_.template convert<Desc, I>(sc, b, *st.got[I])) return;
        if (!lenient) fail_field<I>(*st.got[I]);
        src_.refused();  // passed over: nothing of it is kept
        b.rewind(mark);
      }
    }
    keep<I>(out, filed);
  }

  // Not sent, or passed over: the filed value stays, or the default.
  template <std::size_t I>
  void keep(Built<Desc>& out, const Rec* filed) {
    constexpr FieldSpec f = field(I);
    if constexpr (is_var(f.kind)) {
      if (filed != nullptr) {
        const VarView v = filed->var(I);
        out.blob.append(v.data, v.size);
      } else if constexpr (f.text != nullptr) {
        out.blob.append(f.text, std::char_traits<char>::length(f.text));
      }
      out.blob.end_field();
    }
    // A scalar's filed value (or default) is in place already.
  }

  // The fault of a value field I's constructor refused: where (an item of a
  // list of texts is named) and why.
  template <std::size_t I>
  [[noreturn]] void fail_field(const Value& v) {
    constexpr FieldSpec f = field(I);
    Within at(path_, Keys<Desc>::key[I].text);
    if constexpr (f.kind == Kind::TextList) {
      if (src_.kind(v) == ValueKind::List || src_.is_tuple(v)) {
        typename Source::List items(src_, v);
        Value item;
        for (std::size_t i = 0; items.next(&item); ++i) {
          if (src_.fits_text(item)) continue;
          Within at_item(path_, i);
          path_.fail(reason_for(Holds::Text, src_.describe(item)));
        }
      }
    }
    path_.fail(reason_for(holds_of(f.kind, f.wire), src_.describe(v)));
  }

  // Whether `v`, sent for field I, leaves `filed`'s value as it is.
  template <std::size_t I>
  static bool same_as_filed(RecordReader& r, const Rec& filed, const Value& v) {
    constexpr FieldSpec f = field(I);
    if (Source::is_null(v)) return f.nullable() ? !filed.present(I) : f.wire != Wire::NestedId;
    if (!filed.present(I)) return false;
    const ValueKind k = r.src_.kind(v);
    if constexpr (f.wire == Wire::Id || f.wire == Wire::Wide) {
      std::uint64_t id;
      return Source::id_of(v, &id) && id == filed.u64(I);
    } else if constexpr (f.wire == Wire::NestedId) {
      if (k != ValueKind::Object) return false;
      const std::optional<Value> nested = Source::find(v, kIdKey);
      std::uint64_t id;
      return nested && Source::id_of(*nested, &id) && id == filed.u64(I);
    } else if constexpr (f.wire == Wire::IdList) {
      if (k != ValueKind::List) return false;
      const VarView had = filed.var(I);
      typename Source::List items(r.src_, v);
      Value item;
      std::size_t n = 0;
      for (; items.next(&item); ++n) {
        std::uint64_t id;
        if (n == had.u64_count() || !Source::id_of(item, &id) || id != had.u64_at(n)) return false;
      }
      return n == had.u64_count();
    } else if constexpr (f.kind == Kind::Text) {
      return k == ValueKind::String && v.as_string() == filed.var(I).text();
    } else if constexpr (!is_var(f.kind)) {
      // The constructor's own rule, over a copy of the filed scalars.
      Scalars<Desc> sc = filed.scalars();
      BlobBuilder unused;
      return r.src_.template convert<Desc, I>(sc, unused, v) &&
             std::memcmp(&sc, &filed.scalars(), sizeof sc) == 0;
    } else {
      return false;  // a list of texts: the full read compares
    }
  }

  template <std::size_t I>
  static auto stored() {
    constexpr Kind k = field(I).kind;
    if constexpr (k == Kind::U64) {
      return std::uint64_t{};
    } else if constexpr (k == Kind::U32) {
      return std::uint32_t{};
    } else if constexpr (k == Kind::I32) {
      return std::int32_t{};
    } else {
      return std::uint8_t{};
    }
  }

  Source& src_;
  Path& path_;
};

// Convenience: read a record of class Desc from `v` at the path's place.
template <class Desc, class Source, class From>
Record<Desc> read_record(Source& src, Path& path, const From& from, const Record<Desc>* filed = nullptr,
                         bool lenient = false, const Overrides& o = {}) {
  Built<Desc> out;
  RecordReader<Source, Desc>(src, path).read(from, out, filed, lenient, o);
  return out.record();
}

}  // namespace tarnwick::wire
