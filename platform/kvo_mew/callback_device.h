// A sensor computed by a Python function of relays: force_ok = press_down and
// part_present. The device clock calls the function at every update, in the
// thread that runs the update (a link transaction, a direct access, advance),
// so the device needs no thread of its own. It takes the GIL for the call
// while the simulated PLC's mutex is held; that is safe because every thread
// that holds the GIL lets it go before it waits for that mutex
// (SimulatedPlc::hold), and the function may not use any simulated PLC or
// link itself (it would wait for a mutex its own thread holds; the PLC and the
// link refuse it with LinkError instead).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "link/devices.h"

namespace mew {

namespace py = pybind11;

// True, with LinkError set, when called from a callback device's function,
// which runs while its thread holds a simulated PLC's mutex (and maybe a
// link's): the simulated PLC's and the link's Python-facing calls ask it
// before they wait for their mutex. `what` names what the function may not use.
bool refused_inside_device_update(const char *what);
// The same for the Python-facing calls of a simulated PLC that take its mutex.
inline bool simulated_plc_refused() { return refused_inside_device_update("a simulated PLC"); }

struct CallbackConfig {
    Relay sensor;
    std::vector<Relay> relays;  // the function's arguments, in order
    double delay;               // seconds a new value must last before the sensor shows it
};

class CallbackDevice : public Device {
public:
    CallbackDevice(std::string name, py::object function, CallbackConfig config)
        : Device(std::move(name)), function_(std::move(function)), c_(std::move(config)) {}
    // Drops the function with the GIL, whichever thread lets the PLC go.
    ~CallbackDevice() override;

    void attach(PlcMemory &memory, double now) override;
    void update(PlcMemory &memory, double now) override;
    DeviceInfo info() const override;

private:
    // The function's value now; false and no further calls once it failed.
    bool evaluate(PlcMemory &memory);

    py::object function_;
    CallbackConfig c_;
    bool shown_ = false, target_ = false;
    double since_ = 0;  // when the function's value became target_
    long calls_ = 0;
    std::string error_;  // the failure that stopped the device, empty while it works
};

} // namespace mew
