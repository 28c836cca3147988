#include "argument_binding.hpp"

namespace light_data {

namespace {

int raise_count_error(const MethodDescription& method, Py_ssize_t given) {
    const bool exact = method.required_count() == method.parameter_count();
    Py_ssize_t expected;
    const char* bound;
    if (given < method.required_count()) {
        expected = method.required_count();
        bound = "at least";
    } else {
        expected = method.parameter_count();
        bound = "at most";
    }
    if (exact) bound = "exactly";
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", method.name,
                 bound, expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Index of `key` among parameter_names[first..last), by identity and then by
// string equality; -1 when absent.
Py_ssize_t parameter_index(PyObject* parameter_names, Py_ssize_t first, Py_ssize_t last,
                           PyObject* key) {
    for (Py_ssize_t i = first; i < last; ++i) {
        if (PyTuple_GET_ITEM(parameter_names, i) == key) return i;
    }
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t i = first; i < last; ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(parameter_names, i), key) == 0) return i;
    }
    return -1;
}

// The keyword value for parameter `name`, or NULL when it was not given.
PyObject* keyword_value(PyObject* name, PyObject* const* kwvalues, PyObject* kwnames) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return kwvalues[i];
    }
    return nullptr;
}

// Reports the first keyword that no parameter left open takes.
int check_leftover_keywords(const MethodDescription& method, PyObject* parameter_names,
                            Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (parameter_index(parameter_names, nargs, method.parameter_count(), key) >= 0) continue;
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", method.name);
            return -1;
        }
        if (parameter_index(parameter_names, 0, nargs, key) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         method.name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         method.name, key);
        }
        return -1;
    }
    return 0;
}

int check_entry_types(const MethodDescription& method, PyObject* const* values) {
    for (const EntryTypeCheck& check : method.checks) {
        PyObject* value = values[check.parameter];
        if (Py_IS_TYPE(value, check.type)) continue;
        if (check.none_allowed && value == Py_None) continue;
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     method.parameters[check.parameter], check.type->tp_name,
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    return 0;
}

}  // namespace

int bind_arguments(const MethodDescription& method, PyObject* parameter_names, PyObject* defaults,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** values) {
    const Py_ssize_t parameters = method.parameter_count();
    const Py_ssize_t required = method.required_count();
    if (nargs > parameters) return raise_count_error(method, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];

    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (keyword_count == 0) {
        if (nargs < required) return raise_count_error(method, nargs);
        for (Py_ssize_t i = nargs; i < parameters; ++i) {
            values[i] = PyTuple_GET_ITEM(defaults, i - required);
        }
        return check_entry_types(method, values);
    }

    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t keywords_left = keyword_count;
    for (Py_ssize_t i = nargs; i < required; ++i) {
        PyObject* value = keyword_value(PyTuple_GET_ITEM(parameter_names, i), kwvalues, kwnames);
        if (value == nullptr) return raise_count_error(method, i);
        values[i] = value;
        --keywords_left;
    }
    for (Py_ssize_t i = nargs > required ? nargs : required; i < parameters; ++i) {
        PyObject* value = nullptr;
        if (keywords_left > 0) {
            value = keyword_value(PyTuple_GET_ITEM(parameter_names, i), kwvalues, kwnames);
        }
        if (value != nullptr) {
            --keywords_left;
        } else {
            value = PyTuple_GET_ITEM(defaults, i - required);
        }
        values[i] = value;
    }
    if (keywords_left > 0 &&
        check_leftover_keywords(method, parameter_names, nargs, kwnames) < 0) {
        return -1;
    }
    return check_entry_types(method, values);
}

}  // namespace light_data
