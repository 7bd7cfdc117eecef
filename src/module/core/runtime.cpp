// Process-wide state, module-global lookup and the import statements.
#include "module/core/runtime.hpp"

#include "module/core/constants.hpp"

#include <iterator>

namespace qv {

Runtime rt;

namespace {

// Clears a pending AttributeError; any other error stays set for the caller.
bool attribute_missing() {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
}

[[noreturn]] void name_error(Handle name, Where w) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    fail(w);
}

// Attribute `name` of `owner`, or an empty Object when it has none.
Object attribute_or_nothing(PyObject* owner, PyObject* name, Where w) {
    if (owner == nullptr) return Object();
    if (PyObject* found = PyObject_GetAttr(owner, name)) return Object::steal(found, w);
    if (!attribute_missing()) fail(w);
    return Object();
}

}  // namespace

Object global(PyObject* name, Where w) {
    if (auto found = attribute_or_nothing(rt.module, name, w)) return found;
    if (auto found = attribute_or_nothing(rt.builtins, name, w)) return found;
    name_error(name, w);
}

void cache_builtins(Where w) {
    PyObject** slots[] = {&rt.ValueError, &rt.range, &rt.enumerate, &rt.print, &rt.open};
    PyObject* names[] = {k.ValueError, k.range, k.enumerate, k.print, k.open};
    for (std::size_t i = 0; i < std::size(slots); ++i) {
        auto found = attribute_or_nothing(rt.builtins, names[i], w);
        if (!found) name_error(names[i], w);
        PyObject* old = *slots[i];
        *slots[i] = found.release();
        Py_XDECREF(old);
    }
}

Object import_module(Handle dotted_name, Handle fromlist, Where w) {
    auto locals = new_dict(w);
    return Object::steal(
        PyImport_ImportModuleLevelObject(dotted_name.get(), rt.namespace_, locals.get(), fromlist.get(), 0), w);
}

Object import_from(Handle module, Handle name, Where w) {
    if (auto found = attribute_or_nothing(module.get(), name.get(), w)) return found;
    // A submodule that is imported but not yet bound on its package.
    auto package = module.attr(k.dunder_name, w);
    auto full = join({package, k.dot, name}, w);
    if (PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get())) {
        return Object::borrow(found);
    }
    if (PyErr_Occurred()) fail(w);
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
    fail(w);
}

Object import_submodule(Handle dotted_name, Handle parts, Where w) {
    auto top = import_module(dotted_name, k.None, w);
    if (PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), dotted_name.get())) {
        return Object::borrow(found);
    }
    if (PyErr_Occurred()) fail(w);
    // Not in sys.modules: walk the attributes from the top package.
    auto current = top.ref();
    auto reached = Object::borrow(PyTuple_GetItem(parts.get(), 0));
    for (Py_ssize_t i = 1; i < PyTuple_Size(parts.get()); ++i) {
        Handle part = PyTuple_GetItem(parts.get(), i);
        reached = join({reached, k.dot, part}, w);
        auto next = attribute_or_nothing(current.get(), part.get(), w);
        if (!next) {
            PyErr_Format(PyExc_ModuleNotFoundError, "No module named '%U'", reached.get());
            fail(w);
        }
        current = std::move(next);
    }
    return current;
}

}  // namespace qv
