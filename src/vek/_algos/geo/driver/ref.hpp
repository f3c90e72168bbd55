// Owning references to Python objects, and the one way errors travel in C++.
//
// Helpers signal "a Python exception is set" by throwing `error_already_set`;
// every function the interpreter calls is `noexcept` and ends its `try` with
// `catch (...) { translate_exception(); }`, then returns NULL / -1.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace vek {

// Thrown when the Python error indicator is set; carries nothing itself.
struct error_already_set {};

[[noreturn]] inline void throw_error() { throw error_already_set{}; }

// The exception being handled (call only in a catch block), as the Python
// error it stands for: the one that is set already, MemoryError for a
// failed allocation, SystemError for anything else.
inline void translate_exception() noexcept {
    try {
        throw;
    } catch (const error_already_set&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// One strong reference, released by the destructor (nanobind's `object`,
// trimmed to what this module needs).
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    // Take over a new reference; throws when it is NULL (the error is set).
    static Ref steal(PyObject* p) {
        if (p == nullptr) throw_error();
        return Ref(p);
    }
    // Take over a new reference that may be NULL without an error.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Add a reference to a borrowed pointer (NULL allowed).
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);  // the old value dies with `other`
        return *this;
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Checks a C-API status result (-1 means an error is set).
inline int check(int status) {
    if (status < 0) throw_error();
    return status;
}

// Checks a C-API size result (-1 means an error is set).
inline Py_ssize_t check_size(Py_ssize_t size) {
    if (size < 0) throw_error();
    return size;
}

}  // namespace vek
