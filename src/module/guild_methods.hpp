// full_guild's methods: add_member, add_role, add_emoji.
#pragma once

#include "module/python.hpp"

namespace tarnwick {

// The method table for the full_guild type, in the class's order.
PyMethodDef* guild_methods();

}  // namespace tarnwick
