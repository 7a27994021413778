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
#include "fa/module/module.h"

namespace fa::machine {

namespace {

constexpr const char *kCounter = "_MachineBase__xy_refresh_counter";
constexpr const char *kCounterLock = "_MachineBase__xy_refresh_counter_lock";

py::object item(py::handle sequence, Py_ssize_t i) { return checked(PySequence_GetItem(sequence.ptr(), i)); }

void set_item(py::handle sequence, Py_ssize_t i, py::handle value) {
    if (PySequence_SetItem(sequence.ptr(), i, value.ptr()) < 0) raise_current();
}

Py_ssize_t length(py::handle sequence) {
    Py_ssize_t n = PyObject_Size(sequence.ptr());
    if (n < 0) raise_current();
    return n;
}

// Words from the PLC link must be ints: anything else would sit in the
// image and break every later comparison and bit query.
void require_words(py::handle words, Py_ssize_t count, const char *operation) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::object word = item(words, i);
        if (!PyLong_Check(word.ptr()))
            raise(PyExc_TypeError, "%s returned a word of type %.200s", operation, Py_TYPE(word.ptr())->tp_name);
    }
}

// Set on the updater thread while a cycle after a failed one runs.
thread_local bool rewrite_outputs = false;

// The transfer operations a back-end supplies; the base bodies do nothing.
py::object transfer_stub(py::handle, const Args &) { return py::none(); }

py::object refresh_x(py::handle self, const Args &) {
    bool changed = false;
    if (!backends::read_inputs_natively(self, changed)) {
        py::object xs = self.attr("do_get_x_uint16")();
        if (PyList_CheckExact(xs.ptr())) require_words(xs, PyList_GET_SIZE(xs.ptr()), "do_get_x_uint16");
        changed = truth(self.attr("x_manager").attr("update")(xs));
    }
    if (changed) self.attr("_ee_queue").attr("put")(self.attr("x_manager").attr("copy")());
    return py::none();
}

py::object refresh_y(py::handle self, const Args &) {
    Py_ssize_t count = length(self.attr("_y_words"));
    HeldLock held(self.attr("_y_lock"));
    py::object words = self.attr("_y_words"), words_old = self.attr("_y_words_old");
    bool pending = rewrite_outputs;
    for (Py_ssize_t i = 0; i < count && !pending; ++i) pending = not_equal(item(words, i), item(words_old, i));
    if (pending) {
        if (!backends::write_outputs_natively(self, words)) self.attr("do_set_y_uint16")(words);
        // Only a write that returned counts as done.
        for (Py_ssize_t i = 0; i < length(words); ++i) set_item(words_old, i, item(words, i));
        return py::none();
    }
    if (backends::read_outputs_natively(self, words, words_old)) return py::none();
    py::object dts = self.attr("do_get_y_uint16")();
    Py_ssize_t n = std::min(length(words), length(dts));
    require_words(dts, n, "do_get_y_uint16");
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object word = item(dts, i);
        set_item(words, i, word);
        set_item(words_old, i, word);
    }
    return py::none();
}

void refresh_cycle(py::handle self, bool after_failure) {
    {
        HeldLock held(self.attr(kCounterLock));
        rewrite_outputs = after_failure;
        self.attr("_refresh_x")();
        self.attr("_refresh_y")();
        self.attr(kCounter) = checked(PyNumber_Add(self.attr(kCounter).ptr(), py::int_(1).ptr()));
    }
    sleep(0.01);
}

// Body of the updater thread: a failed cycle is reported and retried, so a
// PLC link fault never ends the thread; only close does (without the pause
// after a failure: a closing machine ends its transfers by interrupting them).
py::object update(py::handle self, const Args &) {
    bool synced = false;   // a cycle completed: the output image holds what the PLC had or got
    bool rewrite = false;
    while (!truth(self.attr("_exit_flag"))) {
        bool done = run_reporting([&] { refresh_cycle(self, rewrite); });
        rewrite_outputs = false;
        synced = synced || done;
        // Before the first completed cycle the image was never the PLC's: nothing to restore.
        rewrite = !done && synced;
        if (!done && !truth(self.attr("_exit_flag"))) sleep(0.2);
    }
    return py::none();
}

py::object read_counter(py::handle self) {
    HeldLock held(self.attr(kCounterLock));
    return self.attr(kCounter);
}

py::object sync_xy_refresher(py::handle self, const Args &) {
    py::object last = read_counter(self);
    for (;;) {
        sleep(0.01);
        if (not_equal(read_counter(self), last)) return py::none();
        self.attr("_check_stop_and_exception_flags")();
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
