// The module's function type: a heap type with vectorcall whose instances carry
// the attributes of Python functions in their own dict (so `inspect` can read
// their signatures), bind arguments by the module's rules, and are the single
// boundary where a failing body gets its traceback entry.
#include "module/core/function.hpp"

#include "module/core/constants.hpp"
#include "module/core/runtime.hpp"
#include "module/core/traceback.hpp"

#include <cstddef>
#include <string>

namespace qv {

namespace {

// What execution derives from a row, once per process.
struct Spec {
    const Row* row;
    PyObject* name;                // interned
    std::vector<PyObject*> names;  // interned parameter names, matched by identity
    PyObject* qualified;           // "tessaly.quillvane.<name>", the traceback entry
    PyObject* code;
};

std::vector<Spec*> specs;
PyTypeObject* function_type = nullptr;
PyObject* method_type = nullptr;
long co_optimized = 0, co_newlocals = 0, co_varkeywords = 0;

const Spec& spec_of(const Row& row, Where w) {
    for (const Spec* s : specs) {
        if (s->row == &row) return *s;
    }
    PyErr_Format(PyExc_SystemError, "tessaly.quillvane: no code object for %s", row.name.text);
    fail(w);
}

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    const Spec* spec;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyTypeObject* exact_type(Check check) {
    switch (check) {
        case Check::exact_str: return &PyUnicode_Type;
        case Check::exact_int: return &PyLong_Type;
        case Check::exact_list: return &PyList_Type;
        default: return nullptr;
    }
}

}  // namespace

// Argument binding, in the order of the module's rules: count, keywords, missing,
// conversions, exact types.
class Binder {
public:
    static void bind(const Spec& s, PyObject* const* args, std::size_t nargsf, PyObject* kwnames, Args& a) {
        const Row& row = *s.row;
        const Where w = row.name.where;
        const auto n = static_cast<Py_ssize_t>(row.params.size());
        const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
        const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
        if (given > n || (nkw == 0 && given != n)) count_error(row, given, w);

        std::array<bool, max_params> filled{};
        for (Py_ssize_t i = 0; i < given; ++i) {
            a.values_[static_cast<std::size_t>(i)] = args[i];
            filled[static_cast<std::size_t>(i)] = true;
        }
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GetItem(kwnames, j);
            if (key == nullptr) fail(w);
            PyObject* value = args[given + j];
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", row.name.text);
                fail(w);
            }
            const Py_ssize_t p = find(s, key);
            if (p >= 0) {
                if (filled[static_cast<std::size_t>(p)]) multiple_values(row, key, w);
                a.values_[static_cast<std::size_t>(p)] = value;
                filled[static_cast<std::size_t>(p)] = true;
            } else if (row.takes_kwargs) {
                if (!a.kwargs_) a.kwargs_ = new_dict(w);
                if (PyDict_Contains(a.kwargs_.get(), key) != 0) multiple_values(row, key, w);
                a.kwargs_.set_item(key, value, w);
            } else {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", row.name.text, key);
                fail(w);
            }
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!filled[static_cast<std::size_t>(i)]) count_error(row, i, w);
        }
        if (row.takes_kwargs && !a.kwargs_) a.kwargs_ = new_dict(w);

        for (std::size_t i = 0; i < row.params.size(); ++i) {
            if (row.params[i].check != Check::to_double) continue;
            a.numbers_[i] = PyFloat_AsDouble(a.values_[i]);
            if (a.numbers_[i] == -1.0 && PyErr_Occurred()) fail(w);
        }
        for (std::size_t i = 0; i < row.params.size(); ++i) {
            PyTypeObject* expected = exact_type(row.params[i].check);
            if (expected != nullptr && Py_TYPE(a.values_[i]) != expected) {
                type_error(row.params[i], expected, a.values_[i], w);
            }
        }
    }

private:
    // Identity first: the interpreter hands over interned names almost always.
    static Py_ssize_t find(const Spec& s, PyObject* key) {
        for (std::size_t i = 0; i < s.names.size(); ++i) {
            if (s.names[i] == key) return static_cast<Py_ssize_t>(i);
        }
        for (std::size_t i = 0; i < s.names.size(); ++i) {
            if (PyUnicode_Compare(s.names[i], key) == 0) return static_cast<Py_ssize_t>(i);
        }
        return -1;
    }

    [[noreturn]] static void count_error(const Row& row, Py_ssize_t given, Where w) {
        const auto n = static_cast<Py_ssize_t>(row.params.size());
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", row.name.text,
                     "exactly", n, n == 1 ? "" : "s", given);
        fail(w);
    }

    [[noreturn]] static void multiple_values(const Row& row, PyObject* key, Where w) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", row.name.text, key);
        fail(w);
    }

    [[noreturn]] static void type_error(const Param& param, PyTypeObject* expected, PyObject* value, Where w) {
        auto expected_name = Object::steal(PyType_GetFullyQualifiedName(expected), w);
        auto got_name = Object::steal(PyType_GetFullyQualifiedName(Py_TYPE(value)), w);
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %U, got %U)", param.name,
                     expected_name.get(), got_name.get());
        if (PyObject_TypeCheck(value, expected)) {
            auto exception = Object::steal(PyErr_GetRaisedException(), w);
            exception.call_method(k.add_note, {k.msg_subclass_note}, {}, w);
            raise(exception, w);
        }
        fail(w);
    }
};

namespace {

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const Spec& s = *as_function(self)->spec;
    PyObject* result = nullptr;
    at_boundary(
        [&] {
            Args a;
            Binder::bind(s, args, nargsf, kwnames, a);
            result = s.row->body(a).release();
        },
        [&] { return s.qualified; }, s.row->name.where.line());
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_function(self)->dict);
    return 0;
}

int function_clear(PyObject* self) {
    PyObject* dict = as_function(self)->dict;
    as_function(self)->dict = nullptr;
    Py_XDECREF(dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->spec->row->name.text, self);
}

// Bound like a Python function when stored on a class.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == k.None) return Py_NewRef(self);
    return PyObject_CallFunctionObjArgs(method_type, self, obj, nullptr);
}

// Pickled by reference, as module-level functions are.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->spec->name); }

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    /* name */ "tessaly.quillvane.function",
    /* basicsize */ sizeof(FunctionObject),
    /* itemsize */ 0,
    /* flags */ Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    /* slots */ function_slots,
};

long read_flag(Handle inspect, PyObject* name, Where w) {
    auto value = inspect.attr(name, w);
    long flag = PyLong_AsLong(value.get());
    if (flag == -1 && PyErr_Occurred()) fail(w);
    return flag;
}

// The code object of a row: a compiled empty function, given the row's name,
// parameters and flags, so that `inspect.signature` and tracebacks read it.
Object code_for(const Row& row, const std::vector<PyObject*>& names, Where w) {
    static PyObject* tmpl = nullptr;
    if (tmpl == nullptr) {
        auto module_code = Object::steal(Py_CompileString("def f(): pass\n", source_file, Py_file_input), w);
        for (Object c : Iterate(module_code.attr(k.co_consts, w), w)) {
            if (Py_TYPE(c.get()) == Py_TYPE(module_code.get())) tmpl = c.release();
        }
        if (tmpl == nullptr) {
            PyErr_SetString(PyExc_SystemError, "tessaly.quillvane: no template code object");
            fail(w);
        }
    }
    auto varnames = new_list({}, w);
    for (PyObject* name : names) append(varnames, name, w);
    if (row.takes_kwargs) append(varnames, k.kwargs, w);
    auto varnames_tuple = Object::steal(PyList_AsTuple(varnames.get()), w);
    long flags = co_optimized | co_newlocals | (row.takes_kwargs ? co_varkeywords : 0);
    auto argcount = new_int(static_cast<long long>(names.size()), w);
    auto nlocals = new_int(varnames.len(w), w);
    auto flags_obj = new_int(flags, w);
    auto name = new_str(row.name.text, w);
    auto file = new_str(source_file, w);
    auto line = new_int(row.name.where.line(), w);
    return Handle(tmpl).call_method(k.replace, {},
                                    {{k.co_argcount, argcount},
                                     {k.co_nlocals, nlocals},
                                     {k.co_varnames, varnames_tuple},
                                     {k.co_flags, flags_obj},
                                     {k.co_name, name},
                                     {k.co_qualname, name},
                                     {k.co_filename, file},
                                     {k.co_firstlineno, line}},
                                    w);
}

}  // namespace

void prepare_function_type(Where w) {
    if (function_type != nullptr) return;
    auto inspect = import_module(k.inspect, k.None, w);
    co_optimized = read_flag(inspect, k.CO_OPTIMIZED_name, w);
    co_newlocals = read_flag(inspect, k.CO_NEWLOCALS_name, w);
    read_flag(inspect, k.CO_VARARGS_name, w);
    co_varkeywords = read_flag(inspect, k.CO_VARKEYWORDS_name, w);
    read_flag(inspect, k.CO_ASYNC_GENERATOR_name, w);
    read_flag(inspect, k.CO_GENERATOR_name, w);
    read_flag(inspect, k.CO_COROUTINE_name, w);
    auto types = import_module(k.types, k.None, w);
    method_type = types.attr(k.MethodType, w).release();
    function_type = reinterpret_cast<PyTypeObject*>(Object::steal(PyType_FromSpec(&function_spec), w).release());
}

void prepare_code(const std::vector<Row>& rows, Where w) {
    if (!specs.empty()) return;
    std::vector<Spec*> made;
    for (const Row& row : rows) {
        auto name = Object::steal(PyUnicode_InternFromString(row.name.text), w);
        std::vector<Object> owned;
        std::vector<PyObject*> names;
        for (const Param& p : row.params) {
            owned.push_back(Object::steal(PyUnicode_InternFromString(p.name), w));
            names.push_back(owned.back().get());
        }
        auto qualified = join({k.module_name, k.dot, name}, w);
        auto code = code_for(row, names, w);
        for (Object& o : owned) o.release();
        made.push_back(new Spec{&row, name.release(), names, qualified.release(), code.release()});
    }
    specs = made;
}

Object new_function(const Row& row, Where w) {
    const Spec& s = spec_of(row, w);
    auto annotations = new_dict(w);
    for (std::size_t i = 0; i < row.params.size(); ++i) {
        if (row.params[i].annotation == nullptr) continue;
        annotations.set_item(s.names[i], new_str(row.params[i].annotation, w), w);
    }
    annotations.set_item(k.return_key, new_str(row.returns, w), w);

    auto f = Object::steal(PyType_GenericAlloc(function_type, 0), w);
    as_function(f.get())->vectorcall = function_vectorcall;
    as_function(f.get())->spec = &s;
    f.set_attr(k.dunder_name, s.name, w);
    f.set_attr(k.dunder_qualname, s.name, w);
    f.set_attr(k.dunder_module, k.module_name, w);
    f.set_attr(k.dunder_doc, new_str(row.doc, w), w);
    f.set_attr(k.dunder_annotations, annotations, w);
    f.set_attr(k.dunder_code, s.code, w);
    f.set_attr(k.dunder_defaults, k.None, w);
    f.set_attr(k.dunder_kwdefaults, k.None, w);
    return f;
}


}  // namespace qv
