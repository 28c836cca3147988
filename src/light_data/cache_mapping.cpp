// The mapped cache files of the range reads (cache_mapping.hpp).
#include "cache_mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "cached_read.hpp"
#include "local_cache.hpp"
#include "module_state.hpp"
#include "scoped_resources.hpp"

namespace light_data {

namespace {

struct CacheMapping {
    PyObject_HEAD
    void* address;
    Py_ssize_t size;
};

int mapping_buffer(PyObject* self, Py_buffer* view, int flags) {
    auto* mapping = reinterpret_cast<CacheMapping*>(self);
    return PyBuffer_FillInfo(view, self, mapping->address, mapping->size, 1, flags);
}

void mapping_dealloc(PyObject* self) {
    auto* mapping = reinterpret_cast<CacheMapping*>(self);
    PyTypeObject* type = Py_TYPE(self);
    munmap(mapping->address, static_cast<size_t>(mapping->size));
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot mapping_slots[] = {
    {Py_tp_doc, const_cast<char*>("A cache file mapped read-only; its buffer is the file's bytes.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(mapping_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(mapping_buffer)},
    {0, nullptr},
};

PyType_Spec mapping_spec = {
    .name = "_light_data_core.CacheMapping",
    .basicsize = sizeof(CacheMapping),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = mapping_slots,
};

// The whole file open at `fd`, mapped; Py_None when it is empty or cannot be
// mapped.
Ref mapped(const FileDescriptor& fd) {
    struct stat status;
    if (fstat(fd.get(), &status) < 0 || status.st_size <= 0) return Ref::borrow(Py_None);
    const auto size = static_cast<size_t>(status.st_size);
    void* address = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) return Ref::borrow(Py_None);
    auto* mapping = PyObject_New(CacheMapping, module_state.cache_mapping_type);
    if (mapping == nullptr) {
        munmap(address, size);
        return Ref();
    }
    mapping->address = address;
    mapping->size = static_cast<Py_ssize_t>(status.st_size);
    return Ref(reinterpret_cast<PyObject*>(mapping));
}

Ref served_mapping(PyObject* reader) {
    Ref served = served_cache_file(reader);
    if (!served || served.get() == Py_None) return served;
    PyObject* cache_path = PyTuple_GET_ITEM(served.get(), 0);
    Ref encoded = file_system_path(cache_path);
    if (!encoded) return Ref();
    FileDescriptor fd;
    if (open_cache_entry(AT_FDCWD, PyBytes_AS_STRING(encoded.get()), false, cache_path, fd) < 0)
        return Ref();
    return mapped(fd);
}

}  // namespace

int make_cache_mapping_type() {
    if (module_state.cache_mapping_type != nullptr) return 0;
    module_state.cache_mapping_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&mapping_spec));
    return module_state.cache_mapping_type == nullptr ? -1 : 0;
}

Ref served_cache_mappings(PyObject* readers) {
    Ref sequence(PySequence_Fast(readers, "readers must be a sequence"));
    if (!sequence) return Ref();
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    Ref result(PyList_New(count));
    if (!result) return Ref();
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref mapping = served_mapping(PySequence_Fast_GET_ITEM(sequence.get(), i));
        if (!mapping) {
            // Anything doubtful is left to get_raw's own read, which reports it.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
            PyErr_Clear();
            mapping = Ref::borrow(Py_None);
        }
        PyList_SET_ITEM(result.get(), i, mapping.release());
    }
    return result;
}

}  // namespace light_data
