#include "module_state.hpp"

#include "object_calls.hpp"

namespace light_data {

ModuleState module_state;

int make_process_state() {
    if (!module_state.names_made) {
        if (make_interned_names(module_state.names) < 0) return -1;
        module_state.names_made = true;
    }
    if (module_state.type_getattribute == nullptr) {
        // Held for the process, as the names are.
        module_state.type_getattribute =
            Py_XNewRef(_PyType_Lookup(&PyType_Type, names.dunder_getattribute));
    }
    return 0;
}

PyObject* module_dict() {
    return module_state.module == nullptr ? nullptr : PyModule_GetDict(module_state.module);
}

PyObject* required_global(PyObject* globals, PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(globals, name);  // borrowed
    if (found == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return found;
}

Ref global(PyObject* name) {
    PyObject* dict = module_dict();
    if (dict != nullptr) {
        PyObject* found = PyDict_GetItemWithError(dict, name);  // borrowed
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    return Ref::borrow(required_global(PyEval_GetBuiltins(), name));
}

namespace {

// Whether attribute reads on objects whose type is `metaclass` start with
// type.__getattribute__. The enumerations' metaclass adds only a __getattr__
// fallback, which the interpreter reaches through a slow generic hook.
bool reads_through_type_getattribute(PyTypeObject* metaclass) {
    PyObject* getattribute = module_state.type_getattribute;
    return getattribute != nullptr &&
           _PyType_Lookup(metaclass, names.dunder_getattribute) == getattribute;
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
