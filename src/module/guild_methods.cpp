#include "module/guild_methods.hpp"

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/record_class.hpp"
#include "records/guild.hpp"

namespace tarnwick {
namespace {

using GuildClass = RecordClass<GuildDesc>;

// add_X(x): copy x's record into one collection of the receiver, replacing
// any entry under the same key.  The displaced copy is released only after
// insert has let go of the collection's lock.
template <class Desc, CowMap<Record<Desc>> GuildCollections::*Map>
PyObject* add(PyObject* self, PyObject* args, PyObject* kwargs, const Params<1>& params) {
  const Bound<1> bound(params, args, kwargs);
  if (!GuildClass::check(self)) {
    set_type_mismatch(self, GuildDesc::name);
    throw_pending();
  }
  Record<Desc> rec = RecordClass<Desc>::take(bound[0], params.names[0]);
  // Collections carry their own locks; the record itself is only read.
  GuildCollections& collections = GuildClass::record_of(self).extra();
  const std::uint64_t key = rec.key();
  (collections.*Map).insert(key, std::move(rec));  // the displaced copy dies here, unlocked
  Py_RETURN_NONE;
}

Params<1> add_member_params{"full_guild", "add_member", {"member"}, 1};
Params<1> add_role_params{"full_guild", "add_role", {"role"}, 1};
Params<1> add_emoji_params{"full_guild", "add_emoji", {"emoji"}, 1};

PyObject* add_member(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_boundary(
      [&] { return add<MemberDesc, &GuildCollections::members>(self, args, kwargs, add_member_params); });
}
PyObject* add_role(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_boundary([&] { return add<RoleDesc, &GuildCollections::roles>(self, args, kwargs, add_role_params); });
}
PyObject* add_emoji(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_boundary(
      [&] { return add<EmojiDesc, &GuildCollections::emojis>(self, args, kwargs, add_emoji_params); });
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
PyMethodDef g_methods[] = {
    {"add_member", reinterpret_cast<PyCFunction>(add_member), METH_VARARGS | METH_KEYWORDS,
     "add_member($self, member)\n--\n\n"},
    {"add_role", reinterpret_cast<PyCFunction>(add_role), METH_VARARGS | METH_KEYWORDS,
     "add_role($self, role)\n--\n\n"},
    {"add_emoji", reinterpret_cast<PyCFunction>(add_emoji), METH_VARARGS | METH_KEYWORDS,
     "add_emoji($self, emoji)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
#pragma GCC diagnostic pop

}  // namespace

PyMethodDef* guild_methods() { return g_methods; }

}  // namespace tarnwick
