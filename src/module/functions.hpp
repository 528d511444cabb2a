// The seven module functions of the cache.
#pragma once

#include "module/python.hpp"

namespace tarnwick {

// Method definitions in registration order (register_guild ... get_message),
// terminated by a null entry.  Static: never freed.
PyMethodDef* registry_functions();

}  // namespace tarnwick
