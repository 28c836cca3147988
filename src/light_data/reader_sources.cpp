// The reader's kinds of data and its data sources, as every operation sees
// them.
#include "reader_sources.hpp"

#include "module_state.hpp"

namespace light_data {

int is_time_normalised_kind(PyObject* data_type) {
    for (PyObject* member_name : {names.DerivativeTicker, names.Liquidations, names.Metrics}) {
        Ref member = global_member(names.DataType, member_name);
        if (!member) return -1;
        int equal = equals(data_type, member.get());
        if (equal != 0) return equal;
    }
    return 0;
}

Ref first_data_source(PyObject* self) {
    Ref sources = attr(self, names.data_sources);
    if (!sources) return Ref();
    Ref position(PyLong_FromLong(0));
    if (!position) return Ref();
    return item(sources.get(), position.get());
}

}  // namespace light_data
