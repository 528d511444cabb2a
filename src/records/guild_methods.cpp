#include "records/guild_methods.hpp"

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/record_class.hpp"
#include "records/guild.hpp"

namespace tarnwick {
namespace {

using GuildClass = RecordClass<GuildDesc>;

// add_X(x): copy x's record into one collection of the receiver, replacing
// any entry under the same key.  The displaced copy is released only after
// insert has let go of the shard lock.
template <class Desc, ShardedMap<Record<Desc>> GuildCollections::*Map>
PyObject* add(PyObject* self, PyObject* args, PyObject* kwargs, const ParamList& params) {
  return run_boundary([&] {
    PyObject* slots[1];
    bind(params, args, kwargs, slots);
    if (!GuildClass::check(self)) {
      set_type_mismatch(self, GuildDesc::name);
      throw_pending();
    }
    Record<Desc> rec = RecordClass<Desc>::take(slots[0], params.names[0]);
    // Collections carry their own locks; the record itself is only read.
    GuildCollections& collections = GuildClass::record_of(self).extra();
    const std::uint64_t key = rec.key();
    (collections.*Map).insert(key, std::move(rec));  // the displaced copy dies here, unlocked
    Py_RETURN_NONE;
  });
}

const char* const kMember[] = {"member"};
const char* const kRole[] = {"role"};
const char* const kEmoji[] = {"emoji"};
PyObject* interned_member[1];
PyObject* interned_role[1];
PyObject* interned_emoji[1];
constexpr ParamList kAddMember{"full_guild", "add_member", kMember, 1, 1, interned_member};
constexpr ParamList kAddRole{"full_guild", "add_role", kRole, 1, 1, interned_role};
constexpr ParamList kAddEmoji{"full_guild", "add_emoji", kEmoji, 1, 1, interned_emoji};

PyObject* add_member(PyObject* self, PyObject* args, PyObject* kwargs) {
  return add<MemberDesc, &GuildCollections::members>(self, args, kwargs, kAddMember);
}
PyObject* add_role(PyObject* self, PyObject* args, PyObject* kwargs) {
  return add<RoleDesc, &GuildCollections::roles>(self, args, kwargs, kAddRole);
}
PyObject* add_emoji(PyObject* self, PyObject* args, PyObject* kwargs) {
  return add<EmojiDesc, &GuildCollections::emojis>(self, args, kwargs, kAddEmoji);
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
