// Traceback entries for functions that end with an exception.
#pragma once

#include <Python.h>

namespace qv {

// Source file that every entry names.
inline constexpr const char* source_file = "tessaly/quillvane.cpp";

// Adds one entry, `qualified_name` at `line`, to the pending exception's
// traceback. The pending exception survives whatever happens here.
void add_traceback(PyObject* qualified_name, unsigned line);

}  // namespace qv
