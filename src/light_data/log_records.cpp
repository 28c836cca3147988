#include "log_records.hpp"

#include "message_text.hpp"
#include "module_state.hpp"
#include "object_calls.hpp"
#include "traceback_entries.hpp"

namespace light_data {

int log_message(PyObject* level, PyObject* message) {
    Ref logging = global(names.logging);
    if (!logging) return -1;
    Ref result = call_method(logging.get(), level, {message});
    return result ? 0 : -1;
}

namespace {

int log_traceback_and_failure(PyObject* fixed_text, PyObject* subject, PyObject* exception) {
    Ref traceback = global(names.traceback);
    if (!traceback) return -1;
    Ref text = call_method(traceback.get(), names.format_exc, {});
    if (!text) return -1;
    if (log_message(names.exception, text.get()) < 0) return -1;
    if (fixed_text == nullptr) return 0;
    Ref message = join_message({fixed_text, subject, names.exception_equals, exception});
    if (!message) return -1;
    return log_message(names.exception, message.get());
}

}  // namespace

int log_handled_failure(const char* function_name, PyObject* fixed_text, PyObject* subject) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    add_traceback_entry(function_name);
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), exception(value), owned_traceback(traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);

    Ref previously_handled(PyErr_GetHandledException());
    PyErr_SetHandledException(exception.get());
    int status = log_traceback_and_failure(fixed_text, subject, exception.get());
    PyErr_SetHandledException(previously_handled.get());
    return status;
}

}  // namespace light_data
