#include "cache_naming.hpp"

#include "interned_names.hpp"
#include "log_records.hpp"
#include "message_text.hpp"
#include "module_globals.hpp"
#include "object_calls.hpp"

namespace light_data {

Ref cache_path_for(PyObject* self, PyObject* path) {
    const InternedNames& n = names;
    Ref hashlib = global(n.hashlib);
    if (!hashlib) return Ref();
    Ref encoded = call_method(path, n.encode, {});
    if (!encoded) return Ref();
    Ref digest = call_method(hashlib.get(), n.sha256, {encoded.get()});
    if (!digest) return Ref();
    Ref hex = call_method(digest.get(), n.hexdigest, {});
    if (!hex) return Ref();
    Ref name(PyNumber_Add(hex.get(), n.feather_suffix));
    if (!name) return Ref();
    Ref os = global(n.os);
    if (!os) return Ref();
    Ref os_path = attr(os.get(), n.path);
    if (!os_path) return Ref();
    Ref cache_dir = attr(self, n.cache_dir);
    if (!cache_dir) return Ref();
    return call_method(os_path.get(), n.join, {cache_dir.get(), name.get()});
}

}  // namespace light_data

namespace light_data {

Ref logged_cache_hit(PyObject* self, Ref df, PyObject* cache_path) {
    if (!df) return Ref();
    int empty = truth(attr(df.get(), names.empty));
    if (empty < 0) return Ref();
    if (empty) return Ref::borrow(Py_None);
    Ref message = cache_event_message(self, names.read_from_cache, cache_path);
    if (!message || log_message(names.info, message.get()) < 0) return Ref();
    return df;
}

Ref cache_event_message(PyObject* self, PyObject* event, PyObject* cache_path) {
    Ref cls = attr(self, names.dunder_class);
    if (!cls) return Ref();
    Ref class_name = attr(cls.get(), names.dunder_name);
    if (!class_name) return Ref();
    Ref data_type = attr(self, names.data_type);
    if (!data_type) return Ref();
    Ref date = attr(self, names.date);
    if (!date) return Ref();
    return join_message({names.cache_prefix, class_name.get(), names.space, data_type.get(),
                         names.space, date.get(), event, cache_path});
}

}  // namespace light_data
