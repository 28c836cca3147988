// Binding of positional and keyword arguments to a method's parameters, with
// the TypeError texts every method shares.
#pragma once

#include "method_description.hpp"

namespace light_data {

// Fills values[0..parameter_count) with borrowed references, from args,
// keywords and defaults, then applies the entry type checks. -1 with a
// TypeError set when the call does not fit the signature.
int bind_arguments(const MethodDescription& method, PyObject* parameter_names, PyObject* defaults,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** values);

}  // namespace light_data
