// CryptoMktData.__init__: binds a reader to its date, instrument and kind of
// data, and settles its configuration and companion objects.
#include "module_state.hpp"
#include "object_calls.hpp"
#include "reader_methods.hpp"

namespace light_data {

namespace {

// ConfigLoader().config, from a new loader each time.
Ref fresh_config() {
    Ref loader_class = global(names.ConfigLoader);
    if (!loader_class) return Ref();
    Ref loader = call(loader_class.get(), {});
    if (!loader) return Ref();
    return attr(loader.get(), names.config);
}

int set(PyObject* self, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(self, name, value);
}

}  // namespace

PyObject* reader_init(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    PyObject* date = arguments[1];
    PyObject* instrument = arguments[2];
    PyObject* data_type = arguments[3];
    PyObject* use_minio_storage = arguments[4];
    PyObject* silent_fail = arguments[5];
    PyObject* data_sources = arguments[6];
    PyObject* file_type = arguments[7];
    PyObject* use_cache = arguments[8];
    PyObject* write_cache = arguments[9];
    const InternedNames& n = names;

    if (use_minio_storage == Py_None) {
        Ref config = fresh_config();
        if (!config) return nullptr;
        Ref flag = call_method(config.get(), n.getboolean, {n.env, n.use_minio_storage});
        if (!flag || set(self, n.use_minio_storage, flag.get()) < 0) return nullptr;
    } else if (set(self, n.use_minio_storage, use_minio_storage) < 0) {
        return nullptr;
    }
    if (set(self, n.date, date) < 0 || set(self, n.instrument, instrument) < 0 ||
        set(self, n.data_type, data_type) < 0 || set(self, n.silent_fail, silent_fail) < 0 ||
        set(self, n.data_sources, data_sources) < 0 || set(self, n.file_type_attr, file_type) < 0) {
        return nullptr;
    }

    Ref config = fresh_config();
    if (!config) return nullptr;
    Ref section = item(config.get(), n.data_related);
    if (!section) return nullptr;
    Ref cache_dir = item(section.get(), n.LOCAL_DATA_CACHE_DIR);
    if (!cache_dir || set(self, n.cache_dir, cache_dir.get()) < 0) return nullptr;
    if (set(self, n.use_cache_attr, use_cache) < 0 || set(self, n.write_cache_attr, write_cache) < 0)
        return nullptr;

    Ref trading_day_class = global(n.TradingDay);
    if (!trading_day_class) return nullptr;
    Ref trading_day = call(trading_day_class.get(), {});
    if (!trading_day || set(self, n.trading_day, trading_day.get()) < 0) return nullptr;

    Ref io_class = global(n.DataIOModule);
    if (!io_class) return nullptr;
    Ref stored_file_type = attr(self, n.file_type_attr);
    if (!stored_file_type) return nullptr;
    Ref stored_switch = attr(self, n.use_minio_storage);
    if (!stored_switch) return nullptr;
    Ref io_obj = call(io_class.get(), {}, n.kw_io_module,
                      {stored_file_type.get(), stored_switch.get()});
    if (!io_obj || set(self, n.io_obj, io_obj.get()) < 0) return nullptr;

    Ref stored_sources = attr(self, n.data_sources);
    if (!stored_sources) return nullptr;
    if (stored_sources.get() == Py_None) {
        Ref tardis = global_member(n.DataSource, n.tardis);
        if (!tardis) return nullptr;
        Ref binance = global_member(n.DataSource, n.binance);
        if (!binance) return nullptr;
        Ref defaults(PyList_New(2));
        if (!defaults) return nullptr;
        PyList_SET_ITEM(defaults.get(), 0, tardis.release());
        PyList_SET_ITEM(defaults.get(), 1, binance.release());
        if (set(self, n.data_sources, defaults.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace light_data
