// The native channel of the refresh cycle (see native_transfer.h). Every
// step first decides, without side effects, whether it may run natively: the
// machine resolves the transfer operation to our own function, the link is
// exactly kvo_mew's VedUzavur, counts are plain ints and the words to write
// plain ints of 0..65535. It then reads the same attributes the Python path
// reads (x_manager.word_count, y_word_count, xy_module_count, the station,
// the output block name), so their hooks still run, and calls the link
// through its C API with the same arguments.
#include "fa/backends/native_transfer.h"

#include <algorithm>
#include <vector>

#include "fa/backends/fp_machine.h"
#include "fa/module/module.h"
#include "platform/kvo_mew/capi.h"

namespace fa::backends {

namespace {

// Interned once; the module never unloads, so the references are kept.
PyObject *intern(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name) raise_current();
    return name;
}

struct Names {
    PyObject *do_get_x = intern("do_get_x_uint16"), *do_get_y = intern("do_get_y_uint16"),
             *do_set_y = intern("do_set_y_uint16"), *get_multi = intern("get_multi_uint16"),
             *set_multi = intern("set_multi_uint16"), *fp_link = intern("_plc"), *fef_link = intern("plc"),
             *station = intern("_FPMachine__station"), *x_manager = intern("x_manager"),
             *word_count = intern("word_count"), *y_word_count = intern("y_word_count"),
             *module_count = intern("xy_module_count"), *update = intern("update"),
             *x_words = intern("_XManager__x_words"), *x_words_old = intern("_XManager__x_words_old"),
             *get_coil = intern("get_coil_uint16"),
             *set_coil = intern("set_coil_uint16"), *d0 = intern("D0"), *wx0 = intern("WX0"), *wy0 = intern("WY0");
};

const Names &names() {
    static const Names interned;
    return interned;
}

// The C API of kvo_mew and the link's own methods as kvo_mew defined them
// (a method replaced on VedUzavur is honoured: its link takes the Python
// path). No API when kvo_mew lacks it or has another version.
struct LinkApi {
    const KvoMewCApi *api = nullptr;
    PyObject *get_multi = nullptr, *set_multi = nullptr, *get_coil = nullptr, *set_coil = nullptr;
};

const LinkApi &link_api() {
    static LinkApi loaded;
    static bool tried = false;
    if (!tried) {
        tried = true;
        auto *api = static_cast<const KvoMewCApi *>(PyCapsule_Import(KVO_MEW_CAPI_NAME, 0));
        if (api && api->version == KVO_MEW_CAPI_VERSION) {
            const Names &n = names();
            // Kept alive, so a replaced method's address cannot come back as another object.
            auto own = [&](PyObject *op) {
                PyObject *found = _PyType_Lookup(api->link_type, op);
                Py_XINCREF(found);
                return found;
            };
            loaded = LinkApi{api, own(n.get_multi), own(n.set_multi), own(n.get_coil), own(n.set_coil)};
        }
        PyErr_Clear();
    }
    return loaded;
}

// Our own functions, as the class builders made them.
struct Backend {
    PyObject *get_x = nullptr, *get_y = nullptr, *set_y = nullptr;
    PyObject *get_multi = nullptr, *set_multi = nullptr; // FPMachine's forwarding methods
};
Backend fp_own, fef_own;
PyObject *update_own = nullptr; // XManager.update

PyObject *own_entry(py::handle cls, PyObject *name) {
    PyObject *found = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict, name);
    if (!found) raise(PyExc_SystemError, "class has no %U", name);
    Py_INCREF(found);
    return found;
}

// `obj.name` still finds our own function `own`: plain attribute lookup, the
// type resolves the name to `own`, and the instance dict does not shadow it.
bool uses_own(PyObject *obj, PyObject *name, PyObject *own) {
    if (!own || Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr) return false;
    if (_PyType_Lookup(Py_TYPE(obj), name) != own) return false;
    PyObject *dict = PyObject_GenericGetDict(obj, nullptr);
    if (!dict) {
        PyErr_Clear();
        return true; // no instance dict, nothing to shadow
    }
    int shadowed = PyDict_Contains(dict, name);
    Py_DECREF(dict);
    if (shadowed < 0) PyErr_Clear();
    return shadowed == 0;
}

py::object attr(py::handle obj, PyObject *name) { return checked(PyObject_GetAttr(obj.ptr(), name)); }

// A count the Python path would use as it is: an exact int of 0..limit.
bool plain_count(py::handle value, Py_ssize_t &count) {
    if (!PyLong_CheckExact(value.ptr())) return false;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow || n < 0 || n > (1 << 20)) return false;
    count = Py_ssize_t(n);
    return true;
}

// The word `w` as an exact int of 0..65535.
bool plain_word(PyObject *w, uint16_t &word) {
    if (!PyLong_CheckExact(w)) return false;
    long v = PyLong_AsLong(w);
    if (v < 0 || v > 0xFFFF) {
        PyErr_Clear();
        return false;
    }
    word = uint16_t(v);
    return true;
}

bool all_plain_ints(PyObject *list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (!PyLong_CheckExact(PyList_GET_ITEM(list, i))) return false;
    return true;
}

bool same_word(PyObject *item, uint16_t word) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    return !overflow && v == word;
}

// Replaced items are released only after the loop: releasing runs no Python
// code for ints, but the lists must not change under the loop in any case.
class Released {
public:
    ~Released() {
        for (PyObject *item : items_) Py_DECREF(item);
    }
    // list[i] = value (a new reference), keeping the old item until the end.
    void store(PyObject *list, Py_ssize_t i, PyObject *value) {
        items_.push_back(PyList_GET_ITEM(list, i));
        PyList_SET_ITEM(list, i, value);
    }

private:
    std::vector<PyObject *> items_;
};

PyObject *new_word(uint16_t word) {
    PyObject *value = PyLong_FromLong(word);
    if (!value) raise_current();
    return value;
}

py::object word_list(const std::vector<uint16_t> &words) {
    py::list list(words.size());
    for (size_t i = 0; i < words.size(); ++i) PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), new_word(words[i]));
    return std::move(list);
}

// x_manager.update(words): natively when the image is our own XManager with
// two lists of plain ints of the word count, else through Python.
bool update_image(py::handle x_manager, const std::vector<uint16_t> &words) {
    PyObject *current = nullptr, *previous = nullptr;
    if (uses_own(x_manager.ptr(), names().update, update_own)) {
        py::object dict = checked(PyObject_GenericGetDict(x_manager.ptr(), nullptr));
        current = PyDict_GetItemWithError(dict.ptr(), names().x_words);
        previous = current ? PyDict_GetItemWithError(dict.ptr(), names().x_words_old) : nullptr;
        if (PyErr_Occurred()) raise_current();
    }
    Py_ssize_t n = Py_ssize_t(words.size());
    bool native = current && previous && PyList_CheckExact(current) && PyList_CheckExact(previous) &&
                  PyList_GET_SIZE(current) == n && PyList_GET_SIZE(previous) == n && all_plain_ints(current) &&
                  all_plain_ints(previous);
    if (!native) return truth(checked(PyObject_CallMethodOneArg(x_manager.ptr(), names().update, word_list(words).ptr())));
    // The previous list takes every current word; a changed word is replaced.
    Released released;
    bool changed = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *now = PyList_GET_ITEM(current, i);
        Py_INCREF(now);
        released.store(previous, i, now);
        if (same_word(now, words[size_t(i)])) continue;
        released.store(current, i, new_word(words[size_t(i)]));
        changed = true;
    }
    return changed;
}

// The machine's link when it is a genuine VedUzavur whose operation `op` is
// still kvo_mew's own `own`; none otherwise.
py::object genuine_link(py::handle machine, PyObject *name, PyObject *op, PyObject *own) {
    py::object link = attr(machine, name);
    PyTypeObject *type = Py_TYPE(link.ptr());
    bool genuine = type == link_api().api->link_type && own && _PyType_Lookup(type, op) == own;
    return genuine ? link : py::object();
}

void check_link_call(int status) {
    if (status < 0) raise_current();
}

} // namespace

void remember_fp_machine(py::handle cls) {
    const Names &n = names();
    link_api(); // the link's methods as they are at import
    fp_own = Backend{own_entry(cls, n.do_get_x), own_entry(cls, n.do_get_y), own_entry(cls, n.do_set_y),
                     own_entry(cls, n.get_multi), own_entry(cls, n.set_multi)};
    update_own = own_entry(name("XManager"), n.update);
}

void remember_fef_machine(py::handle cls) {
    const Names &n = names();
    fef_own = Backend{own_entry(cls, n.do_get_x), own_entry(cls, n.do_get_y), own_entry(cls, n.do_set_y)};
}

// _plc.get_multi_uint16(station, block, count) of FPMachine's forwarding
// method, into `words`; false when the count or the link is not plain.
bool read_fp_block(py::handle machine, py::handle block, py::handle count_value, std::vector<uint16_t> &words) {
    const Names &n = names();
    Py_ssize_t count = 0;
    if (!plain_count(count_value, count)) return false;
    py::object link = genuine_link(machine, n.fp_link, n.get_multi, link_api().get_multi);
    if (!link) return false;
    py::object station = attr(machine, n.station);
    words.resize(size_t(count));
    check_link_call(link_api().api->get_multi_uint16(link.ptr(), station.ptr(), block.ptr(), count, words.data()));
    return true;
}

// plc.get_coil_uint16(k, coil) for the modules k = 1, 2, ... of an
// FEFMachine, into `words`; false when the count or the link is not plain.
bool read_fef_modules(py::handle machine, PyObject *coil, std::vector<uint16_t> &words) {
    const Names &n = names();
    Py_ssize_t count = 0;
    if (!plain_count(attr(machine, n.module_count), count)) return false;
    py::object link = genuine_link(machine, n.fef_link, n.get_coil, link_api().get_coil);
    if (!link) return false;
    words.resize(size_t(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        check_link_call(link_api().api->get_coil_uint16(link.ptr(), py::int_(i + 1).ptr(), coil, &words[size_t(i)]));
    return true;
}

bool read_inputs_natively(py::handle machine, bool &changed) {
    if (!link_api().api) return false;
    const Names &n = names();
    PyObject *m = machine.ptr();
    std::vector<uint16_t> words;
    py::object x_manager;
    if (uses_own(m, n.do_get_x, fp_own.get_x)) {
        // get_multi_uint16("D0", x_manager.word_count)
        if (!uses_own(m, n.get_multi, fp_own.get_multi)) return false;
        x_manager = attr(machine, n.x_manager);
        if (!read_fp_block(machine, n.d0, attr(x_manager, n.word_count), words)) return false;
    } else if (uses_own(m, n.do_get_x, fef_own.get_x)) {
        if (!read_fef_modules(machine, n.wx0, words)) return false;
        x_manager = attr(machine, n.x_manager);
    } else {
        return false;
    }
    changed = update_image(x_manager, words);
    return true;
}

bool write_outputs_natively(py::handle machine, py::handle values) {
    const KvoMewCApi *api = link_api().api;
    if (!api || !PyList_CheckExact(values.ptr())) return false;
    const Names &n = names();
    PyObject *m = machine.ptr();
    bool fp = uses_own(m, n.do_set_y, fp_own.set_y);
    if (!fp && !uses_own(m, n.do_set_y, fef_own.set_y)) return false;
    if (fp && !uses_own(m, n.set_multi, fp_own.set_multi)) return false;
    // Anything but plain words goes to the link's own checks through Python.
    std::vector<uint16_t> words(size_t(PyList_GET_SIZE(values.ptr())));
    for (size_t i = 0; i < words.size(); ++i)
        if (!plain_word(PyList_GET_ITEM(values.ptr(), Py_ssize_t(i)), words[i])) return false;
    if (fp) {
        // set_multi_uint16("D<y_shift>", values) -> _plc.set_multi_uint16(station, name, values)
        py::object block = fp_output_block(machine);
        py::object link = genuine_link(machine, n.fp_link, n.set_multi, link_api().set_multi);
        if (!link) return false;
        py::object station = attr(machine, n.station);
        check_link_call(api->set_multi_uint16(link.ptr(), station.ptr(), block.ptr(), words.data(),
                                              Py_ssize_t(words.size())));
        return true;
    }
    // plc.set_coil_uint16(k, "WY0", values[k - 1]) for modules k = 1, 2, ...
    py::object link = genuine_link(machine, n.fef_link, n.set_coil, link_api().set_coil);
    if (!link) return false;
    for (size_t i = 0; i < words.size(); ++i)
        check_link_call(api->set_coil_uint16(link.ptr(), py::int_(i + 1).ptr(), n.wy0, words[i]));
    return true;
}

bool read_outputs_natively(py::handle machine, py::handle words, py::handle words_old) {
    if (!link_api().api || !PyList_CheckExact(words.ptr()) || !PyList_CheckExact(words_old.ptr())) return false;
    const Names &n = names();
    PyObject *m = machine.ptr();
    std::vector<uint16_t> read;
    if (uses_own(m, n.do_get_y, fp_own.get_y)) {
        // get_multi_uint16("D<y_shift>", y_word_count)
        if (!uses_own(m, n.get_multi, fp_own.get_multi)) return false;
        py::object block = fp_output_block(machine);
        if (!read_fp_block(machine, block, attr(machine, n.y_word_count), read)) return false;
    } else if (uses_own(m, n.do_get_y, fef_own.get_y)) {
        if (!read_fef_modules(machine, n.wy0, read)) return false;
    } else {
        return false;
    }
    // words[i] = words_old[i] = read[i] up to the shorter of words and read;
    // a shorter words_old fails where the Python loop would.
    Released released;
    Py_ssize_t count = std::min(PyList_GET_SIZE(words.ptr()), Py_ssize_t(read.size()));
    for (Py_ssize_t i = 0; i < count; ++i) {
        uint16_t word = read[size_t(i)];
        PyObject *now = PyList_GET_ITEM(words.ptr(), i);
        PyObject *value = PyLong_CheckExact(now) && same_word(now, word) ? (Py_INCREF(now), now) : new_word(word);
        if (value != now) released.store(words.ptr(), i, (Py_INCREF(value), value));
        if (i >= PyList_GET_SIZE(words_old.ptr())) {
            Py_DECREF(value);
            raise(PyExc_IndexError, "list assignment index out of range");
        }
        released.store(words_old.ptr(), i, value);
    }
    return true;
}

} // namespace fa::backends
