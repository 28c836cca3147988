// The walk over a reader's data sources: a list or tuple by position (seeing
// changes the caller makes to a list while it is walked), any other iterable
// through its iterator.
#pragma once

#include "owned_ref.hpp"

namespace light_data {

class SourceWalk {
public:
    // -1 with an exception set when `sources` cannot be iterated.
    int start(PyObject* sources) {
        sources_ = Ref::borrow(sources);
        if (PyList_CheckExact(sources) || PyTuple_CheckExact(sources)) return 0;
        iterator_ = Ref(PyObject_GetIter(sources));
        return iterator_ ? 0 : -1;
    }

    // 1 with `source` set, 0 at the end, -1 with an exception set.
    int next(Ref& source) {
        PyObject* sequence = sources_.get();
        if (!iterator_) {
            const Py_ssize_t size = PyList_CheckExact(sequence) ? PyList_GET_SIZE(sequence)
                                                                : PyTuple_GET_SIZE(sequence);
            if (position_ >= size) return 0;
            PyObject* item = PyList_CheckExact(sequence) ? PyList_GET_ITEM(sequence, position_)
                                                         : PyTuple_GET_ITEM(sequence, position_);
            ++position_;
            source = Ref::borrow(item);
            return 1;
        }
        source = Ref(PyIter_Next(iterator_.get()));
        if (source) return 1;
        return PyErr_Occurred() ? -1 : 0;
    }

private:
    Ref sources_;
    Ref iterator_;
    Py_ssize_t position_ = 0;
};

}  // namespace light_data
