// The reads of tarnwick_extras.cache: a guild's roles, emojis, members and
// permissions, a member search, and the ids of everything filed.
#pragma once

#include "module/python.hpp"

namespace tarnwick {

// Adds the read functions, the MemberView class and ALL_PERMISSIONS to the
// cache module, each listed in its __all__.
void add_reads(PyObject* module);

}  // namespace tarnwick
