// Traceback entries without frame objects: the limited API has no way to make a
// frame, so a tiny code object that re-raises the pending exception is evaluated
// instead; the interpreter then prepends its frame to the traceback, exactly
// where the failing function stands in the call chain.
#include "module/core/traceback.hpp"

#include "module/core/constants.hpp"
#include "module/core/object.hpp"
#include "module/core/runtime.hpp"

#include <map>
#include <utility>

namespace qv {

namespace {

// One code object per function and line, kept for the life of the process.
std::map<std::pair<PyObject*, unsigned>, PyObject*> entries;

Object reraise_code(PyObject* qualified_name, unsigned line) {
    auto key = std::make_pair(qualified_name, line);
    if (auto it = entries.find(key); it != entries.end()) return Object::borrow(it->second);
    static PyObject* tmpl = nullptr;
    if (tmpl == nullptr) {
        tmpl = Object::steal(Py_CompileString("raise exception\n", source_file, Py_file_input)).release();
    }
    auto firstlineno = new_int(line == 0 ? 1 : line);
    auto code = Handle(tmpl).call_method(
        k.replace, {},
        {{k.co_name, qualified_name}, {k.co_qualname, qualified_name}, {k.co_firstlineno, firstlineno}});
    entries.emplace(key, code.ref().release());
    return code;
}

}  // namespace

void add_traceback(PyObject* qualified_name, unsigned line) {
    PyObject* pending = PyErr_GetRaisedException();
    if (pending == nullptr || rt.namespace_ == nullptr) {
        PyErr_SetRaisedException(pending);
        return;
    }
    try {
        auto code = reraise_code(qualified_name, line);
        auto locals = new_dict();
        locals.set_item(k.exception, pending);
        // Always fails, re-raising `pending` with one more traceback entry.
        PyObject* result = PyEval_EvalCode(code.get(), rt.namespace_, locals.get());
        Py_XDECREF(result);
    } catch (...) {
        // Failure or bad_alloc alike: the entry is lost, the exception is not.
    }
    // Whatever went wrong while building the entry, the caller sees its own exception.
    PyObject* now = PyErr_GetRaisedException();
    if (now != pending) {
        Py_XDECREF(now);
        now = Py_NewRef(pending);
    }
    Py_DECREF(pending);
    PyErr_SetRaisedException(now);
}

}  // namespace qv
