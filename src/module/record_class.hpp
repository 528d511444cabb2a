// The Python class of a record, generated from the record's field table.
//
// RecordClass<Desc> gives one class everything it needs: the parameter list
// for binding, the constructor (convert each argument by its field's kind),
// one generic getter per field, the record rule (type check + deep copy),
// wrapping a record into a new instance, release, and the heap type itself.
#pragma once

#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/convert.hpp"
#include "module/ref.hpp"
#include "module/released.hpp"
#include "module/results.hpp"
#include "records/record.hpp"

namespace tarnwick {

// "(id, name, icon=None, ...)": the text signature, derived from the table.
template <std::size_t N>
Text text_signature(const FieldSpec (&fields)[N]) {
  Text s = "(";
  for (std::size_t i = 0; i < N; ++i) {
    const FieldSpec& f = fields[i];
    if (i != 0) s += ", ";
    s += f.name;
    switch (f.fill) {
      case Fill::Required: break;
      case Fill::Absent: s += "=None"; break;
      case Fill::Empty: s += "=..."; break;
      case Fill::Value:
        if (f.kind == Kind::Bool) {
          s += f.value ? "=True" : "=False";
        } else if (is_var(f.kind)) {
          s += "=...";
        } else {
          char digits[24];
          s += '=';
          s.append(digits, static_cast<std::size_t>(std::snprintf(digits, sizeof digits, "%llu",
                                                                  static_cast<unsigned long long>(f.value))));
        }
        break;
    }
  }
  return s + ")";
}

// Creates the type from `type_spec`, or raises RuntimeError "An error occurred
// while initializing class X" chained to the underlying error.
PyTypeObject* make_record_type(PyType_Spec& type_spec, const char* name, const Text& doc);

// The method table of a class without methods.
inline PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};

template <class Desc>
class RecordClass {
 public:
  using Rec = Record<Desc>;
  static constexpr std::size_t N = Rec::N;

  // An instance: the object header, the record, and then, in the same
  // allocation, the record's blob.
  struct Object {
    PyObject ob_base;
    Rec rec;
  };
  static_assert(sizeof(Object) % 2 == 0, "the blob after the record must be 2-aligned");

  // Called once, from the module body, in class order.
  static PyTypeObject* create(PyMethodDef* methods = kNoMethods) {
    if (type_ != nullptr) return type_;
    static PyGetSetDef getset[N + 1] = {};
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((getset[I] = PyGetSetDef{Desc::fields[I].name, &get<I>, nullptr, "", nullptr}), ...);
    }(std::make_index_sequence<N>{});
    static const Text doc = Text(Desc::name) + text_signature(Desc::fields) + "\n--\n\n";
    // Qualified name: __module__ is "tarnwick", __name__ stays the class name.
    static const Text qualified = Text("tarnwick.") + Desc::name;
    static PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {
        .name = qualified.c_str(),
        .basicsize = static_cast<int>(sizeof(Object)),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = slots,
    };
    PyTypeObject* made = make_record_type(type_spec, Desc::name, doc);
    if (made == nullptr) throw_pending();
    if (type_ != nullptr) {  // made meanwhile by another thread: the first one stays
      Py_DECREF(made);
      return type_;
    }
    type_ = made;
    free_ = reinterpret_cast<freefunc>(PyType_GetSlot(type_, Py_tp_free));
    return type_;
  }

  static PyTypeObject* type() {
    if (type_ == nullptr) {
      static const Text text = Text("failed to create type object for ") + Desc::name;
      if (PyErr_Occurred()) PyErr_Print();
      fault(text.c_str());
    }
    return type_;
  }

  // The classes cannot be subclassed, so the exact comparison decides
  // almost always; the subtype check keeps the rule's letter.
  static bool check(PyObject* o) {
    PyTypeObject* t = type();
    return Py_IS_TYPE(o, t) || PyType_IsSubtype(Py_TYPE(o), t);
  }
  // Fields never change after construction; only a guild's collections do,
  // under their own locks, which is why this is not const.
  static Rec& record_of(PyObject* o) { return reinterpret_cast<Object*>(o)->rec; }

  // The record rule: a deep copy of the argument's record, or the labelled
  // type-mismatch error for parameter `param`.
  static Rec take(PyObject* o, const char* param) {
    if (!check(o)) {
      set_type_mismatch(o, Desc::name);
      raise_labelled(param);
    }
    return record_of(o);
  }

  // A copy of a record taken while its registry map's lock is held, to be
  // made into an object once the lock is gone: the scalars, the collections
  // (a filed guild's, shared as GuildCollections::share_filed allows), and
  // the blob's bytes (on the stack unless they are large).
  class Staged {
   public:
    Staged() noexcept = default;
    Staged(const Staged&) = delete;
    Staged& operator=(const Staged&) = delete;
    ~Staged() {
      if (bytes_ != small_) std::free(bytes_);
    }

    void take(const Rec& src) {
      scalars_.emplace(src.scalars());
      if constexpr (!std::is_same_v<typename Rec::Extra, NoExtra>) extra_ = Rec::Extra::share_filed(src.extra());
      size_ = src.blob_size();
      if (size_ > sizeof small_) bytes_ = static_cast<unsigned char*>(checked_malloc(size_));
      if (size_ != 0) std::memcpy(bytes_, src.blob_block(), size_);
    }

   private:
    friend class RecordClass;
    // Copied in whole by take(); not zeroed first (a guild's are 144 bytes).
    std::optional<Scalars<Desc>> scalars_;
    typename Rec::Extra extra_;
    std::size_t size_ = 0;
    unsigned char* bytes_ = small_;
    unsigned char small_[512];
  };

  // A new instance holding a copy of `rec`, straight from it: for a record
  // nobody changes meanwhile, such as one in a private share of a guild's
  // collection (shared tables are never written).
  static PyObject* wrap_copy(const Rec& rec)
    requires std::is_same_v<typename Rec::Extra, NoExtra>
  {
    return emplace(rec.scalars(), rec.blob_block(), rec.blob_size(), NoExtra{});
  }

  // A new instance holding `rec` (its blob copied in, its extra state moved).
  static PyObject* wrap_record(Rec&& rec) {
    return emplace(rec.scalars(), rec.blob_block(), rec.blob_size(), std::move(rec.extra()));
  }

  // A new instance holding the staged copy.
  static PyObject* wrap(Staged& staged) {
    return emplace(*staged.scalars_, staged.bytes_, staged.size_, std::move(staged.extra_));
  }

 private:
  // A new instance: the scalars, a copy of the blob's n bytes (held in the
  // object's own allocation), and the extra state.
  static PyObject* emplace(const Scalars<Desc>& scalars, const unsigned char* bytes, std::size_t n,
                           typename Rec::Extra&& extra) {
    unsigned char* block;
    PyObject* obj = allocate(type(), n, &block);
    if (n != 0) std::memcpy(block, bytes, n);
    ::new (&reinterpret_cast<Object*>(obj)->rec)
        Rec(scalars, Blob::borrowing(n == 0 ? nullptr : block), std::move(extra));
    return obj;
  }

  static inline PyTypeObject* type_ = nullptr;
  static inline freefunc free_ = nullptr;
  static constexpr std::array<const char*, N> names = [] {
    std::array<const char*, N> a{};
    for (std::size_t i = 0; i < N; ++i) a[i] = Desc::fields[i].name;
    return a;
  }();
  static inline Params<N> params{Desc::name, "__new__", names, Rec::layout.required};

  // An instance of `t` with room for a blob of `blob_bytes` after it.  One
  // allocation for the object and its texts: PyObject_Malloc and
  // PyObject_Init, which is what the type's generic allocation does for a
  // class like ours, bar the zeroing that the record's construction makes
  // needless.
  static PyObject* allocate(PyTypeObject* t, std::size_t blob_bytes, unsigned char** block) {
    void* mem = PyObject_Malloc(checked_add(sizeof(Object), blob_bytes));
    if (mem == nullptr) {
      PyErr_NoMemory();
      throw_pending();
    }
    PyObject* obj = PyObject_Init(static_cast<PyObject*>(mem), t);
    *block = reinterpret_cast<unsigned char*>(mem) + sizeof(Object);
    return obj;
  }

  // One scalar through its conversion rule into field i (a flag as a byte).
  template <class T>
  static bool read_scalar(Scalars<Desc>& sc, std::size_t i, PyObject* o, bool (*rule)(PyObject*, T*)) {
    T v;
    if (!rule(o, &v)) return false;
    if constexpr (std::is_same_v<T, bool>) {
      sc.store(i, static_cast<std::uint8_t>(v));
    } else {
      sc.store(i, v);
    }
    return true;
  }

  static PyObject* tp_new(PyTypeObject* t, PyObject* args, PyObject* kwargs) {
    return run_boundary([&] {
      const Bound<N> bound(params, args, kwargs);
      return build(t, bound.data());
    });
  }

 public:

  // Field I's argument (null when missing) into the scalars or the builder;
  // each field's code is generated from its row of the table.
  template <std::size_t I>
  static void convert_field(Scalars<Desc>& sc, BlobBuilder& b, PyObject* o) {
    constexpr FieldSpec f = Desc::fields[I];
    constexpr bool optional = f.fill == Fill::Absent;
    const bool missing = o == nullptr || (optional && o == Py_None);
    if constexpr (is_var(f.kind)) {
      if (missing) {
        if constexpr (f.text != nullptr) b.append(f.text, std::char_traits<char>::length(f.text));
      } else {
        bool ok;
        if constexpr (f.kind == Kind::Text) {
          ok = append_text(o, b);
        } else if constexpr (f.kind == Kind::U64List) {
          ok = append_u64_list(o, b);
        } else {
          ok = append_text_list(o, b);
        }
        if (!ok) raise_labelled(f.name);
        if constexpr (optional) sc.set_present(I);
      }
      b.end_field();
    } else {
      if (missing) return;  // the default is in place already
      bool ok;
      if constexpr (f.kind == Kind::U64) {
        ok = read_scalar(sc, I, o, to_u64);
      } else if constexpr (f.kind == Kind::U32) {
        ok = read_scalar(sc, I, o, to_u32);
      } else if constexpr (f.kind == Kind::I32) {
        ok = read_scalar(sc, I, o, to_i32);
      } else if constexpr (f.kind == Kind::U8) {
        ok = read_scalar(sc, I, o, to_u8);
      } else {
        ok = read_scalar(sc, I, o, to_bool);
      }
      if (!ok) raise_labelled(f.name);
      if constexpr (optional) sc.set_present(I);
    }
  }

  // A new instance of `t` from one argument per parameter, in parameter
  // order (null: not given), converted exactly as the constructor converts
  // them; throws to the boundary on the first that fails.
  static PyObject* build(PyTypeObject* t, PyObject* const* args) {
    Scalars<Desc> sc = default_scalars<Desc>();
    BlobBuilder b;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (convert_field<I>(sc, b, args[I]), ...);
    }(std::make_index_sequence<N>{});
    return make(t, sc, b);
  }

  // A new instance of `t` holding the scalars and the builder's fields.
  static PyObject* make(PyTypeObject* t, const Scalars<Desc>& sc, const BlobBuilder& b) {
    unsigned char* block;
    PyObject* obj = allocate(t, b.sealed_size(), &block);
    if (b.sealed_size() == 0) block = nullptr;
    if (block != nullptr) b.seal_to(block);
    ::new (&reinterpret_cast<Object*>(obj)->rec) Rec(sc, Blob::borrowing(block));
    return obj;
  }

 private:

  template <std::size_t I>
  static PyObject* get(PyObject* self, void*) {
    return run_boundary([&] { return field_result<I>(record_of(self)); });
  }

  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* t = Py_TYPE(self);
    Rec& rec = reinterpret_cast<Object*>(self)->rec;
    if constexpr (requires { rec.extra().sole_entries(); }) {
      // The last holder of a guild's big collections (the cache let go of
      // them meanwhile) frees them.
      let_go(rec.extra().sole_entries(), [&] { rec.~Rec(); });
    } else {
      rec.~Rec();
    }
    (t == type_ ? free_ : reinterpret_cast<freefunc>(PyType_GetSlot(t, Py_tp_free)))(self);
    Py_DECREF(t);
  }
};

}  // namespace tarnwick
