// Placeholder for bodies that are not written yet.
#pragma once

#include "module/core/object.hpp"

namespace qv {

[[noreturn]] inline void not_implemented(Where w = Where::current()) {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    fail(w);
}

}  // namespace qv
