// Traceback entries that name the extension's own functions, so that an
// exception leaving a method shows where it came from.
#pragma once

#include <Python.h>

namespace light_data {

// Adds an entry named `function_name` (a dotted name) to the traceback of
// the exception being raised. Keeps the pending exception as it is.
void add_traceback_entry(const char* function_name);

}  // namespace light_data
