// tarnwick_extras.cache.MemberView: a snapshot of one guild's members.
#pragma once

#include "core/cow_map.hpp"
#include "module/python.hpp"
#include "records/member.hpp"

namespace tarnwick {

// Makes the view's type and its iterator's, once per process (from the
// cache module's body), and returns the view's (borrowed).
PyTypeObject* make_member_view_type();

// A new view holding `members`, a private share of a guild's members.
PyObject* new_member_view(CowMap<MemberRecord>&& members);

}  // namespace tarnwick
