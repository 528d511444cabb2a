// What module initialisation shares with the companion module.
#pragma once

#include "module/python.hpp"

namespace tarnwick {

// Binds the shared object to the first interpreter that initialises any of
// its modules; raises ImportError in any other interpreter.
void claim_interpreter();

// Appends `name` to the module's __all__ (creating it on first use), then
// sets the attribute.
void add(PyObject* module, PyObject* name, PyObject* value);

// Makes a function object from `def` (never freed) bound to `module`, and
// adds it under its __name__ (and to __all__ unless it is not `listed`).
void add_function(PyObject* module, PyMethodDef* def, bool listed = true);

}  // namespace tarnwick
