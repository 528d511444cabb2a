// The native functions behind tarnwick_extras.payloads and events.
#pragma once

#include "module/python.hpp"

namespace tarnwick {

// Adds _read, _read_guild, _guild_users, _user_at, _parse_id, _apply,
// _apply_frame, _set_payload_error and _wire_fields to the cache module
// (not listed in __all__: they are the packages' own).
void add_gateway_functions(PyObject* module);

}  // namespace tarnwick
