// The verbs of the object layer: thin, checked wrappers over the limited API.
#include "module/core/object.hpp"

#include <array>

namespace qv {

void fail(Where where) {
    // A verb that failed without an exception would make the boundary return NULL
    // silently; the interpreter would then raise a SystemError far from the cause.
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "tessaly.quillvane: failure without an exception");
    }
    throw Failure{where.line()};
}

Object Handle::attr(PyObject* name, Where w) const {
    return Object::steal(PyObject_GetAttr(p_, name), w);
}

void Handle::set_attr(PyObject* name, Handle value, Where w) const {
    if (PyObject_SetAttr(p_, name, value.get()) < 0) fail(w);
}

Object Handle::item(Handle key, Where w) const {
    return Object::steal(PyObject_GetItem(p_, key.get()), w);
}

void Handle::set_item(Handle key, Handle value, Where w) const {
    if (PyObject_SetItem(p_, key.get(), value.get()) < 0) fail(w);
}

namespace {

// Lays positional and keyword values out as one vectorcall stack. Calls in the
// bodies pass a handful of arguments; more than the stack holds is a bug here.
constexpr std::size_t max_arguments = 16;

struct Stack {
    std::array<PyObject*, max_arguments + 1> slots{};
    std::size_t nargs = 0;
    Object kwnames;

    Stack(PyObject* self, std::initializer_list<Handle> args, std::initializer_list<Kw> kws, Where w) {
        if (args.size() + kws.size() + 1 > slots.size()) {
            PyErr_SetString(PyExc_SystemError, "tessaly.quillvane: too many call arguments");
            fail(w);
        }
        std::size_t n = 0;
        if (self != nullptr) slots[n++] = self;
        for (Handle a : args) slots[n++] = a.get();
        nargs = n;
        if (kws.size() == 0) return;
        kwnames = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(kws.size())), w);
        Py_ssize_t i = 0;
        for (const Kw& kw : kws) {
            slots[n++] = kw.value.get();
            if (PyTuple_SetItem(kwnames.get(), i++, Py_NewRef(kw.name)) < 0) fail(w);
        }
    }
};

}  // namespace

Object Handle::call(std::initializer_list<Handle> args, std::initializer_list<Kw> kws, Where w) const {
    Stack s(nullptr, args, kws, w);
    return Object::steal(PyObject_Vectorcall(p_, s.slots.data(), s.nargs, s.kwnames.get()), w);
}

Object Handle::call_method(PyObject* name, std::initializer_list<Handle> args, std::initializer_list<Kw> kws,
                           Where w) const {
    Stack s(p_, args, kws, w);
    return Object::steal(PyObject_VectorcallMethod(name, s.slots.data(), s.nargs, s.kwnames.get()), w);
}

Object Handle::eq(Handle other, Where w) const {
    return Object::steal(PyObject_RichCompare(p_, other.get(), Py_EQ), w);
}
Object Handle::ne(Handle other, Where w) const {
    return Object::steal(PyObject_RichCompare(p_, other.get(), Py_NE), w);
}
Object Handle::lt(Handle other, Where w) const {
    return Object::steal(PyObject_RichCompare(p_, other.get(), Py_LT), w);
}
Object Handle::ge(Handle other, Where w) const {
    return Object::steal(PyObject_RichCompare(p_, other.get(), Py_GE), w);
}
Object Handle::gt(Handle other, Where w) const {
    return Object::steal(PyObject_RichCompare(p_, other.get(), Py_GT), w);
}

bool Handle::truth(Where w) const {
    int r = PyObject_IsTrue(p_);
    if (r < 0) fail(w);
    return r == 1;
}

bool Handle::contains(Handle item, Where w) const {
    int r = PySequence_Contains(p_, item.get());
    if (r < 0) fail(w);
    return r == 1;
}

Py_ssize_t Handle::len(Where w) const {
    Py_ssize_t n = PyObject_Size(p_);
    if (n < 0) fail(w);
    return n;
}

Object operator+(Handle a, Handle b) { return Object::steal(PyNumber_Add(a.get(), b.get())); }
Object operator-(Handle a, Handle b) { return Object::steal(PyNumber_Subtract(a.get(), b.get())); }
Object operator*(Handle a, Handle b) { return Object::steal(PyNumber_Multiply(a.get(), b.get())); }
Object operator/(Handle a, Handle b) { return Object::steal(PyNumber_TrueDivide(a.get(), b.get())); }
Object operator&(Handle a, Handle b) { return Object::steal(PyNumber_And(a.get(), b.get())); }
Object operator-(Handle a) { return Object::steal(PyNumber_Negative(a.get())); }

Object power(Handle base, Handle exponent, Where w) {
    return Object::steal(PyNumber_Power(base.get(), exponent.get(), Py_None), w);
}

void add_in_place(Object& a, Handle b, Where w) { a = Object::steal(PyNumber_InPlaceAdd(a.get(), b.get()), w); }

Object new_list(std::initializer_list<Handle> items, Where w) {
    auto list = Object::steal(PyList_New(0), w);
    for (Handle item : items) append(list, item, w);
    return list;
}

Object new_tuple(std::initializer_list<Handle> items, Where w) {
    auto tuple = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())), w);
    Py_ssize_t i = 0;
    for (Handle item : items) {
        if (PyTuple_SetItem(tuple.get(), i++, Py_NewRef(item.get())) < 0) fail(w);
    }
    return tuple;
}

Object new_dict(Where w) { return Object::steal(PyDict_New(), w); }
Object new_int(long long value, Where w) { return Object::steal(PyLong_FromLongLong(value), w); }
Object new_str(const char* text, Where w) { return Object::steal(PyUnicode_FromString(text), w); }

void append(Handle list, Handle item, Where w) {
    if (PyList_Append(list.get(), item.get()) < 0) fail(w);
}

Object format(Handle value, Handle spec, Where w) {
    return Object::steal(PyObject_Format(value.get(), spec.get()), w);
}

Object join(std::initializer_list<Handle> parts, Where w) {
    auto list = new_list(parts, w);
    auto empty = Object::steal(PyUnicode_FromStringAndSize("", 0), w);
    return Object::steal(PyUnicode_Join(empty.get(), list.get()), w);
}

void raise(Handle exception, Where w) {
    PyErr_SetRaisedException(Py_NewRef(exception.get()));
    fail(w);
}

Iterate::Iterate(Handle iterable, Where w) : it_(Object::steal(PyObject_GetIter(iterable.get()), w)), w_(w) {}

void Iterate::iterator::advance() {
    current_ = Object();
    PyObject* next = PyIter_Next(it_);
    if (next == nullptr) {
        if (PyErr_Occurred()) fail(w_);
        done_ = true;
        return;
    }
    current_ = Object::steal(next, w_);
}

}  // namespace qv
