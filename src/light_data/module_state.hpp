// Everything the extension keeps between calls, in one place.
#pragma once

#include <Python.h>

#include <cstdint>

#include "cache_file.hpp"
#include "interned_names.hpp"
#include "owned_ref.hpp"

// The module's full name, as importers, tracebacks and the methods'
// __module__ show it.
#define LIGHT_DATA_MODULE_NAME "halvorn.orrery_data.light_data"

namespace light_data {

// A traceback entry's code object, made once per function name.
struct TracebackCode {
    const char* function_name;  // a string literal: its address identifies it
    PyObject* code;
};

// What writing and reading a cache file take from pyarrow (cache_file.cpp),
// made on their first use.
struct ArrowCalls {
    PyObject* table_from_pandas = nullptr;  // pyarrow.Table.from_pandas
    PyObject* new_file = nullptr;           // pyarrow.ipc.new_file
    PyObject* open_file = nullptr;          // pyarrow.ipc.open_file
    PyObject* read_options_type = nullptr;  // pyarrow.ipc.IpcReadOptions
    PyObject* serial_read = nullptr;        // IpcReadOptions(use_threads=False)
    // The IpcWriteOptions of a cache file, by CacheCompression.
    PyObject* options[cache_compression_count] = {};
    PyObject* storage_path_key = nullptr;   // bytes
    PyObject* storage_identity_key = nullptr;  // bytes
    PyObject* kw_preserve_index = nullptr;
    PyObject* kw_options = nullptr;
    PyObject* kw_max_chunksize = nullptr;
    PyObject* kw_serial_fields = nullptr;   // ("use_threads", "included_fields")
    PyObject* chunk_rows = nullptr;
    PyObject* schema = nullptr;
    PyObject* metadata = nullptr;
    PyObject* replace_schema_metadata = nullptr;
    PyObject* with_metadata = nullptr;
    PyObject* write_table = nullptr;
    PyObject* read_all = nullptr;
    PyObject* count_rows = nullptr;
    PyObject* pandas_metadata = nullptr;
    PyObject* names = nullptr;
    PyObject* allocate_buffer = nullptr;    // pyarrow.allocate_buffer
    PyObject* buffer_reader = nullptr;      // pyarrow.BufferReader
};

// The state lives in this one process-wide object rather than in the module
// object: the module is initialised once per process and a second import
// must hand back the same module from the create slot, and the interpreter
// resets a module's own state whenever its create slot returns an existing
// module. Its references are kept for the life of the process and never
// released. Each of the two extensions built from these sources (light_data
// and the private _light_data_core) has its own copy, whose `module` is that
// extension's module: the globals its functions read.
struct ModuleState {
    // The initialised module; NULL before initialisation and after a failed one.
    PyObject* module = nullptr;
    // The interpreter the module was first loaded into.
    int64_t interpreter_id = -1;
    bool names_made = false;
    InternedNames names{};
    // The type of the reader's methods.
    PyTypeObject* method_function_type = nullptr;
    // The type of a mapped cache file (cache_file.hpp).
    PyTypeObject* cache_mapping_type = nullptr;
    // type.__getattribute__, to tell metaclasses that keep it (see global_member).
    PyObject* type_getattribute = nullptr;
    TracebackCode traceback_codes[32]{};
    int traceback_code_count = 0;
    // pandas' own DataFrame.to_feather, as found at initialisation.
    PyObject* pandas_to_feather = nullptr;
    ArrowCalls arrow_calls{};
};

extern ModuleState module_state;

// The interned names, valid once initialisation has made them.
inline const InternedNames& names = module_state.names;

}  // namespace light_data

namespace light_data {

// Makes what the state holds for the whole process (the interned names, the
// attribute lookup of `type`) when it is not made yet; -1 on error.
int make_process_state();

// The initialised module's globals (borrowed); NULL before initialisation.
PyObject* module_dict();

// The global `name` of `globals` (borrowed), or NameError.
PyObject* required_global(PyObject* globals, PyObject* name);

// The global `name`, else the builtin of that name, else NameError. Read at
// the moment of use, so that a caller may bind a substitute over any
// imported name.
Ref global(PyObject* name);

// The attribute `member` of the global `name`, such as DataType.Metrics.
// Read anew at every call, with the interpreter's own semantics.
Ref global_member(PyObject* name, PyObject* member);

}  // namespace light_data
