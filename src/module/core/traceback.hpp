// Traceback entries for functions that end with an exception, and the one
// boundary where a C++ failure becomes the interpreter's.
#pragma once

#include <Python.h>

#include "module/core/object.hpp"

#include <new>

namespace qv {

// Source file that every entry names.
inline constexpr const char* source_file = "tessaly/quillvane.cpp";

// Adds one entry, `qualified_name` at `line`, to the pending exception's
// traceback. The pending exception survives whatever happens here.
void add_traceback(PyObject* qualified_name, unsigned line);

// Runs `body`; on failure leaves an exception set (a C++ one translated) with an
// entry `name()` at the failing line, or at `line` when no step said where.
// `name` is called only then, so it may build its string lazily.
template <class Body, class Name>
bool at_boundary(Body&& body, Name&& name, unsigned line) {
    try {
        body();
        return true;
    } catch (const Failure& failure) {
        line = failure.line;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "tessaly.quillvane: unexpected C++ exception");
    }
    if (PyObject* qualified_name = name()) add_traceback(qualified_name, line);
    return false;
}

}  // namespace qv
