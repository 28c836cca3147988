// The private module _light_data_arrow: many cache files read into Arrow
// tables at once, by Arrow's C++ library in threads of its own, without the
// interpreter lock. The range reads use it for runs of small cached tables,
// where reading each file through pyarrow's Python calls made every file a
// turn of the interpreter lock and kept the reads on one core.
//
// It is built against the Arrow library of one pyarrow release and refuses
// to load beside another; the range reads then read every file through
// pyarrow as before.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <arrow/python/pyarrow.h>

#include <climits>
#include <cstring>
#include <string>
#include <memory>
#include <vector>

#include "cache_table_reads.hpp"
#include "owned_ref.hpp"

#ifndef LIGHT_DATA_PYARROW_VERSION
#error "LIGHT_DATA_PYARROW_VERSION must name the pyarrow release built against"
#endif

namespace light_data {

namespace {

const char arrow_doc[] =
    "Cache files read into Arrow tables many at a time, off the interpreter lock.\n\n"
    "Private: the names here may change with any release.";

const char start_doc[] =
    "start_reads(files, threads=1, names=None, fields=None)\n--\n\n"
    "Starts reading `files` (pyarrow Buffers holding cache files, paths of cache files\n"
    "to open as the cache opens them and map, or None) in up to\n"
    "`threads` of Arrow's CPU threads, and returns at once: the reads go on while the\n"
    "caller does other work. Their `tables()` gives the table in each file, as\n"
    "pyarrow.ipc.open_file(file).read_all() reads it, or None for a file that is None\n"
    "or cannot be read. With `names` (the field names of a file) and `fields` (positions\n"
    "among them), only files whose fields bear exactly those names are read, and only\n"
    "the fields at those positions (IpcReadOptions.included_fields); others give None.";

const char tables_doc[] =
    "tables($self, /)\n--\n\n"
    "Waits for the reads (the interpreter lock released) and gives the table of each\n"
    "file, or None. Once only: a second call raises RuntimeError.";

// The Python object of a CacheTableReads.
struct Reads {
    PyObject_HEAD
    CacheTableReads* reads;
    bool finished;
};

PyTypeObject* reads_type = nullptr;

void reads_dealloc(PyObject* self) {
    auto* reads = reinterpret_cast<Reads*>(self);
    if (reads->reads != nullptr) {
        Py_BEGIN_ALLOW_THREADS
        reads->reads->wait();  // the reads in flight
        Py_END_ALLOW_THREADS
    }
    delete reads->reads;  // lets go of the files with the lock held
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* reads_tables(PyObject* self, PyObject*) {
    auto* reads = reinterpret_cast<Reads*>(self);
    if (reads->finished) {
        PyErr_SetString(PyExc_RuntimeError, "the tables of these reads were already taken");
        return nullptr;
    }
    reads->finished = true;
    std::vector<std::shared_ptr<arrow::Table>> tables;
    Py_BEGIN_ALLOW_THREADS
    tables = reads->reads->finish();
    Py_END_ALLOW_THREADS
    const auto count = static_cast<Py_ssize_t>(tables.size());
    Ref result(PyList_New(count));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::shared_ptr<arrow::Table>& table = tables[static_cast<size_t>(i)];
        Ref item = table ? Ref(arrow::py::wrap_table(table)) : Ref::borrow(Py_None);
        if (!item) return nullptr;
        PyList_SET_ITEM(result.get(), i, item.release());
    }
    return result.release();
}

PyMethodDef reads_methods[] = {
    {"tables", reads_tables, METH_NOARGS, tables_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reads_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reads_dealloc)},
    {Py_tp_methods, reads_methods},
    {Py_tp_doc, const_cast<char*>("Reads of cache files under way (start_reads).")},
    {0, nullptr},
};

PyType_Spec reads_spec = {
    .name = "halvorn.orrery_data._light_data_arrow.CacheTableReads",
    .basicsize = sizeof(Reads),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = reads_slots,
};

// The texts of the sequence of str `names`; -1 with TypeError otherwise.
int read_names(PyObject* names, std::vector<std::string>& texts) {
    Ref sequence(PySequence_Fast(names, "names must be a sequence of str"));
    if (!sequence) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(sequence.get(), i);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (text == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "names[%zd] must be str", i);
            return -1;
        }
        texts.emplace_back(text, static_cast<size_t>(size));
    }
    return 0;
}

// The positions in the sequence of int `fields`; -1 with an exception otherwise.
int read_positions(PyObject* fields, std::vector<int>& positions) {
    Ref sequence(PySequence_Fast(fields, "fields must be a sequence of int"));
    if (!sequence) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        const long position = PyLong_AsLong(PySequence_Fast_GET_ITEM(sequence.get(), i));
        if (position == -1 && PyErr_Occurred()) return -1;
        if (position < 0 || position > INT_MAX) {
            PyErr_Format(PyExc_ValueError, "fields[%zd] must be a field's position, got %ld", i, position);
            return -1;
        }
        positions.push_back(static_cast<int>(position));
    }
    return 0;
}

PyObject* arrow_start_reads(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const keywords[] = {"files", "threads", "names", "fields", nullptr};
    PyObject* files = nullptr;
    PyObject* names = Py_None;
    PyObject* fields = Py_None;
    int threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|iOO:start_reads", const_cast<char**>(keywords), &files,
                                     &threads, &names, &fields)) {
        return nullptr;
    }
    if ((names == Py_None) != (fields == Py_None)) {
        PyErr_SetString(PyExc_TypeError, "names and fields go together: give both or neither");
        return nullptr;
    }
    std::vector<std::string> name_texts;
    std::vector<int> positions;
    if (names != Py_None && (read_names(names, name_texts) < 0 || read_positions(fields, positions) < 0)) {
        return nullptr;
    }
    if (threads < 1) {
        PyErr_Format(PyExc_ValueError, "threads must be at least 1, got %d", threads);
        return nullptr;
    }
    Ref sequence(PySequence_Fast(files, "files must be a sequence"));
    if (!sequence) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    std::vector<CacheFileToRead> buffers(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* file = PySequence_Fast_GET_ITEM(sequence.get(), i);
        if (file == Py_None) continue;
        if (PyUnicode_Check(file)) {
            PyObject* encoded = nullptr;
            if (PyUnicode_FSConverter(file, &encoded) == 0) return nullptr;
            Ref owned(encoded);
            buffers[static_cast<size_t>(i)].path.assign(PyBytes_AS_STRING(encoded),
                                                        static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
            continue;
        }
        if (!arrow::py::is_buffer(file)) {
            PyErr_Format(PyExc_TypeError, "files[%zd] must be a path (str), a pyarrow.Buffer or None, not %.200s", i,
                         Py_TYPE(file)->tp_name);
            return nullptr;
        }
        auto buffer = arrow::py::unwrap_buffer(file);
        if (!buffer.ok()) {
            PyErr_Format(PyExc_TypeError, "files[%zd]: %s", i, buffer.status().ToString().c_str());
            return nullptr;
        }
        buffers[static_cast<size_t>(i)].bytes = std::move(*buffer);
    }
    auto* self = PyObject_New(Reads, reads_type);
    if (self == nullptr) return nullptr;
    self->finished = false;
    try {
        self->reads = names == Py_None ? new CacheTableReads(std::move(buffers))
                                       : new CacheTableReads(std::move(buffers), std::move(name_texts),
                                                             std::move(positions));
    } catch (const std::bad_alloc&) {
        self->reads = nullptr;
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    Ref owned(reinterpret_cast<PyObject*>(self));
    self->reads->start(threads);
    return owned.release();
}

PyMethodDef arrow_methods[] = {
    {"start_reads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_start_reads)),
     METH_VARARGS | METH_KEYWORDS, start_doc},
    {nullptr, nullptr, 0, nullptr},
};

// Loads pyarrow's C API, after checking that the pyarrow installed is the one
// this module was built against: another release's Arrow library may lay out
// its objects otherwise.
int exec_arrow(PyObject* module) {
    Ref pyarrow(PyImport_ImportModule("pyarrow"));
    if (!pyarrow) return -1;
    Ref version(PyObject_GetAttrString(pyarrow.get(), "__version__"));
    if (!version) return -1;
    const char* installed = PyUnicode_AsUTF8(version.get());
    if (installed == nullptr) return -1;
    if (std::strcmp(installed, LIGHT_DATA_PYARROW_VERSION) != 0) {
        PyErr_Format(PyExc_ImportError, "_light_data_arrow was built against pyarrow %s, not the %s installed",
                     LIGHT_DATA_PYARROW_VERSION, installed);
        return -1;
    }
    if (arrow::py::import_pyarrow() != 0) return -1;
    if (reads_type == nullptr) {
        reads_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&reads_spec));
        if (reads_type == nullptr) return -1;
    }
    if (PyModule_AddObjectRef(module, "CacheTableReads", reinterpret_cast<PyObject*>(reads_type)) < 0) return -1;
    return PyModule_AddStringConstant(module, "PYARROW_VERSION", LIGHT_DATA_PYARROW_VERSION);
}

PyModuleDef_Slot arrow_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_arrow)},
    {0, nullptr},
};

PyModuleDef arrow_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "halvorn.orrery_data._light_data_arrow",
    .m_doc = arrow_doc,
    .m_size = 0,
    .m_methods = arrow_methods,
    .m_slots = arrow_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace light_data

PyMODINIT_FUNC PyInit__light_data_arrow() { return PyModuleDef_Init(&light_data::arrow_def); }
