// Storage paths of a reader's data (processed and raw areas), the weekly
// snapshot date of CoinMarketCap data, and the existence probe.
#include "module_state.hpp"
#include "object_calls.hpp"
#include "reader_methods.hpp"
#include "reader_sources.hpp"

namespace light_data {

namespace {

// A path result must be exactly a str, or None.
PyObject* checked_path(Ref result) {
    if (!result) return nullptr;
    if (PyUnicode_CheckExact(result.get()) || result.get() == Py_None) return result.release();
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode",
                 Py_TYPE(result.get())->tp_name);
    return nullptr;
}

// PathManager.get_mktdata_path(date=..., instrument=..., data_type=...,
// data_source=..., data_destination=DataDestination.<destination>).
Ref mktdata_path(PyObject* self, PyObject* date, PyObject* data_source, PyObject* destination) {
    const InternedNames& n = names;
    Ref path_manager = global(n.PathManager);
    if (!path_manager) return Ref();
    Ref build = attr(path_manager.get(), n.get_mktdata_path);
    if (!build) return Ref();
    Ref instrument = attr(self, n.instrument);
    if (!instrument) return Ref();
    Ref data_type = attr(self, n.data_type);
    if (!data_type) return Ref();
    Ref area = global_member(n.DataDestination, destination);
    if (!area) return Ref();
    return call(build.get(), {}, n.kw_mktdata_path,
                {date, instrument.get(), data_type.get(), data_source, area.get()});
}

}  // namespace

PyObject* reader_get_path(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    PyObject* data_source = arguments[1];
    const InternedNames& n = names;
    Ref date = attr(self, n.date);
    if (!date) return nullptr;
    Ref coin_market_cap = global_member(n.DataSource, n.coin_market_cap);
    if (!coin_market_cap) return nullptr;
    int is_cmc = equals(data_source, coin_market_cap.get());
    if (is_cmc < 0) return nullptr;
    if (is_cmc) {
        Ref reader_date = attr(self, n.date);
        if (!reader_date) return nullptr;
        date = call_method(self, n.compute_cmc_historical_snapshot_date, {reader_date.get()});
        if (!date) return nullptr;
    }
    Ref data_type = attr(self, n.data_type);
    if (!data_type) return nullptr;
    int raw_area = is_time_normalised_kind(data_type.get());
    if (raw_area < 0) return nullptr;
    if (raw_area) return checked_path(call_method(self, n.get_raw_data_path, {data_source}));
    return checked_path(mktdata_path(self, date.get(), data_source, n.processed_data));
}

PyObject* reader_compute_cmc_historical_snapshot_date(PyObject* const* arguments) {
    Ref trading_day = attr(arguments[0], names.trading_day);
    if (!trading_day) return nullptr;
    Ref sunday = call_method(trading_day.get(), names.get_last_sunday, {}, names.kw_date_int,
                             {arguments[1]});
    if (!sunday) return nullptr;
    if (PyLong_CheckExact(sunday.get()) || sunday.get() == Py_None) return sunday.release();
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(sunday.get())->tp_name);
    return nullptr;
}

PyObject* reader_get_raw_data_path(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    Ref date = attr(self, names.date);
    if (!date) return nullptr;
    return checked_path(mktdata_path(self, date.get(), arguments[1], names.raw_mkt_data));
}

PyObject* reader_exists(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    const int found = walk_source_paths(self, names.get_path, false, [&](PyObject*, PyObject* path) {
        Ref io_obj = attr(self, names.io_obj);
        if (!io_obj) return -1;
        return truth(call_method(io_obj.get(), names.exists, {path}));
    });
    if (found < 0) return nullptr;
    return PyBool_FromLong(found);
}

}  // namespace light_data
