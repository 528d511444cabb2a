// MemberView holds a share of a guild's members taken in O(1), and nothing
// else: no Python object, so no part in garbage collection.  Nobody writes
// the share (a change to the filed guild copies the one table it touches
// first), so the view reads and walks it without any lock, and always sees
// the guild as it was when the view was made.  Its iterator holds a share
// of its own, so it outlives the view safely.

#include "extras/member_view.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "module/boundary.hpp"
#include "module/convert.hpp"
#include "module/entry.hpp"
#include "module/record_class.hpp"
#include "module/ref.hpp"
#include "module/released.hpp"
#include "module/results.hpp"

namespace tarnwick {
namespace {

using MemberClass = RecordClass<MemberDesc>;
using Members = CowMap<MemberRecord>;

struct View {
  PyObject ob_base;
  Members members;
  Py_ssize_t size;  // counted on first use; -1 until then
};

struct Iter {
  PyObject ob_base;
  Members members;
  Members::Cursor at;
};

PyTypeObject* g_view_type = nullptr;  // made once, kept for the process
PyTypeObject* g_iter_type = nullptr;

View* as_view(PyObject* o) { return reinterpret_cast<View*>(o); }
Iter* as_iter(PyObject* o) { return reinterpret_cast<Iter*>(o); }

// A zeroed instance of `t`; its C++ part is constructed by the caller.
PyObject* allocate(PyTypeObject* t) { return require(PyType_GenericAlloc(t, 0)); }

template <class T>
void release(PyObject* self) noexcept {
  PyTypeObject* t = Py_TYPE(self);
  Members& members = reinterpret_cast<T*>(self)->members;
  let_go(members.sole_entries(), [&] { std::destroy_at(&members); });
  reinterpret_cast<freefunc>(PyType_GetSlot(t, Py_tp_free))(self);
  Py_DECREF(t);
}

void view_dealloc(PyObject* self) noexcept { release<View>(self); }
void iter_dealloc(PyObject* self) noexcept { release<Iter>(self); }

PyObject* no_new(PyTypeObject* t, PyObject*, PyObject*) {
  return run_boundary([&]() -> PyObject* {
    OwnedRef name = OwnedRef::steal(require(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__qualname__")));
    PyErr_Format(PyExc_TypeError, "cannot create '%U' instances", name.get());
    throw_pending();
  });
}

Py_ssize_t view_len(PyObject* self) {
  return run_boundary([&] {
    View* v = as_view(self);
    if (v->size < 0) v->size = static_cast<Py_ssize_t>(v->members.size());
    return v->size;
  });
}

// Anything that is no user id (not an integer, or out of range) is not in
// the view; an interrupt raised by an __index__ still ends the call.
int view_contains(PyObject* self, PyObject* key) {
  return run_boundary([&] {
    std::uint64_t id;
    if (!to_u64(key, &id)) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
        forward_panic_if_pending();
        throw_pending();
      }
      PyErr_Clear();
      return 0;
    }
    return as_view(self)->members.find(id, WritersExcluded{}) != nullptr ? 1 : 0;
  });
}

PyObject* view_iter(PyObject* self) {
  return run_boundary([&] {
    PyObject* it = allocate(g_iter_type);
    ::new (&as_iter(it)->members) Members(as_view(self)->members, WritersExcluded{});
    ::new (&as_iter(it)->at) Members::Cursor();
    return it;
  });
}

PyObject* iter_self(PyObject* self) {
  return run_boundary([&] {
    Py_INCREF(self);
    return self;
  });
}

PyObject* iter_next(PyObject* self) {
  return run_boundary([&]() -> PyObject* {
    Iter* it = as_iter(self);
    if (const MemberRecord* m = it->members.next(it->at, WritersExcluded{})) return MemberClass::wrap_copy(*m);
    // Done: let go of the tables now, the last share of a removed guild's
    // without the interpreter lock (taken out of the iterator first, which
    // another thread may call meanwhile).
    Members done = std::move(it->members);
    let_go(done.sole_entries(), [&] { done.reset(); });
    return nullptr;  // no exception set: the iteration is over
  });
}

PyObject* view_get(PyObject* self, const Bound<1>& args) {
  const MemberRecord* m = as_view(self)->members.find(take_u64(args, 0), WritersExcluded{});
  return m == nullptr ? none_result() : MemberClass::wrap_copy(*m);
}

PyObject* view_user_ids(PyObject* self, const Bound<0>&) {
  const Members& members = as_view(self)->members;
  // The view never changes, so its walk may pause while other threads run.
  return id_list_of([&](auto add) {
    Members::Cursor at;
    std::uint64_t id;
    while (members.next(at, WritersExcluded{}, &id)) add(id);
  });
}

PyMethodDef g_view_methods[] = {
    method<"MemberView", "get($self, user_id)", view_get, "The member under user_id as a new full_member, or None.">(),
    method<"MemberView", "user_ids($self)", view_user_ids, "A new list of the members' user ids, in no particular order.">(),
    kEndOfTable,
};

constexpr const char* kViewDoc =
    "A snapshot of one guild's members, from cache.members(guild_id).\n\n"
    "It shares the filed members copy-on-write, holds no lock and never changes:\n"
    "len(view), user_id in view, view.get(user_id), view.user_ids() and iteration\n"
    "(fresh full_member objects, in no particular order) all read the guild as it\n"
    "was when the view was taken.";

PyType_Slot g_view_slots[] = {
    {Py_tp_doc, const_cast<char*>(kViewDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&no_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&view_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&view_iter)},
    {Py_sq_length, reinterpret_cast<void*>(&view_len)},
    {Py_sq_contains, reinterpret_cast<void*>(&view_contains)},
    {Py_tp_methods, g_view_methods},
    {0, nullptr},
};

PyType_Slot g_iter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&no_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&iter_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(&iter_next)},
    {0, nullptr},
};

// Not subclassable (no Py_TPFLAGS_BASETYPE), no __dict__, no weak references.
PyType_Spec g_view_spec = {"tarnwick_extras.cache.MemberView", sizeof(View), 0, Py_TPFLAGS_DEFAULT, g_view_slots};
PyType_Spec g_iter_spec = {"tarnwick_extras.cache.MemberViewIterator", sizeof(Iter), 0, Py_TPFLAGS_DEFAULT,
                           g_iter_slots};

}  // namespace

PyTypeObject* make_member_view_type() {
  if (g_view_type == nullptr) {
    OwnedRef iter = OwnedRef::steal(require(PyType_FromSpec(&g_iter_spec)));
    OwnedRef view = OwnedRef::steal(require(PyType_FromSpec(&g_view_spec)));
    g_iter_type = reinterpret_cast<PyTypeObject*>(iter.release());
    g_view_type = reinterpret_cast<PyTypeObject*>(view.release());
  }
  return g_view_type;
}

PyObject* new_member_view(Members&& members) {
  PyObject* v = allocate(g_view_type);
  ::new (&as_view(v)->members) Members(std::move(members));
  as_view(v)->size = -1;
  return v;
}

}  // namespace tarnwick
