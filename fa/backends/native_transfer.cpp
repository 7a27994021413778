// The native channel of the refresh cycle (see native_transfer.h). Every
// step first decides, without side effects, whether it may run natively: the
// machine resolves the transfer operation to our own function (the dispatch
// guard), the link is exactly kvo_mew's VedUzavur, counts are plain ints and
// the words to write plain ints of 0..65535. It then reads the same
// attributes the Python path reads (x_manager.word_count, y_word_count,
// xy_module_count, the station, the output block name), so their hooks still
// run, and calls the link through its C API with the same arguments.
//
// Results: 1 done natively, 0 nothing done (take the Python path), -1 failed
// with the Python error set (the link's exception, or a hook's).
#include "fa/backends/native_transfer.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fa/backends/fef_machine.h"
#include "fa/backends/fp_machine.h"
#include "fa/image/xmanager.h"
#include "fa/machine/machine_members.h"
#include "fa/module/calls.h"
#include "fa/module/dispatch.h"
#include "fa/module/instance_attrs.h"
#include "platform/kvo_mew/capi.h"

namespace fa::backends {

namespace {

// The C API of kvo_mew and the link's own methods as kvo_mew defined them
// (a method replaced on VedUzavur is honoured: its link takes the Python
// path). No API when kvo_mew lacks it or has another version.
struct LinkApi {
    const KvoMewCApi *api = nullptr;
    PyObject *get_multi = nullptr, *set_multi = nullptr, *get_coil = nullptr, *set_coil = nullptr;
};

LinkApi load_api() {
    LinkApi loaded;
    auto *api = static_cast<const KvoMewCApi *>(PyCapsule_Import(KVO_MEW_CAPI_NAME, 0));
    if (api && api->version == KVO_MEW_CAPI_VERSION) {
        // Kept alive, so a replaced method's address cannot come back as another object.
        auto own = [&](PyObject *name) {
            PyObject *found = compat::type_lookup(api->link_type, name);
            Py_XINCREF(found);
            return found;
        };
        loaded = LinkApi{api, own(names().get_multi_uint16), own(names().set_multi_uint16), own(names().get_coil_uint16),
                         own(names().set_coil_uint16)};
    }
    PyErr_Clear();
    return loaded;
}

const LinkApi &link_api() {
    static const LinkApi loaded = load_api();
    return loaded;
}

OwnMethod fp_get_x(&Names::do_get_x_uint16, fp::kDoGetX);
OwnMethod fp_get_y(&Names::do_get_y_uint16, fp::kDoGetY);
OwnMethod fp_set_y(&Names::do_set_y_uint16, fp::kDoSetY);
OwnMethod fp_get_multi(&Names::get_multi_uint16, fp::kGetMultiUint16);
OwnMethod fp_set_multi(&Names::set_multi_uint16, fp::kSetMultiUint16);
OwnMethod fef_get_x(&Names::do_get_x_uint16, fef::kDoGetX);
OwnMethod fef_get_y(&Names::do_get_y_uint16, fef::kDoGetY);
OwnMethod fef_set_y(&Names::do_set_y_uint16, fef::kDoSetY);
OwnMethod own_update(&Names::update, xmanager::kUpdate);
OwnMethod own_word_count(&Names::word_count, xmanager::kWordCount, OwnMethod::Kind::Property);
OwnMethod own_y_word_count(&Names::y_word_count, machine::kYWordCount, OwnMethod::Kind::Property);

enum class Backend { None, Fp, Fef };

// Which of our back-ends' transfer bodies obj.<op> would run, FPMachine's
// forwarding method `forward` included.
Backend backend_of(PyObject *machine, OwnMethod &fp_op, OwnMethod &forward, OwnMethod &fef_op) {
    if (fp_op.own(machine)) return forward.own(machine) ? Backend::Fp : Backend::None;
    return fef_op.own(machine) ? Backend::Fef : Backend::None;
}

// The words of one transfer, on the stack for an image of usual size.
class Words {
public:
    explicit Words(size_t count) : count_(count) {
        if (count > kInline) heap_.resize(count);
    }
    uint16_t *data() { return count_ > kInline ? heap_.data() : inline_; }
    size_t size() const { return count_; }
    uint16_t operator[](size_t i) { return data()[i]; }

private:
    static constexpr size_t kInline = 64;
    size_t count_;
    uint16_t inline_[kInline];
    std::vector<uint16_t> heap_;
};

// A count the Python path would use as it is: an exact int of 0..2**20.
bool plain_count(PyObject *value, size_t &count) {
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow || n < 0 || n > (1 << 20)) return false;
    count = size_t(n);
    return true;
}

// The word `w` as an exact int of 0..65535.
bool plain_word(PyObject *w, uint16_t &word) {
    if (!PyLong_CheckExact(w)) return false;
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(w, &overflow);
    if (overflow || v < 0 || v > 0xFFFF) return false;
    word = uint16_t(v);
    return true;
}

bool all_plain_ints(PyObject *list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (!PyLong_CheckExact(PyList_GET_ITEM(list, i))) return false;
    return true;
}

// An exact int equal to `word`.
bool same_word(PyObject *item, uint16_t word) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(item, &overflow);
    return !overflow && v == word;
}

// list[i] = value (a new reference). Only for lists of exact ints: dropping
// an int runs no Python code, so nothing can change the lists under a loop.
void store_int(PyObject *list, Py_ssize_t i, PyObject *value) {
    PyObject *old = PyList_GET_ITEM(list, i);
    PyList_SET_ITEM(list, i, value);
    Py_DECREF(old);
}

py::object word_list(Words &words) {
    py::object list = steal(PyList_New(Py_ssize_t(words.size())));
    if (!list) return list;
    for (size_t i = 0; i < words.size(); ++i) {
        PyObject *value = PyLong_FromLong(words[i]);
        if (!value) return {};
        PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), value);
    }
    return list;
}

// x_manager.update(words): natively when the image is our own XManager with
// two lists of plain ints of the word count, else through Python. 1 or 0 as
// update's result, -1 with the error set.
int update_image(py::handle x_manager, Words &words) {
    py::object current, previous;
    if (own_update.own(x_manager.ptr())) {
        current = instance_get(x_manager, names()._XManager__x_words);
        if (!current) return -1;
        previous = instance_get(x_manager, names()._XManager__x_words_old);
        if (!previous) return -1;
    }
    Py_ssize_t n = Py_ssize_t(words.size());
    PyObject *now_list = current.ptr(), *old_list = previous.ptr();
    bool native = now_list && PyList_CheckExact(now_list) && PyList_CheckExact(old_list) &&
                  PyList_GET_SIZE(now_list) == n && PyList_GET_SIZE(old_list) == n && all_plain_ints(now_list) &&
                  all_plain_ints(old_list);
    if (!native) {
        py::object list = word_list(words);
        py::object changed = list ? call_method(x_manager, names().update, list) : py::object();
        return changed ? truth_of(changed) : -1;
    }
    // The previous list takes every current word; a changed word is replaced.
    bool changed = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *now = PyList_GET_ITEM(now_list, i);
        if (PyList_GET_ITEM(old_list, i) != now) store_int(old_list, i, (Py_INCREF(now), now));
        if (same_word(now, words[size_t(i)])) continue;
        PyObject *value = PyLong_FromLong(words[size_t(i)]);
        if (!value) return -1;
        store_int(now_list, i, value);
        changed = true;
    }
    return changed;
}

// The machine's link (machine.<name>) when it is a genuine VedUzavur whose
// operation `op` is still kvo_mew's own `own`; none, or null with the error
// set, otherwise.
py::object genuine_link(py::handle machine, PyObject *name, PyObject *op, PyObject *own, bool &failed) {
    py::object link = instance_get(machine, name);
    failed = !link;
    if (failed) return link;
    PyTypeObject *type = Py_TYPE(link.ptr());
    bool genuine = type == link_api().api->link_type && own && compat::type_lookup(type, op) == own;
    return genuine ? link : py::object();
}

// The station of an FPMachine's link calls.
py::object fp_station(py::handle machine) { return instance_get(machine, names()._FPMachine__station); }

// _plc.get_multi_uint16(station, block, count) of FPMachine's forwarding
// method: the words read, then `done(words)`; 0 when the count or the link
// is not plain.
template <class Done>
int read_fp_block(py::handle machine, PyObject *block, PyObject *count_value, Done done) {
    size_t count = 0;
    if (!plain_count(count_value, count)) return 0;
    bool failed = false;
    py::object link = genuine_link(machine, names()._plc, names().get_multi_uint16, link_api().get_multi, failed);
    if (!link) return failed ? -1 : 0;
    py::object station = fp_station(machine);
    if (!station) return -1;
    Words words(count);
    if (link_api().api->get_multi_uint16(link.ptr(), station.ptr(), block, Py_ssize_t(count), words.data()) < 0)
        return -1;
    return done(words);
}

// plc.get_coil_uint16(k, coil) for the modules k = 1, 2, ... of an
// FEFMachine, then `done(words)`; 0 when the count or the link is not plain.
template <class Done>
int read_fef_modules(py::handle machine, PyObject *coil, Done done) {
    py::object count_value = instance_get(machine, names().xy_module_count);
    if (!count_value) return -1;
    size_t count = 0;
    if (!plain_count(count_value.ptr(), count)) return 0;
    bool failed = false;
    py::object link = genuine_link(machine, names().plc, names().get_coil_uint16, link_api().get_coil, failed);
    if (!link) return failed ? -1 : 0;
    Words words(count);
    for (size_t i = 0; i < count; ++i) {
        py::object station = steal(PyLong_FromSize_t(i + 1));
        if (!station || link_api().api->get_coil_uint16(link.ptr(), station.ptr(), coil, words.data() + i) < 0)
            return -1;
    }
    return done(words);
}

} // namespace

void load_link_api() { link_api(); }

int read_inputs_natively(py::handle machine, bool &changed) {
    if (!link_api().api) return 0;
    PyObject *m = machine.ptr();
    py::object x_manager;
    auto update = [&](Words &words) {
        int result = update_image(x_manager, words);
        changed = result == 1;
        return result < 0 ? -1 : 1;
    };
    switch (backend_of(m, fp_get_x, fp_get_multi, fef_get_x)) {
    case Backend::Fp: {
        // get_multi_uint16("D0", x_manager.word_count)
        x_manager = instance_get(machine, names().x_manager);
        if (!x_manager) return -1;
        py::object count = own_word_count.read(x_manager);
        if (!count) return -1;
        return read_fp_block(machine, names().block_d0, count.ptr(), update);
    }
    case Backend::Fef:
        return read_fef_modules(machine, names().coil_wx0, [&](Words &words) {
            x_manager = instance_get(machine, names().x_manager);
            return x_manager ? update(words) : -1;
        });
    default:
        return 0;
    }
}

int write_outputs_natively(py::handle machine, py::handle values) {
    const KvoMewCApi *api = link_api().api;
    if (!api || !PyList_CheckExact(values.ptr())) return 0;
    Backend backend = backend_of(machine.ptr(), fp_set_y, fp_set_multi, fef_set_y);
    if (backend == Backend::None) return 0;
    // Anything but plain words goes to the link's own checks through Python.
    Words words(size_t(PyList_GET_SIZE(values.ptr())));
    for (size_t i = 0; i < words.size(); ++i)
        if (!plain_word(PyList_GET_ITEM(values.ptr(), Py_ssize_t(i)), words.data()[i])) return 0;
    bool failed = false;
    if (backend == Backend::Fp) {
        // set_multi_uint16("D<y_shift>", values) -> _plc.set_multi_uint16(station, name, values)
        py::object block = fp_output_block(machine);
        if (!block) return -1;
        py::object link = genuine_link(machine, names()._plc, names().set_multi_uint16, link_api().set_multi, failed);
        if (!link) return failed ? -1 : 0;
        py::object station = fp_station(machine);
        if (!station) return -1;
        return api->set_multi_uint16(link.ptr(), station.ptr(), block.ptr(), words.data(), Py_ssize_t(words.size())) < 0
                   ? -1
                   : 1;
    }
    // plc.set_coil_uint16(k, "WY0", values[k - 1]) for modules k = 1, 2, ...
    py::object link = genuine_link(machine, names().plc, names().set_coil_uint16, link_api().set_coil, failed);
    if (!link) return failed ? -1 : 0;
    for (size_t i = 0; i < words.size(); ++i) {
        py::object station = steal(PyLong_FromSize_t(i + 1));
        if (!station || api->set_coil_uint16(link.ptr(), station.ptr(), names().coil_wy0, words[i]) < 0) return -1;
    }
    return 1;
}

int read_outputs_natively(py::handle machine, py::handle words, py::handle words_old) {
    PyObject *now_list = words.ptr(), *old_list = words_old.ptr();
    if (!link_api().api || !PyList_CheckExact(now_list) || !PyList_CheckExact(old_list)) return 0;
    // words[i] = words_old[i] = read[i] up to the shorter of words and read;
    // a shorter words_old fails where the Python loop would.
    auto store = [&](Words &read) {
        Py_ssize_t count = std::min(PyList_GET_SIZE(now_list), Py_ssize_t(read.size()));
        if (!all_plain_ints(now_list) || !all_plain_ints(old_list)) {
            // Dropping an item may run Python code: the list operations check every step.
            for (Py_ssize_t i = 0; i < count; ++i) {
                py::object value = steal(PyLong_FromLong(read[size_t(i)]));
                if (!value || PyList_SetItem(now_list, i, value.inc_ref().ptr()) < 0 ||
                    PyList_SetItem(old_list, i, value.inc_ref().ptr()) < 0)
                    return -1;
            }
            return 1;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            uint16_t word = read[size_t(i)];
            PyObject *now = PyList_GET_ITEM(now_list, i);
            if (!same_word(now, word)) {
                now = PyLong_FromLong(word);
                if (!now) return -1;
                store_int(now_list, i, now);
            }
            if (i >= PyList_GET_SIZE(old_list)) {
                PyErr_SetString(PyExc_IndexError, "list assignment index out of range");
                return -1;
            }
            if (PyList_GET_ITEM(old_list, i) != now) store_int(old_list, i, (Py_INCREF(now), now));
        }
        return 1;
    };
    switch (backend_of(machine.ptr(), fp_get_y, fp_get_multi, fef_get_y)) {
    case Backend::Fp: {
        // get_multi_uint16("D<y_shift>", y_word_count)
        py::object block = fp_output_block(machine);
        if (!block) return -1;
        py::object count = own_y_word_count.read(machine);
        if (!count) return -1;
        return read_fp_block(machine, block.ptr(), count.ptr(), store);
    }
    case Backend::Fef:
        return read_fef_modules(machine, names().coil_wy0, store);
    default:
        return 0;
    }
}

} // namespace fa::backends
