// Owning references and the one error idiom of every module.
//
// A C++ `py_error` means "a Python exception is set"; entry points translate it
// back into a NULL (or -1) return through `guarded`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace pyapi {

struct py_error {};

[[noreturn]] inline void raise() { throw py_error{}; }
[[noreturn]] inline void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw py_error{};
}
template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    throw py_error{};
}

// An owned (strong) reference, released on scope exit.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* operator->() const noexcept { return p_; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// What a late-bound name finds now (builtins.hpp): while it is still the
// original the module keeps, that object itself, borrowed (the module keeps
// it alive, and threads reading it at once do not contend for its reference
// count); else a reference of its own.
class Found {
public:
    Found() noexcept = default;
    static Found kept(PyObject* original) noexcept {
        Found f;
        f.p_ = original;
        return f;
    }
    Found(Ref owned) noexcept : owned_(std::move(owned)), p_(owned_.get()) {}
    Found(const Found& o) noexcept : owned_(o.owned_), p_(o.p_) {}
    Found(Found&& o) noexcept : owned_(std::move(o.owned_)), p_(std::exchange(o.p_, nullptr)) {}
    Found& operator=(Found o) noexcept {
        std::swap(owned_, o.owned_);
        std::swap(p_, o.p_);
        return *this;
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // A reference to keep beyond the call.
    Ref ref() const noexcept { return Ref::borrow(p_); }

private:
    Ref owned_;
    PyObject* p_ = nullptr;
};

// Steal a new reference; NULL means a Python error is set.
inline Ref check(PyObject* p) {
    if (!p) throw py_error{};
    return Ref::steal(p);
}
// A C-API status: -1 (or any negative value) means a Python error is set.
inline int check_status(int rc) {
    if (rc < 0) throw py_error{};
    return rc;
}
inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n < 0) throw py_error{};
    return n;
}

// Runs `f` (which returns a Ref) at an entry point of the module and returns a
// new reference, or NULL with a Python error set.
template <class F>
PyObject* guarded(F&& f) noexcept {
    try {
        return f().release();
    } catch (const py_error&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        return nullptr;
    }
}

// The same for entry points that report with an int status (module exec slots).
template <class F>
int guarded_status(F&& f) noexcept {
    try {
        f();
        return 0;
    } catch (const py_error&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return -1;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        return -1;
    }
}

// Every function the host calls (type slots, methods, getters, vectorcall,
// module slots) goes through here: it accepts only functions declared
// noexcept, so the compiler refuses a slot that could let a C++ exception
// reach the interpreter's C frames.
template <class R, class... A>
constexpr auto slot(R (*f)(A...) noexcept) noexcept {
    return f;
}

// A read-only attribute of a C field, for PyMemberDef tables.
#define PYAPI_MEMBER(Type, field, kind, doc) \
    { #field, kind, offsetof(Type, field), READONLY, PyDoc_STR(doc) }

// Py_EnterRecursiveCall for the lifetime of a scope: walking caller data that
// may contain itself raises RecursionError instead of exhausting the C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw py_error{};
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Saves the pending exception and restores it on scope exit (for cleanup code
// that must call into Python while an error is in flight).
class ErrorStash {
public:
    ErrorStash() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~ErrorStash() { PyErr_Restore(type_, value_, tb_); }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

}  // namespace pyapi
