// Typed references to Python objects, the one C++ exception that carries "a
// Python exception is set" from a failing C API call to the entry point that
// turns it back into an error return, and small throwing helpers over the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <utility>
#include <vector>

namespace qv {

// Thrown whenever a C API call failed; the Python error indicator is set.
struct PyError {};

[[noreturn]] inline void raise() { throw PyError{}; }

// A borrowed view: never owns, never releases. Only for objects that someone
// else is known to hold for as long as the view is used.
class Borrowed {
public:
    Borrowed() = default;
    Borrowed(PyObject* p) : p_(p) {}  // NOLINT: implicit by design
    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool is(Borrowed other) const { return p_ == other.p_; }
    bool is_none() const { return p_ == Py_None; }

private:
    PyObject* p_ = nullptr;
};

// An owning handle: moves, releases in its destructor.
class Ref {
public:
    Ref() = default;
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference; a null one means a failed call.
    static Ref steal(PyObject* p) {
        if (!p) raise();
        return Ref(p);
    }
    // Takes over a new reference that may legitimately be null.
    static Ref steal_or_null(PyObject* p) { return Ref(p); }
    // A new strong reference to an object held elsewhere.
    static Ref borrow(Borrowed b) {
        Py_XINCREF(b.get());
        return Ref(b.get());
    }
    static Ref none() { return borrow(Py_None); }

    PyObject* get() const { return p_; }
    operator Borrowed() const { return Borrowed(p_); }  // NOLINT
    explicit operator bool() const { return p_ != nullptr; }
    bool is(Borrowed other) const { return p_ == other.get(); }
    // Hands the reference to the caller (e.g. a C API "steals" slot).
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

inline void check(int rc) {
    if (rc < 0) raise();
}

// True when the error indicator holds an instance of `type`; clears it then.
inline bool catch_error(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) return false;
    PyErr_Clear();
    return true;
}

// The exception being handled, taken out of the error indicator so that the
// handler can run code (such as looking up the class that it catches) and
// then either drop it or raise it again.
class HeldError {
public:
    HeldError() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback && value) PyException_SetTraceback(value, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        value_ = Ref::steal_or_null(value);
    }
    Borrowed value() const { return value_; }
    bool matches(Borrowed cls) const { return value_ && PyErr_GivenExceptionMatches(value_.get(), cls.get()); }

    // An error raised while this one was being handled gets it as context,
    // as it would in an except clause; then that error propagates.
    [[noreturn]] void raise_in_handler() {
        HeldError failure;
        PyException_SetContext(failure.value_.get(), value_.release());
        failure.raise_again();
    }
    [[noreturn]] void raise_again() {
        PyObject* value = value_.release();
        PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
        raise();
    }

private:
    Ref value_;
};

// A Python str interned once when the module executes and kept for the
// process. Declared at namespace scope; every one is registered.
class Name {
public:
    explicit Name(const char* text) : text_(text) { registry().push_back(this); }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() const { return obj_; }
    operator Borrowed() const { return Borrowed(obj_); }  // NOLINT
    const char* text() const { return text_; }

    static void intern_all() {
        for (Name* n : registry()) {
            if (n->obj_) continue;
            n->obj_ = PyUnicode_InternFromString(n->text_);
            if (!n->obj_) raise();
        }
    }

private:
    static std::vector<Name*>& registry() {
        static std::vector<Name*> names;
        return names;
    }
    const char* text_;
    PyObject* obj_ = nullptr;
};

// Small helpers over the C API that throw on failure.
inline Ref getattr(Borrowed obj, Borrowed name) { return Ref::steal(PyObject_GetAttr(obj.get(), name.get())); }
inline void setattr(Borrowed obj, Borrowed name, Borrowed value) {
    check(PyObject_SetAttr(obj.get(), name.get(), value.get()));
}
inline bool truthy(Borrowed obj) {
    int r = PyObject_IsTrue(obj.get());
    check(r);
    return r != 0;
}
inline bool compare(Borrowed a, Borrowed b, int op) {
    int r = PyObject_RichCompareBool(a.get(), b.get(), op);
    check(r);
    return r != 0;
}
inline Ref str(const char* text) { return Ref::steal(PyUnicode_FromString(text)); }
inline Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline void dict_set(Borrowed d, Borrowed key, Borrowed value) {
    check(PyDict_SetItem(d.get(), key.get(), value.get()));
}
inline Ref item(Borrowed container, Borrowed key) { return Ref::steal(PyObject_GetItem(container.get(), key.get())); }
inline Ref new_list(Py_ssize_t n = 0) { return Ref::steal(PyList_New(n)); }
inline void list_append(Borrowed l, Borrowed item) { check(PyList_Append(l.get(), item.get())); }
inline Ref tuple_of(std::initializer_list<Borrowed> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Borrowed b : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(b.get()));
    return t;
}

// Calls f(item) for each item of `iterable`, holding the item meanwhile; an
// error raised by the iterator propagates.
template <typename F>
void for_each(Borrowed iterable, F&& f) {
    Ref it = Ref::steal(PyObject_GetIter(iterable.get()));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) f(Borrowed(item));
    if (PyErr_Occurred()) raise();
}

// Calls with positional arguments only.
template <typename... A>
Ref call(Borrowed callable, A&&... args) {
    PyObject* argv[] = {nullptr, Borrowed(args).get()...};
    return Ref::steal(PyObject_Vectorcall(callable.get(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}
template <typename... A>
Ref call_method(Borrowed obj, Borrowed name, A&&... args) {
    PyObject* argv[] = {obj.get(), Borrowed(args).get()...};
    return Ref::steal(PyObject_VectorcallMethod(name.get(), argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

// Calls with positional arguments followed by keyword arguments whose names
// are given as one tuple of str (as vectorcall takes them).
inline Ref call_kw(Borrowed callable, std::initializer_list<Borrowed> values, Borrowed kwnames) {
    std::vector<PyObject*> argv;
    argv.reserve(values.size() + 1);
    argv.push_back(nullptr);
    for (Borrowed v : values) argv.push_back(v.get());
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames.get()) : 0;
    size_t npos = values.size() - static_cast<size_t>(nkw);
    return Ref::steal(PyObject_Vectorcall(callable.get(), argv.data() + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames.get()));
}

}  // namespace qv
