// The refresh cycle of the updater thread: read every input word, then
// write the whole output image when any output word changed since the last
// transfer, else read the outputs back. The counter lock is held for the
// whole cycle, so sync_xy_refresher can wait for a cycle that began after
// its call.
//
// After a cycle that failed, the PLC may have lost the outputs the program
// set (it restarted, its outputs were cleared while the line was down): the
// next cycle that reaches the link writes the whole output image instead of
// reading the outputs back, as if an output had changed. Not before the
// thread's first completed cycle: until then the image holds no outputs the
// PLC ever had.
#include "fa/backends/native_transfer.h"
#include "fa/machine/machine_members.h"
#include "fa/machine/machine_support.h"
#include "fa/image/xmanager.h"
#include "fa/module/calls.h"
#include "fa/module/dispatch.h"
#include "fa/module/instance_attrs.h"
#include "fa/module/module.h"

#include <algorithm>

namespace fa::machine {

namespace {

const NameRef kCounter{&Names::_MachineBase__xy_refresh_counter};
const NameRef kCounterLock{&Names::_MachineBase__xy_refresh_counter_lock};

OwnMethod own_update(&Names::update, xmanager::kUpdate);
OwnMethod own_copy(&Names::copy, xmanager::kCopy);
OwnMethod own_refresh_x(&Names::_refresh_x, kRefreshX);
OwnMethod own_refresh_y(&Names::_refresh_y, kRefreshY);

py::object item(py::handle sequence, Py_ssize_t i) { return steal(PySequence_GetItem(sequence.ptr(), i)); }

Py_ssize_t length(py::handle sequence) { return PyObject_Size(sequence.ptr()); }

// Words from the PLC link must be ints: anything else would sit in the
// image and break every later comparison and bit query. False with the
// error set.
bool require_words(py::handle words, Py_ssize_t count, const char *operation) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::object word = PyList_CheckExact(words.ptr()) && i < PyList_GET_SIZE(words.ptr())
                              ? borrow(PyList_GET_ITEM(words.ptr(), i))
                              : item(words, i);
        if (!word) return false;
        if (!PyLong_Check(word.ptr())) {
            PyErr_Format(PyExc_TypeError, "%s returned a word of type %.200s", operation, Py_TYPE(word.ptr())->tp_name);
            return false;
        }
    }
    return true;
}

// Set on the updater thread while a cycle after a failed one runs.
thread_local bool rewrite_outputs = false;

// The transfer operations a back-end supplies; the base bodies do nothing.
py::object transfer_stub(py::handle, const Args &) { return none(); }

py::object refresh_x(py::handle self, const Args &) {
    bool read_natively_changed = false;
    int native = backends::read_inputs_natively(self, read_natively_changed);
    if (native < 0) return {};
    int on;
    if (native) {
        on = read_natively_changed;
    } else {
        py::object xs = call_method(self, names().do_get_x_uint16);
        if (!xs) return {};
        if (PyList_CheckExact(xs.ptr()) && !require_words(xs, PyList_GET_SIZE(xs.ptr()), "do_get_x_uint16"))
            return {};
        py::object x_manager = instance_get(self, names().x_manager);
        if (!x_manager) return {};
        // Only a list may skip the binding: anything else gets its refusal.
        py::object changed =
            PyList_CheckExact(xs.ptr()) ? own_update.call(x_manager, xs) : call_method(x_manager, names().update, xs);
        if (!changed) return {};
        on = truth_of(changed);
    }
    if (on <= 0) return on < 0 ? py::object() : none();
    py::object x_manager = instance_get(self, names().x_manager);
    if (!x_manager) return {};
    py::object queue = instance_get(self, names()._ee_queue);
    if (!queue) return {};
    py::object snapshot = own_copy.call(x_manager);
    if (!snapshot || !call_method(queue, names().put, snapshot)) return {};
    return none();
}

// words[i] for a list of the image, with the host's errors otherwise.
py::object word_at(py::handle words, Py_ssize_t i) {
    if (PyList_CheckExact(words.ptr()) && i < PyList_GET_SIZE(words.ptr())) return borrow(PyList_GET_ITEM(words.ptr(), i));
    return item(words, i);
}

bool set_word(py::handle words, Py_ssize_t i, py::handle value) {
    if (PyList_CheckExact(words.ptr())) return store_word(words.ptr(), i, value.ptr());
    return PySequence_SetItem(words.ptr(), i, value.ptr()) == 0;
}

py::object refresh_y(py::handle self, const Args &) {
    py::object y_words = instance_get(self, names()._y_words);
    if (!y_words) return {};
    Py_ssize_t count = length(y_words);
    if (count < 0) return {};
    py::object lock = instance_get(self, names()._y_lock);
    if (!lock) return {};
    HeldLock held(lock);
    if (!held) return {};
    py::object words = instance_get(self, names()._y_words);
    if (!words) return {};
    py::object words_old = instance_get(self, names()._y_words_old);
    if (!words_old) return {};
    bool pending = rewrite_outputs;
    bool lists = PyList_CheckExact(words.ptr()) && PyList_CheckExact(words_old.ptr());
    for (Py_ssize_t i = 0; i < count && !pending; ++i) {
        if (lists && i < PyList_GET_SIZE(words.ptr()) && i < PyList_GET_SIZE(words_old.ptr())) {
            // Two exact ints compare without Python code: no references needed.
            PyObject *now = PyList_GET_ITEM(words.ptr(), i), *before = PyList_GET_ITEM(words_old.ptr(), i);
            if (PyLong_CheckExact(now) && PyLong_CheckExact(before)) {
                pending = words_differ(now, before);
                continue;
            }
        }
        py::object word = word_at(words, i);
        if (!word) return {};
        py::object old = word_at(words_old, i);
        if (!old) return {};
        int differ = words_differ(word.ptr(), old.ptr());
        if (differ < 0) return {};
        pending = differ;
    }
    if (pending) {
        int native = backends::write_outputs_natively(self, words);
        if (native < 0 || (!native && !call_method(self, names().do_set_y_uint16, words))) return {};
        // Only a write that returned counts as done. Each word is held while
        // it is stored (dropping the word it replaces may run Python code).
        Py_ssize_t n = length(words);
        if (n < 0) return {};
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::object word = word_at(words, i);
            if (!word || !set_word(words_old, i, word)) return {};
        }
        return none();
    }
    int native = backends::read_outputs_natively(self, words, words_old);
    if (native) return native < 0 ? py::object() : none();
    py::object dts = call_method(self, names().do_get_y_uint16);
    if (!dts) return {};
    Py_ssize_t n_words = length(words);
    if (n_words < 0) return {};
    Py_ssize_t n_dts = length(dts);
    if (n_dts < 0) return {};
    Py_ssize_t n = std::min(n_words, n_dts);
    if (!require_words(dts, n, "do_get_y_uint16")) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object word = word_at(dts, i);
        if (!word || !set_word(words, i, word) || !set_word(words_old, i, word)) return {};
    }
    return none();
}

// Made once: the pause after each cycle, and the counter's step.
PyObject *const kPause = PyFloat_FromDouble(0.01);
PyObject *const kOne = PyLong_FromLong(1);

// __xy_refresh_counter += 1; false with the error set.
bool count_cycle(py::handle self) {
    py::object counter = instance_get(self, kCounter);
    if (!counter) return false;
    py::object next = steal(PyNumber_Add(counter.ptr(), kOne));
    return next && instance_set(self, kCounter, next);
}

// 1 when the machine is closing, 0, or -1 with the error set.
int exit_flag(py::handle self) { return truth_or_error(instance_get(self, names()._exit_flag)); }

// One cycle under the counter lock, then the pause: false with the error set.
bool refresh_cycle(py::handle self, bool after_failure) {
    {
        HeldLock held(instance_get(self, kCounterLock));
        if (!held) return false;
        rewrite_outputs = after_failure;
        if (!own_refresh_x.call(self) || !own_refresh_y.call(self) || !count_cycle(self)) return false;
    }
    return pause(kPause);
}

// Made once: the pause after a failed cycle, and the poll of sync_xy_refresher.
PyObject *const kRetryPause = PyFloat_FromDouble(0.2);
PyObject *const kPollPause = PyFloat_FromDouble(0.01);

// Body of the updater thread: a failed cycle is reported and retried, so a
// PLC link fault never ends the thread; only close does (without the pause
// after a failure: a closing machine ends its transfers by interrupting them).
// An error outside the Exception family (SystemExit, KeyboardInterrupt) ends it.
py::object update(py::handle self, const Args &) {
    bool synced = false;   // a cycle completed: the output image holds what the PLC had or got
    bool rewrite = false;
    for (;;) {
        int closing = exit_flag(self);
        if (closing) return closing < 0 ? py::object() : none();
        int done = run_reporting([&] { return refresh_cycle(self, rewrite); });
        rewrite_outputs = false;
        if (done < 0) return {};
        synced = synced || done;
        // Before the first completed cycle the image was never the PLC's: nothing to restore.
        rewrite = !done && synced;
        if (done) continue;
        closing = exit_flag(self);
        if (closing < 0 || (!closing && !pause(kRetryPause))) return {};
    }
}

py::object read_counter(py::handle self) {
    HeldLock held(instance_get(self, kCounterLock));
    if (!held) return {};
    return instance_get(self, kCounter);
}

py::object sync_xy_refresher(py::handle self, const Args &) {
    py::object last = read_counter(self);
    if (!last) return {};
    for (;;) {
        if (!pause(kPollPause)) return {};
        py::object counter = read_counter(self);
        int moved = counter ? differs(counter, last) : -1;
        if (moved) return moved < 0 ? py::object() : none();
        if (!call_method(self, names()._check_stop_and_exception_flags)) return {};
    }
}

} // namespace

const FunctionSpec kDoGetXUint16{"do_get_x_uint16", transfer_stub, {}};
const FunctionSpec kDoGetYUint16{"do_get_y_uint16", transfer_stub, {}};
const FunctionSpec kDoSetYUint16{"do_set_y_uint16", transfer_stub, {{"values", "list"}}};
const FunctionSpec kRefreshX{"_refresh_x", refresh_x, {}};
const FunctionSpec kRefreshY{"_refresh_y", refresh_y, {}};
const FunctionSpec kUpdate{"_update", update, {}};
const FunctionSpec kSyncXyRefresher{"sync_xy_refresher", sync_xy_refresher, {}};

} // namespace fa::machine
