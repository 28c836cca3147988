#include "module_globals.hpp"

namespace light_data {

extern PyObject* initialised_module;  // owned by module_setup.cpp

PyObject* module_dict() {
    return initialised_module == nullptr ? nullptr : PyModule_GetDict(initialised_module);
}

Ref global(PyObject* name) {
    PyObject* dict = module_dict();
    if (dict != nullptr) {
        PyObject* found = PyDict_GetItemWithError(dict, name);  // borrowed
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins != nullptr) {
        PyObject* found = PyDict_GetItemWithError(builtins, name);
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

}  // namespace light_data
