#include "platform/kvo_mew/callback_device.h"

#include "runtime/errors.h"
#include "platform/kvo_mew/errors.h"
#include "link/simulated_plc.h"

namespace mew {

bool refused_inside_device_update(const char *what) {
    if (!inside_device_update()) return false;
    set_error(ErrorKind::Link, device_update_refusal(what));
    return true;
}

CallbackDevice::~CallbackDevice() {
    // At interpreter exit the function is left alone: no GIL can be had then.
    if (!Py_IsInitialized()) {
        function_.release();
        return;
    }
    py::gil_scoped_acquire gil;
    function_ = py::object();
}

bool CallbackDevice::evaluate(PlcMemory &memory) {
    if (!error_.empty()) return target_;
    std::vector<bool> values;
    for (const auto &relay : c_.relays) values.push_back(relay.read(memory));
    py::gil_scoped_acquire gil;
    int truth = -1;
    if (py::object args = py::reinterpret_steal<py::object>(PyTuple_New(Py_ssize_t(values.size())))) {
        for (size_t i = 0; i < values.size(); ++i)
            PyTuple_SET_ITEM(args.ptr(), Py_ssize_t(i), py::bool_(values[i]).release().ptr());
        ++calls_;
        py::object result = py::reinterpret_steal<py::object>(PyObject_Call(function_.ptr(), args.ptr(), nullptr));
        truth = result ? PyObject_IsTrue(result.ptr()) : -1;
    }
    if (truth >= 0) return truth != 0;
    // Reported once through sys.unraisablehook, like an error in a
    // finaliser: the device clock has no caller to raise it to.
    // A Ctrl-C is no fault of the function: kept pending for the program,
    // and the device goes on.
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        kvo::rt::write_unraisable("callback device");
        return target_;
    }
    py::error_already_set error;  // takes the exception set, to keep its text
    error_ = error.what();
    error.discard_as_unraisable(("callback device '" + name() + "' of a simulated PLC").c_str());
    return target_;
}

void CallbackDevice::attach(PlcMemory &memory, double now) {
    // At rest: the sensor shows the function's value at once.
    shown_ = target_ = evaluate(memory);
    since_ = now;
    c_.sensor.write(memory, shown_);
}

void CallbackDevice::update(PlcMemory &memory, double now) {
    bool value = evaluate(memory);
    if (value != target_) {
        target_ = value;
        since_ = now;
    }
    // A nanosecond's slack: clock times are sums of doubles.
    if (shown_ != target_ && now - since_ >= c_.delay - 1e-9) shown_ = target_;
    c_.sensor.write(memory, shown_);
}

DeviceInfo CallbackDevice::info() const {
    DeviceInfo info{"callback"};
    info.flags["value"] = shown_;
    info.numbers["delay"] = c_.delay;
    info.counts["calls"] = calls_;
    info.texts["sensor"] = c_.sensor.name();
    std::string relays;
    for (const auto &relay : c_.relays) relays += (relays.empty() ? "" : " ") + relay.name();
    info.texts["relays"] = relays;
    if (!error_.empty()) info.texts["error"] = error_;
    return info;
}

} // namespace mew
