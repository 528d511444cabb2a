// The common case of tarnwick_extras.payloads, natively.
#pragma once

#include "module/binding.hpp"
#include "module/python.hpp"

namespace tarnwick {

// cache._from_payload(kind, payload), the record that payloads.user,
// member, role, emoji, message or guild (kind 0 to 5; a guild without its
// collections) makes of `payload`, or None when the payload is anything but
// the plain case (a value of a type JSON does not give, an id that is not a
// short decimal string, a required field missing, a value the constructor
// refuses, ...).  Then the Python converter does the work, and raises the
// PayloadError that says where the fault is.  The result is always the
// record that converter would have made.
// The body of the entry point: it throws to the caller's fault boundary.
PyObject* convert_payload(const Bound<2>& args);

// cache._merge_payload(kind, payload, filed, lenient=False): the record of
// kind 0 to 5 (as for _from_payload; a guild: its fields) that
// `payload` laid over `filed` (a record of that class, or None) makes: a key
// sent replaces the filed value, a key left out keeps it, null clears a
// field that can be None.  None when the payload is not the plain case; the
// Python merge then does the work and names the fault.  With `lenient`
// (True), a sent value that does not convert keeps the filed one instead.
PyObject* merge_payload(const Bound<4>& args);

}  // namespace tarnwick
