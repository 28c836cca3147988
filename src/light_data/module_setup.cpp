// Module initialisation: the module object, its globals and the class
// CryptoMktData with its method table. Multi-phase, run once per process.
#include <cstdio>

#include "cache_file.hpp"
#include "method_function.hpp"
#include "method_table.hpp"
#include "module_state.hpp"
#include "object_calls.hpp"
#include "traceback_entries.hpp"

namespace light_data {

namespace {

const char module_doc[] = "\nFollowing defines light data reader marlin_ledgers\n";
const char class_doc[] =
    "\n    This class provide a simple data reader marlin_ledgers for crypto market data "
    "dumped by Tick_Harvester.\n    ";

int check_single_interpreter() {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (module_state.interpreter_id == -1) {
        module_state.interpreter_id = current;
        return current == -1 ? -1 : 0;
    }
    if (module_state.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// Warns (RuntimeWarning) when the running interpreter is not the 3.11 that
// the module was built for.
int check_runtime_version() {
    const unsigned long running_major = (Py_Version >> 24) & 0xff;
    const unsigned long running_minor = (Py_Version >> 16) & 0xff;
    if (running_major == PY_MAJOR_VERSION && running_minor == PY_MINOR_VERSION) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time version %d.%d of module '%.100s' does not match runtime version "
                  "%lu.%lu",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, LIGHT_DATA_MODULE_NAME, running_major,
                  running_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                        bool none_allowed) {
    Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !none_allowed) return 0;
    return PyDict_SetItemString(module_dict, to, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (check_single_interpreter() < 0) return nullptr;
    if (module_state.module != nullptr) return Py_NewRef(module_state.module);
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

int bind(PyObject* name, PyObject* value) {
    return PyDict_SetItem(module_dict(), name, value);
}

// `import <name>` (absolute), bound under `bound_as`.
int import_whole(PyObject* name, PyObject* bound_as) {
    Ref module(PyImport_ImportModuleLevelObject(name, module_dict(),
                                                nullptr, nullptr, 0));
    if (!module) return -1;
    return bind(bound_as, module.get());
}

// The attribute `name` of `module`, else the submodule registered as
// "<module>.<name>", else ImportError.
Ref import_from(PyObject* module, PyObject* name) {
    Ref value(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    const char* module_short_name = PyModule_GetName(module);
    if (module_short_name != nullptr) {
        Ref full_name(PyUnicode_FromFormat("%s.%U", module_short_name, name));
        if (full_name) value = Ref(PyImport_GetModule(full_name.get()));
    }
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

// `from <module_name> import <names...>` (absolute), each bound under its name.
int import_names(const char* module_name_text, std::initializer_list<PyObject*> imported) {
    Ref imported_module_name(PyUnicode_FromString(module_name_text));
    if (!imported_module_name) return -1;
    Ref fromlist(PyList_New(0));
    if (!fromlist) return -1;
    for (PyObject* name : imported) {
        if (PyList_Append(fromlist.get(), name) < 0) return -1;
    }
    Ref module(PyImport_ImportModuleLevelObject(
        imported_module_name.get(), module_dict(), nullptr,
        fromlist.get(), 0));
    if (!module) return -1;
    for (PyObject* name : imported) {
        Ref value = import_from(module.get(), name);
        if (!value || bind(name, value.get()) < 0) return -1;
    }
    return 0;
}

int import_globals() {
    const InternedNames& n = names;
    if (import_whole(n.hashlib, n.hashlib) < 0 || import_whole(n.logging, n.logging) < 0 ||
        import_whole(n.os, n.os) < 0 || import_whole(n.traceback, n.traceback) < 0) {
        return -1;
    }
    if (import_names("typing", {n.List, n.Optional}) < 0) return -1;
    if (import_whole(n.pandas, n.pd) < 0) return -1;
    if (import_names("halvorn.orrery_data.enums", {n.DataDestination, n.DataSource, n.DataType}) < 0 ||
        import_names("halvorn.orrery_data.path_manager", {n.PathManager}) < 0 ||
        import_names("halvorn.orrery_utils.config_loader.config_loader", {n.ConfigLoader}) < 0 ||
        import_names("halvorn.orrery_utils.data_IO.data_IO_module", {n.DataIOModule, n.FileType}) < 0 ||
        import_names("halvorn.orrery_utils.priceable.instrument", {n.Instrument}) < 0 ||
        import_names("halvorn.orrery_utils.time_utils", {n.TradingDay}) < 0) {
        return -1;
    }
    return 0;
}

// (None, False, None, FileType.Feather, True, True), with the file type read
// from the module global now, once.
Ref init_defaults() {
    PyObject* file_type = required_global(module_dict(), names.FileType);  // borrowed
    if (file_type == nullptr) return Ref();
    Ref feather = attr(file_type, names.Feather);
    if (!feather) return Ref();
    return Ref(PyTuple_Pack(6, Py_None, Py_False, Py_None, feather.get(), Py_True, Py_True));
}

int create_class() {
    PyObject* globals = module_dict();
    Ref namespace_dict(PyDict_New());
    if (!namespace_dict) return -1;
    PyObject* ns = namespace_dict.get();
    Ref module_text(PyUnicode_FromString(LIGHT_DATA_MODULE_NAME));
    Ref doc(PyUnicode_FromString(class_doc));
    if (!module_text || !doc) return -1;
    if (PyDict_SetItem(ns, names.dunder_module, module_text.get()) < 0 ||
        PyDict_SetItem(ns, names.dunder_qualname, names.CryptoMktData) < 0 ||
        PyDict_SetItem(ns, names.dunder_doc, doc.get()) < 0) {
        return -1;
    }
    PyObject* data_type = required_global(globals, names.DataType);  // borrowed
    if (data_type == nullptr) return -1;
    if (PyDict_SetItem(ns, names.DataType, data_type) < 0) return -1;

    for (size_t i = 0; i < method_table.size(); ++i) {
        Ref defaults;
        if (i == init_method) {
            defaults = init_defaults();
            if (!defaults) return -1;
        }
        Ref function = new_method_function(method_table[i], defaults.get());
        if (!function) return -1;
        if (PyDict_SetItemString(ns, method_table[i].name, function.get()) < 0) return -1;
    }

    Ref bases(PyTuple_New(0));
    if (!bases) return -1;
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type),
                   {names.CryptoMktData, bases.get(), ns});
    if (!cls) return -1;
    return bind(names.CryptoMktData, cls.get());
}

int run_initialisation() {
    if (make_process_state() < 0) return -1;
    if (make_method_function_type() < 0) return -1;
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins || bind(names.dunder_builtins, builtins.get()) < 0) return -1;
    if (check_runtime_version() < 0) return -1;
    if (import_globals() < 0 || remember_pandas_writer() < 0) return -1;
    if (create_class() < 0) return -1;
    Ref test_dict(PyDict_New());
    if (!test_dict) return -1;
    return bind(names.dunder_test, test_dict.get());
}

int exec_module(PyObject* module) {
    if (module_state.module != nullptr) {
        if (module_state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'light_data' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    module_state.module = Py_NewRef(module);
    if (run_initialisation() == 0) return 0;
    add_traceback_entry("init " LIGHT_DATA_MODULE_NAME);
    // A failed initialisation leaves nothing behind, so a later import may retry.
    Py_CLEAR(module_state.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "light_data",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace light_data

PyMODINIT_FUNC PyInit_light_data() { return PyModuleDef_Init(&light_data::module_def); }
