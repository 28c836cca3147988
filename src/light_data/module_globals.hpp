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

}  // namespace light_data
