#include "message_text.hpp"

#include "module_state.hpp"

namespace light_data {

Ref format_simple(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref(PyObject_Format(value, names.empty_text));
}

Ref join_message(std::initializer_list<PyObject*> pieces) {
    Ref parts(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!parts) return Ref();
    Py_ssize_t index = 0;
    for (PyObject* piece : pieces) {
        Ref text = format_simple(piece);
        if (!text) return Ref();
        PyTuple_SET_ITEM(parts.get(), index++, text.release());
    }
    return Ref(PyUnicode_Join(names.empty_text, parts.get()));
}

}  // namespace light_data
