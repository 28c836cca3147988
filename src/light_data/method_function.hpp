// The function type of the reader's methods: binds to an instance like an
// interpreter-level function, carries the attributes that inspect and help()
// read, and is called by vectorcall.
#pragma once

#include "owned_ref.hpp"

namespace light_data {

constexpr int max_parameters = 10;

// The body of a method, given its bound arguments (borrowed, `self` first).
using MethodBody = PyObject* (*)(PyObject* const* arguments);

struct EntryTypeCheck {
    int parameter;          // index into the parameters
    PyTypeObject* type;     // the exact type accepted
    bool none_allowed;
};

struct ParameterAnnotation {
    const char* parameter;
    const char* annotation;
};

struct MethodDescription {
    const char* name;             // plain method name
    const char* traceback_name;   // full dotted name shown in tracebacks
    const char* parameters[max_parameters];
    int parameter_count;
    int required_count;           // the first required_count parameters have no default
    ParameterAnnotation annotations[max_parameters];
    int annotation_count;
    const char* return_annotation;  // NULL: no return annotation
    EntryTypeCheck checks[2];
    int check_count;
    MethodBody body;
};

// Makes the heap type once; -1 on failure.
int make_method_function_type();

// A new method object for `method`; `defaults` (a tuple, or NULL) fills the
// trailing parameters.
Ref new_method_function(const MethodDescription& method, PyObject* defaults);

}  // namespace light_data
