#include "method_function.hpp"

#include <structmember.h>

#include <cstddef>

#include "argument_binding.hpp"
#include "module_state.hpp"
#include "traceback_entries.hpp"

namespace light_data {

namespace {

struct MethodFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDescription* method;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* parameter_names;  // tuple of str, also the code object's varnames
    PyObject* defaults;         // tuple or NULL
    PyObject* annotations;      // dict
    PyObject* code;
    PyObject* dict;             // instance attributes, made on demand
};

MethodFunction* as_function(PyObject* object) {
    return reinterpret_cast<MethodFunction*>(object);
}

PyObject* call_vector(PyObject* callable, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) {
    MethodFunction* function = as_function(callable);
    const MethodDescription& method = *function->method;
    PyObject* values[max_parameters];
    if (bind_arguments(method, function->parameter_names, function->defaults, args,
                       PyVectorcall_NARGS(nargsf), kwnames, values) < 0) {
        add_traceback_entry(method.traceback_name);
        return nullptr;
    }
    PyObject* result = method.body(values);
    if (result == nullptr) add_traceback_entry(method.traceback_name);
    return result;
}

// A call with an argument tuple and a keyword dict. The keywords go to the
// binding as they are, so that a key that is not a string gets the method's
// own message.
PyObject* call_with_dict(PyObject* callable, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t keyword_count = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (keyword_count == 0) {
        return call_vector(callable, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(nargs),
                           nullptr);
    }
    // The tuple owns the keyword names and values for the length of the call,
    // whatever the callee does to the caller's dict.
    Ref kwnames(PyTuple_New(keyword_count));
    Ref kwvalues(PyTuple_New(keyword_count));
    if (!kwnames || !kwvalues) return nullptr;
    PyObject** stack = PyMem_New(PyObject*, static_cast<size_t>(nargs + keyword_count));
    if (stack == nullptr) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t position = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
        PyTuple_SET_ITEM(kwvalues.get(), i, Py_NewRef(value));
        stack[nargs + i] = value;
        ++i;
    }
    PyObject* result = call_vector(callable, stack, static_cast<size_t>(nargs), kwnames.get());
    PyMem_Free(stack);
    return result;
}

PyObject* bind_to_instance(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* represent(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    MethodFunction* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->defaults);
    Py_VISIT(function->annotations);
    Py_VISIT(function->dict);
    return 0;
}

int clear(PyObject* self) {
    MethodFunction* function = as_function(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module);
    Py_CLEAR(function->parameter_names);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->code);
    Py_CLEAR(function->dict);
    return 0;
}

void deallocate(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* new_or_none(PyObject* value) { return Py_NewRef(value == nullptr ? Py_None : value); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_defaults(PyObject* self, void*) { return new_or_none(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->annotations);
}
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
// The module's globals, in which typing.get_type_hints and inspect evaluate
// the annotation strings, as for a function defined in the module.
PyObject* get_globals(PyObject*, void*) {
    PyObject* globals = module_dict();
    return globals == nullptr ? PyDict_New() : Py_NewRef(globals);
}
PyObject* get_builtins(PyObject*, void*) {
    PyObject* builtins = PyEval_GetBuiltins();
    return builtins == nullptr ? PyDict_New() : Py_NewRef(builtins);
}
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
// The function type: the methods stand in for interpreter-level functions,
// and tools that test for one (unittest.mock's autospec, inspect) treat them
// as such; type() still tells the truth.
PyObject* get_class(PyObject*, void*) { return Py_NewRef(&PyFunction_Type); }

// Pickled by reference, as functions are: the qualified name, which pickle
// looks up in __module__.
PyObject* reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__class__", get_class, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodFunction, vectorcall), READONLY,
     nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(MethodFunction, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocate)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_call, reinterpret_cast<void*>(call_with_dict)},
    {Py_tp_descr_get, reinterpret_cast<void*>(bind_to_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(represent)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {
    LIGHT_DATA_MODULE_NAME ".compiled_function",
    static_cast<int>(sizeof(MethodFunction)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

Ref make_annotations(const MethodDescription& method) {
    Ref annotations(PyDict_New());
    if (!annotations) return Ref();
    for (const ParameterAnnotation& annotation : method.annotations) {
        Ref text(PyUnicode_FromString(annotation.annotation));
        if (!text) return Ref();
        if (PyDict_SetItemString(annotations.get(), annotation.parameter, text.get()) < 0)
            return Ref();
    }
    if (method.return_annotation != nullptr) {
        Ref text(PyUnicode_FromString(method.return_annotation));
        if (!text) return Ref();
        if (PyDict_SetItem(annotations.get(), names.dunder_return, text.get()) < 0) return Ref();
    }
    return annotations;
}

// A code object that carries the parameter names, so that inspect and help()
// see the signature; it is never executed.
Ref make_code(const MethodDescription& method, PyObject* qualname, PyObject* parameter_names) {
    Ref empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty("light_data.cpp", method.name, 0)));
    if (!empty) return Ref();
    Ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return Ref();
    Ref keywords(Py_BuildValue("{s:i,s:i,s:O,s:O,s:i}", "co_argcount", method.parameter_count(),
                               "co_nlocals", method.parameter_count(), "co_varnames",
                               parameter_names, "co_qualname", qualname, "co_flags",
                               CO_OPTIMIZED | CO_NEWLOCALS));
    if (!keywords) return Ref();
    Ref no_arguments(PyTuple_New(0));
    if (!no_arguments) return Ref();
    return Ref(PyObject_Call(replace.get(), no_arguments.get(), keywords.get()));
}

}  // namespace

int make_method_function_type() {
    if (module_state.method_function_type != nullptr) return 0;
    module_state.method_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return module_state.method_function_type == nullptr ? -1 : 0;
}

Ref new_method_function(const MethodDescription& method, PyObject* defaults) {
    Ref name(PyUnicode_InternFromString(method.name));
    if (!name) return Ref();
    Ref qualname(PyUnicode_FromFormat("CryptoMktData.%s", method.name));
    if (!qualname) return Ref();
    Ref module(PyUnicode_InternFromString(LIGHT_DATA_MODULE_NAME));
    if (!module) return Ref();
    Ref parameter_names(PyTuple_New(method.parameter_count()));
    if (!parameter_names) return Ref();
    for (int i = 0; i < method.parameter_count(); ++i) {
        PyObject* parameter = PyUnicode_InternFromString(method.parameters[i]);
        if (parameter == nullptr) return Ref();
        PyTuple_SET_ITEM(parameter_names.get(), i, parameter);
    }
    Ref annotations = make_annotations(method);
    if (!annotations) return Ref();
    Ref code = make_code(method, qualname.get(), parameter_names.get());
    if (!code) return Ref();

    MethodFunction* function = PyObject_GC_New(MethodFunction, module_state.method_function_type);
    if (function == nullptr) return Ref();
    // Construction goes through the dict-based call, the path on which the
    // interpreter hands keywords over unchecked; the other methods take fast
    // calls.
    function->vectorcall = method.required_count() == method.parameter_count() ? call_vector : nullptr;
    function->method = &method;
    function->name = name.release();
    function->qualname = qualname.release();
    function->module = module.release();
    function->parameter_names = parameter_names.release();
    function->defaults = Py_XNewRef(defaults);
    function->annotations = annotations.release();
    function->code = code.release();
    function->dict = nullptr;
    PyObject_GC_Track(function);
    return Ref(reinterpret_cast<PyObject*>(function));
}

}  // namespace light_data
