// The module's globals, read at the moment of use so that a caller may bind a
// substitute over any imported name.
#pragma once

#include "owned_ref.hpp"

namespace light_data {

// The initialised module object (borrowed from the process-wide owner in
// module_setup.cpp); NULL before initialisation finishes.
PyObject* module_dict();

// The global `name`, else the builtin of that name, else NameError.
Ref global(PyObject* name);

// The attribute `member` of the global `name`, such as DataType.Metrics.
// Read anew at every call, with the interpreter's own semantics.
Ref global_member(PyObject* name, PyObject* member);

}  // namespace light_data
