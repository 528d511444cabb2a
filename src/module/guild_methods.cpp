#include "module/guild_methods.hpp"

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/entry.hpp"
#include "module/record_class.hpp"
#include "records/guild.hpp"

namespace tarnwick {
namespace {

using GuildClass = RecordClass<GuildDesc>;

// add_X(x): copy x's record into one collection of the receiver, replacing
// any entry under the same key.  Collections carry their own locks; the
// displaced copy is released only after the collection's lock is gone.
template <class Desc>
PyObject* add(PyObject* self, const Bound<1>& args) {
  if (!GuildClass::check(self)) {
    set_type_mismatch(self, GuildDesc::name);
    throw_pending();
  }
  GuildClass::record_of(self).extra().put(RecordClass<Desc>::take(args[0], args.name(0)));
  Py_RETURN_NONE;
}

PyMethodDef g_methods[] = {
    method<"full_guild", "add_member($self, member)", add<MemberDesc>>(),
    method<"full_guild", "add_role($self, role)", add<RoleDesc>>(),
    method<"full_guild", "add_emoji($self, emoji)", add<EmojiDesc>>(),
    kEndOfTable,
};

}  // namespace

PyMethodDef* guild_methods() { return g_methods; }

}  // namespace tarnwick
