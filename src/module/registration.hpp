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

// Makes a function object bound to `module` for each row of `table` (never
// freed; up to the null row) and adds it under its __name__, listed in
// __all__ unless `listed` is false.
void add_functions(PyObject* module, PyMethodDef* table, bool listed = true);

// The module of `def`, made once per process: claims the interpreter, then
// returns a new reference to the module made before, or makes one and runs
// `body` on it.  A body that fails leaves nothing stored, so a later import
// tries again; should two threads both make one, the first stored stays.
PyObject* module_once(PyModuleDef& def, PyObject*& made, void (*body)(PyObject*));

}  // namespace tarnwick
