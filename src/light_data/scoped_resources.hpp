// Owners of the resources that are not object references: a saved pending
// error, a Py_buffer view and a file descriptor. Each releases what it holds
// when it goes out of scope, so no path can forget it.
#pragma once

#include <Python.h>
#include <unistd.h>

namespace light_data {

// Takes the pending error (if any) out of the way for the length of a scope
// and puts it back at the end, replacing whatever error that scope left. Used
// where clean-up work must run while an error is on its way to the caller.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
        if (type_ == nullptr) return;
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// A buffer view of an object, released with the owner.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // PyObject_GetBuffer; -1 with an exception set when the object has no
    // such buffer.
    int acquire(PyObject* object, int flags) {
        release();
        if (PyObject_GetBuffer(object, &view_, flags) < 0) return -1;
        held_ = true;
        return 0;
    }
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// An open file descriptor, closed with the owner unless it was handed on.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    // Takes ownership of `fd`, closing the one held before.
    void reset(int fd) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Gives up ownership, to a file object that closes it from now on.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

}  // namespace light_data
