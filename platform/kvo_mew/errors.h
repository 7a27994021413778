// The link's failures as Python sees them. Code that runs with the GIL
// reports an error the way every Python-facing function here does: it sets
// the Python exception (set_error below) and returns a null result. The
// engine (link/) throws LinkError without the GIL; Link::finish turns it into
// the Python exception of its kind.
#pragma once

#include <Python.h>

#include <string>

#include "runtime/errors.h"
#include "link/link_error.h"

namespace mew {

// The Python exception type of a kind (module.cpp, which owns the types);
// Raised has none (null): the exception is set already.
PyObject *error_type(ErrorKind kind);

using kvo::rt::ErrorSet;

// Sets the exception of `kind` with `message`, so a caller writes
// `return set_error(...)`.
ErrorSet set_error(ErrorKind kind, const std::string &message);

} // namespace mew
