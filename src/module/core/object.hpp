// Interpreter objects as C++ values, and the one way a body fails.
//
// Every verb returns its result or leaves the interpreter's error set and throws
// `Failure`; the function boundary turns that into a NULL return plus a traceback
// entry. Bodies therefore never test results and never count references.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <source_location>
#include <utility>

namespace qv {

using Where = std::source_location;

// Thrown after an interpreter call failed: its exception is already set.
// `line` is the source line of the failing step, for the traceback entry.
struct Failure {
    unsigned line;
};

[[noreturn]] void fail(Where where = Where::current());

class Object;
struct Kw;

// A borrowed reference. It must not outlive the owner of the object, so results
// of verbs are always held as `Object` (`auto x = ...`), never as `Handle`.
class Handle {
public:
    Handle(PyObject* p) noexcept : p_(p) {}
    PyObject* get() const noexcept { return p_; }

    Object attr(PyObject* name, Where w = Where::current()) const;
    void set_attr(PyObject* name, Handle value, Where w = Where::current()) const;
    Object item(Handle key, Where w = Where::current()) const;
    void set_item(Handle key, Handle value, Where w = Where::current()) const;
    Object call(std::initializer_list<Handle> args = {}, std::initializer_list<Kw> kws = {},
                Where w = Where::current()) const;
    Object call_method(PyObject* name, std::initializer_list<Handle> args = {},
                       std::initializer_list<Kw> kws = {}, Where w = Where::current()) const;

    // Rich comparisons give objects (a pandas mask, say); `truth` reduces one.
    Object eq(Handle other, Where w = Where::current()) const;
    Object ne(Handle other, Where w = Where::current()) const;
    Object lt(Handle other, Where w = Where::current()) const;
    Object ge(Handle other, Where w = Where::current()) const;
    Object gt(Handle other, Where w = Where::current()) const;
    bool truth(Where w = Where::current()) const;
    bool is(Handle other) const noexcept { return p_ == other.p_; }
    bool contains(Handle item, Where w = Where::current()) const;
    Py_ssize_t len(Where w = Where::current()) const;

protected:
    PyObject* p_;
};

// An owning reference: move-only, released when it goes out of scope on every
// path, a thrown `Failure` included.
class Object : public Handle {
public:
    Object() noexcept : Handle(nullptr) {}
    Object(Object&& other) noexcept : Handle(other.p_) { other.p_ = nullptr; }
    Object& operator=(Object&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    ~Object() { Py_XDECREF(p_); }

    // Takes over a new reference; NULL means the call that made it failed.
    static Object steal(PyObject* p, Where w = Where::current()) {
        if (p == nullptr) fail(w);
        Object o;
        o.p_ = p;
        return o;
    }
    static Object borrow(Handle h) noexcept {
        Object o;
        o.p_ = Py_XNewRef(h.get());
        return o;
    }
    // A second owner of the same object.
    Object ref() const noexcept { return borrow(*this); }
    // Hands the reference to the caller, typically the interpreter.
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
};

// One keyword argument: an interned name and its value.
struct Kw {
    PyObject* name;
    Handle value;
};

// Operators of the interpreter's number protocol, left operand first.
Object operator+(Handle a, Handle b);
Object operator-(Handle a, Handle b);
Object operator*(Handle a, Handle b);
Object operator/(Handle a, Handle b);
Object operator&(Handle a, Handle b);
Object operator-(Handle a);
Object power(Handle base, Handle exponent, Where w = Where::current());
// `a += b`, which for str concatenates into a new object.
void add_in_place(Object& a, Handle b, Where w = Where::current());

// Builders.
Object new_list(std::initializer_list<Handle> items = {}, Where w = Where::current());
Object new_tuple(std::initializer_list<Handle> items, Where w = Where::current());
Object new_dict(Where w = Where::current());
Object new_int(long long value, Where w = Where::current());
Object new_str(const char* text, Where w = Where::current());
void append(Handle list, Handle item, Where w = Where::current());
Object format(Handle value, Handle spec, Where w = Where::current());
// str + str + ..., as one new string.
Object join(std::initializer_list<Handle> parts, Where w = Where::current());

// Raises `exception`, an instance, as the current error.
[[noreturn]] void raise(Handle exception, Where w = Where::current());

// The interpreter's iteration: `for (Object x : Iterate(obj))`.
class Iterate {
public:
    explicit Iterate(Handle iterable, Where w = Where::current());
    class iterator {
    public:
        iterator(PyObject* it, Where w) : it_(it), w_(w) { advance(); }
        iterator() : it_(nullptr), w_(), done_(true) {}
        // Hands the item over: the loop variable owns it.
        Object operator*() { return std::move(current_); }
        iterator& operator++() {
            advance();
            return *this;
        }
        bool operator!=(const iterator&) const { return !done_; }

    private:
        void advance();
        PyObject* it_;
        Where w_;
        Object current_;
        bool done_ = false;
    };
    iterator begin() { return iterator(it_.get(), w_); }
    iterator end() { return iterator(); }

private:
    Object it_;
    Where w_;
};

}  // namespace qv
