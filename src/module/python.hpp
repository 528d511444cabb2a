// The one place that includes Python.h, pinned to the 3.9 stable ABI.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
