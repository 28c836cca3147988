#include "traceback_entries.hpp"

#include <frameobject.h>

#include <iterator>

#include "module_state.hpp"
#include "owned_ref.hpp"
#include "scoped_resources.hpp"

namespace light_data {

namespace {

// The code object of entries named `function_name`, made on first use and
// kept in the module state while there is room (a handful of names are ever
// used, each a string literal).
Ref code_for(const char* function_name) {
    ModuleState& state = module_state;
    for (int i = 0; i < state.traceback_code_count; ++i) {
        if (state.traceback_codes[i].function_name == function_name) {
            return Ref::borrow(state.traceback_codes[i].code);
        }
    }
    Ref code(reinterpret_cast<PyObject*>(PyCode_NewEmpty("light_data.cpp", function_name, 0)));
    if (code && state.traceback_code_count < static_cast<int>(std::size(state.traceback_codes))) {
        state.traceback_codes[state.traceback_code_count++] = {function_name, code.copy().release()};
    }
    return code;
}

// A frame of `function_name` in the module's globals, or NULL with an error set.
Ref frame_for(const char* function_name) {
    Ref code = code_for(function_name);
    PyObject* globals = module_dict();
    if (!code || globals == nullptr) return Ref();
    return Ref(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
}

}  // namespace

void add_traceback_entry(const char* function_name) {
    Ref frame;
    {
        // Failing to decorate the traceback must not replace the real error.
        SavedError saved;
        frame = frame_for(function_name);
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace light_data
