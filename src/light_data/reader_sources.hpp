// The reader's kinds of data and its data sources: which kinds carry a time
// column to normalise, and the walks over the sources in priority order.
#pragma once

#include "log_records.hpp"
#include "message_text.hpp"
#include "module_state.hpp"
#include "object_calls.hpp"
#include "owned_ref.hpp"

namespace light_data {

// 1 when `data_type` equals DataType.DerivativeTicker, .Liquidations or
// .Metrics (compared in that order, members read from the module global at
// each comparison): the kinds whose tables live in the raw area and carry a
// time column to normalise. 0 when none does, -1 on error.
int is_time_normalised_kind(PyObject* data_type);

// self.data_sources[0], the source that writes and the "Missing data: "
// message of the public read use.
Ref first_data_source(PyObject* self);

// The walk over a reader's data sources: a list or tuple by position (seeing
// changes the caller makes to a list while it is walked), any other iterable
// through its iterator.
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


// The walk over a reader's data sources that reads, probes or clears them:
// for each source in order, its path from self.<path_method>(data_source=...),
// the debug record "reading <path>" when `log_reading`, then
// `visit(source, path)`,
// which returns 1 to stop the walk, 0 to go on, -1 on error. Path lookups and
// the debug record are not guarded: their errors end the walk.
// Returns 1 when `visit` stopped the walk, 0 when the sources ran out, -1 on
// error.
template <typename Visit>
int walk_source_paths(PyObject* self, PyObject* path_method, bool log_reading, Visit&& visit) {
    Ref sources = attr(self, names.data_sources);
    if (!sources) return -1;
    SourceWalk walk;
    if (walk.start(sources.get()) < 0) return -1;
    Ref source;
    int status;
    while ((status = walk.next(source)) == 1) {
        Ref path = call_method(self, path_method, {}, names.kw_data_source, {source.get()});
        if (!path) return -1;
        if (log_reading) {
            Ref message = join_message({names.reading, path.get()});
            if (!message || log_message(names.debug, message.get()) < 0) return -1;
        }
        const int outcome = visit(source.get(), path.get());
        if (outcome != 0) return outcome;
    }
    return status;
}

}  // namespace light_data
