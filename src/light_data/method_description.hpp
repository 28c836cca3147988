// How one method of CryptoMktData is described: its parameters, defaults,
// annotations, entry type checks and body. The method table is made of these.
#pragma once

#include <Python.h>

#include <span>

namespace light_data {

// The most parameters a method has (__init__, `self` included).
constexpr int max_parameters = 10;

// The body of a method, given its bound arguments (borrowed, `self` first).
using MethodBody = PyObject* (*)(PyObject* const* arguments);

struct EntryTypeCheck {
    int parameter;         // index into the parameters
    PyTypeObject* type;    // the exact type accepted
    bool none_allowed;
};

struct ParameterAnnotation {
    const char* parameter;
    const char* annotation;
};

struct MethodDescription {
    const char* name;                        // plain method name
    const char* traceback_name;              // full dotted name shown in tracebacks
    std::span<const char* const> parameters;
    int optional_count = 0;                  // the last optional_count parameters have defaults
    std::span<const ParameterAnnotation> annotations = {};
    const char* return_annotation = nullptr; // NULL: no return annotation
    std::span<const EntryTypeCheck> checks = {};
    MethodBody body;

    int parameter_count() const { return static_cast<int>(parameters.size()); }
    int required_count() const { return parameter_count() - optional_count; }
};

}  // namespace light_data
