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

namespace {

// Whether attribute reads on objects whose type is `metaclass` start with
// type.__getattribute__. The enumerations' metaclass adds only a __getattr__
// fallback, which the interpreter reaches through a slow generic hook.
bool reads_through_type_getattribute(PyTypeObject* metaclass) {
    static PyObject* type_getattribute = nullptr;
    static PyObject* name = nullptr;
    if (name == nullptr) {
        name = PyUnicode_InternFromString("__getattribute__");
        if (name == nullptr) return false;
        type_getattribute = _PyType_Lookup(&PyType_Type, name);
    }
    return type_getattribute != nullptr && _PyType_Lookup(metaclass, name) == type_getattribute;
}

}  // namespace

Ref global_member(PyObject* name, PyObject* member) {
    Ref owner = global(name);
    if (!owner) return Ref();
    PyObject* object = owner.get();
    // A class whose metaclass keeps type.__getattribute__: try that first,
    // as the interpreter does, and go the whole way only when it fails.
    if (PyType_Check(object) && reads_through_type_getattribute(Py_TYPE(object))) {
        PyObject* found = PyType_Type.tp_getattro(object, member);
        if (found != nullptr) return Ref(found);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
    }
    return Ref(PyObject_GetAttr(object, member));
}

}  // namespace light_data
