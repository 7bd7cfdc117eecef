// Process-wide state: the module, its cached built-ins, the module-global lookup
// and the import statements of execution.
#pragma once

#include "module/core/object.hpp"

#include <cstdint>

namespace qv {

// One copy per process, never freed: the module outlives every call.
struct Runtime {
    std::int64_t interpreter_id = -1;
    PyObject* module = nullptr;     // owned; dropped when execution fails
    PyObject* namespace_ = nullptr;  // the module's dict, borrowed from `module`
    PyObject* builtins = nullptr;    // the `builtins` module

    // Cached once at execution; rebinding the built-ins later changes nothing.
    PyObject* ValueError = nullptr;
    PyObject* range = nullptr;
    PyObject* enumerate = nullptr;
    PyObject* print = nullptr;
    PyObject* open = nullptr;
};

extern Runtime rt;

// A library module or private step by name, at the moment of use: the module's
// attribute, else the built-in, else NameError.
Object global(PyObject* name, Where w = Where::current());

// `import a.b` (the top package) with the module's namespace as globals.
Object import_module(Handle dotted_name, Handle fromlist, Where w = Where::current());
// The `name` of a `from`-import: the attribute, else `sys.modules["<module>.<name>"]`.
Object import_from(Handle module, Handle name, Where w = Where::current());
// `import a.b as x`: the submodule itself.
Object import_submodule(Handle dotted_name, Handle parts, Where w = Where::current());

// Binds the module's built-ins; a missing one is a NameError.
void cache_builtins(Where w = Where::current());

}  // namespace qv
