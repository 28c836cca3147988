#include "traceback_entries.hpp"

#include <frameobject.h>


#include "module_globals.hpp"

namespace light_data {

namespace {

// Code objects are made once per function name and kept for the process;
// the names are string literals, so their addresses identify them.
struct CodeEntry {
    const char* function_name;
    PyCodeObject* code;
};
CodeEntry code_entries[32];
int code_entry_count = 0;

PyCodeObject* code_for(const char* function_name) {
    for (int i = 0; i < code_entry_count; ++i) {
        if (code_entries[i].function_name == function_name) return code_entries[i].code;
    }
    PyCodeObject* code = PyCode_NewEmpty("light_data.cpp", function_name, 0);
    if (code != nullptr && code_entry_count < 32) {
        code_entries[code_entry_count++] = CodeEntry{function_name, code};
    }
    return code;
}

}  // namespace

void add_traceback_entry(const char* function_name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject* code = code_for(function_name);
    PyObject* globals = module_dict();
    if (code != nullptr && globals != nullptr) {
        Ref frame(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), code, globals, nullptr)));
        // A code object that could not be kept in the table is released here.
        bool kept = false;
        for (int i = 0; i < code_entry_count; ++i) kept |= code_entries[i].code == code;
        if (!kept) Py_DECREF(code);
        if (frame) {
            PyErr_Restore(type, value, traceback);
            PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
            return;
        }
    }
    // Failing to decorate the traceback must not replace the real error.
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

}  // namespace light_data
