// The one owning-reference type of the extension.
//
// A Ref holds a strong reference and releases it when it goes out of scope,
// so every path out of a function drops what it took. Construct it only from
// a new reference (or from a borrowed one through Ref::borrow, which takes
// its own); release() hands ownership to the C API.
#pragma once

#include <Python.h>

#include <utility>

namespace light_data {

class Ref {
public:
    Ref() noexcept = default;
    // Takes ownership of a new reference (which may be NULL after a failed call).
    explicit Ref(PyObject* owned) noexcept : object_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // A new owner of a borrowed reference.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Gives up ownership; the caller (usually the C API) now owns the reference.
    PyObject* release() noexcept {
        PyObject* owned = object_;
        object_ = nullptr;
        return owned;
    }

    // A second owner of the same object.
    Ref copy() const noexcept { return borrow(object_); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace light_data
