// Records through the module-level functions of the `logging` module (the
// root logger), one ready-made message each.
#pragma once

#include "owned_ref.hpp"

namespace light_data {

// logging.<level>(message), with `level` one of names.debug/info/exception.
int log_message(PyObject* level, PyObject* message);

// Handles the pending exception if it is an Exception (anything else is left
// pending and -1 returned): adds the traceback entry of `function_name`,
// makes the exception the one being handled, then logs through
// logging.exception the text of traceback.format_exc() and, when
// `fixed_text` is given, fixed_text + subject + ", Exception = " + exception.
// Returns 0 with the exception cleared, or -1 with the error of a failing log
// call pending (its context is the handled exception).
int log_handled_failure(const char* function_name, PyObject* fixed_text, PyObject* subject);

}  // namespace light_data
