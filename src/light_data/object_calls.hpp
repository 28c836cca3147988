// Small call and attribute helpers over the C API, returning owners.
#pragma once

#include <initializer_list>

#include "owned_ref.hpp"

namespace light_data {

inline Ref attr(PyObject* object, PyObject* name) {
    return Ref(PyObject_GetAttr(object, name));
}

inline Ref item(PyObject* object, PyObject* key) {
    return Ref(PyObject_GetItem(object, key));
}

// callable(*positional, **dict(zip(kwnames, keyword_values))), by vectorcall.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> positional,
                PyObject* kwnames = nullptr,
                std::initializer_list<PyObject*> keyword_values = {}) {
    // One spare slot in front lets a bound method prepend its self for free.
    PyObject* stack[1 + 8];
    size_t count = 1;
    for (PyObject* value : positional) stack[count++] = value;
    for (PyObject* value : keyword_values) stack[count++] = value;
    size_t nargs = positional.size();
    return Ref(PyObject_Vectorcall(callable, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   kwnames));
}

// self.<name>(*positional, **keywords): looked up on the object like a method.
inline Ref call_method(PyObject* self, PyObject* name,
                       std::initializer_list<PyObject*> positional,
                       PyObject* kwnames = nullptr,
                       std::initializer_list<PyObject*> keyword_values = {}) {
    PyObject* stack[1 + 8];
    stack[0] = self;
    size_t count = 1;
    for (PyObject* value : positional) stack[count++] = value;
    for (PyObject* value : keyword_values) stack[count++] = value;
    return Ref(PyObject_VectorcallMethod(name, stack, (1 + positional.size()) |
                                                          PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames));
}

// The truth value of a new reference, -1 on failure (or when it is NULL).
inline int truth(const Ref& value) {
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// a == b as the interpreter tests it in a condition; -1 on failure.
inline int equals(PyObject* a, PyObject* b) {
    return truth(Ref(PyObject_RichCompare(a, b, Py_EQ)));
}

}  // namespace light_data
