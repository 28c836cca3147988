// Log and error messages: fixed texts joined with values, each value rendered
// as format(value, "") renders it.
#pragma once

#include <initializer_list>

#include "owned_ref.hpp"

namespace light_data {

// format(value, ""): a str unchanged, anything else through __format__.
Ref format_simple(PyObject* value);

// "".join(format_simple(piece) for piece in pieces).
Ref join_message(std::initializer_list<PyObject*> pieces);

}  // namespace light_data
