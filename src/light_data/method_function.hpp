// The function type of the reader's methods: binds to an instance like an
// interpreter-level function, carries the attributes that inspect and help()
// read, and is called by vectorcall.
#pragma once

#include "method_description.hpp"
#include "owned_ref.hpp"

namespace light_data {

// Makes the heap type once; -1 on failure.
int make_method_function_type();

// A new method object for `method`; `defaults` (a tuple, or NULL) fills the
// trailing parameters.
Ref new_method_function(const MethodDescription& method, PyObject* defaults);

}  // namespace light_data
