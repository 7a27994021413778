// The simulated PLC's machine model in Python: add_cylinder, add_vacuum,
// add_source and add_callback wire devices to its relays; jam, feed and take act on them; the
// clock and the I/O trace are properties and methods of SimulatedPlc too.
#include <cmath>

#include "platform/common/not_none.h"
#include "platform/kvo_mew/arguments.h"
#include "platform/kvo_mew/callback_device.h"
#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/errors.h"
#include "platform/kvo_mew/simulated_plc.h"

namespace py = pybind11;

namespace mew {
namespace {

using Plc = std::shared_ptr<SimulatedPlc>;

constexpr size_t kDefaultTraceLimit = 1000000;

Relay relay_of(const char *op, py::handle name, int station) {
    Element e = relay_arg(op, name);
    return Relay{station, e.area, e.word, e.bit};
}

// An optional relay: None leaves `has` false.
void optional_relay(const char *op, py::handle name, int station, bool &has, Relay &relay) {
    has = !name.is_none();
    if (has) relay = relay_of(op, name, station);
}

// One relay name or a list/tuple of them.
std::vector<Relay> relays_of(const char *op, py::handle names, int station) {
    std::vector<Relay> relays;
    if (names.is_none()) return relays;
    if (PyUnicode_Check(names.ptr())) return {relay_of(op, names, station)};
    if (!PyList_Check(names.ptr()) && !PyTuple_Check(names.ptr()))
        throw py::type_error(std::string(op) + "() needs a relay name or a list of them, not " +
                             Py_TYPE(names.ptr())->tp_name);
    py::tuple items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(names.ptr()));
    if (!items) throw py::error_already_set();
    for (auto item : items) relays.push_back(relay_of(op, item, station));
    return relays;
}

double seconds_of(const char *op, py::handle value, const char *what, bool zero_ok = true) {
    if (PyBool_Check(value.ptr()) || !(PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr())))
        throw py::type_error(std::string(op) + "() " + what + " must be a number of seconds, not " +
                             Py_TYPE(value.ptr())->tp_name);
    double seconds = value.cast<double>();
    if (!std::isfinite(seconds) || seconds < 0 || (!zero_ok && seconds == 0))
        throw py::value_error(std::string(op) + "() " + what + " must be a finite number of seconds " +
                              (zero_ok ? ">= 0" : "> 0") + ", not " + py::repr(value).cast<std::string>());
    return seconds;
}

std::string name_of(const char *op, py::handle name, const Relay &fallback) {
    if (name.is_none()) return fallback.name();
    if (!PyUnicode_Check(name.ptr()))
        throw py::type_error(std::string(op) + "() name must be a str, not " + Py_TYPE(name.ptr())->tp_name);
    std::string text = name.cast<std::string>();
    if (text.empty()) throw py::value_error(std::string(op) + "() name must not be empty");
    return text;
}

std::string add(const Plc &plc, const char *op, const std::shared_ptr<Device> &device) {
    bool added;
    {
        py::gil_scoped_release unlocked;
        added = plc->add_device(device);
    }
    if (!added) throw py::value_error(std::string(op) + "() the PLC has a device named '" + device->name() + "' already");
    return device->name();
}

template <class Kind>
std::shared_ptr<Kind> device_of(const Plc &plc, const char *op, py::handle name, const char *kind) {
    if (!PyUnicode_Check(name.ptr()))
        throw py::type_error(std::string(op) + "() name must be a str, not " + Py_TYPE(name.ptr())->tp_name);
    std::string text = name.cast<std::string>();
    auto device = plc->find_device(text);
    if (!device) throw py::key_error("the PLC has no device named '" + text + "'");
    auto typed = std::dynamic_pointer_cast<Kind>(device);
    if (!typed) throw py::value_error(std::string(op) + "() device '" + text + "' is no " + kind);
    return typed;
}

std::string add_cylinder(const Plc &plc, py::handle valve, py::handle retracted, py::handle extended,
                         py::handle stroke, py::handle valve_back, py::handle leave, py::handle name,
                         py::handle station) {
    const char *op = "add_cylinder";
    int st = station_arg(op, station);
    CylinderConfig c{};
    c.valve = relay_of(op, valve, st);
    optional_relay(op, valve_back, st, c.has_valve_back, c.valve_back);
    optional_relay(op, retracted, st, c.has_retracted, c.retracted);
    optional_relay(op, extended, st, c.has_extended, c.extended);
    c.stroke = seconds_of(op, stroke, "stroke", false);
    c.leave = leave.is_none() ? std::min(0.05, c.stroke / 4) : seconds_of(op, leave, "leave");
    return add(plc, op, std::make_shared<Cylinder>(name_of(op, name, c.valve), c));
}

std::string add_source(const Plc &plc, py::handle sensor, py::handle interval, py::handle demand, py::handle take,
                       py::handle name, py::handle station) {
    const char *op = "add_source";
    int st = station_arg(op, station);
    SourceConfig c{};
    c.sensor = relay_of(op, sensor, st);
    c.interval = interval.is_none() ? -1.0 : seconds_of(op, interval, "interval");
    optional_relay(op, demand, st, c.has_demand, c.demand);
    optional_relay(op, take, st, c.has_take, c.take);
    return add(plc, op, std::make_shared<PartSource>(name_of(op, name, c.sensor), c));
}

std::string add_vacuum(const Plc &plc, py::handle valve, py::handle sensor, py::handle source, py::handle pick_at,
                       py::handle drop_to, py::handle drop_at, py::handle build, py::handle release, py::handle name,
                       py::handle station) {
    const char *op = "add_vacuum";
    int st = station_arg(op, station);
    VacuumConfig c{};
    c.valve = relay_of(op, valve, st);
    c.sensor = relay_of(op, sensor, st);
    c.pick_at = relays_of(op, pick_at, st);
    c.drop_at = relays_of(op, drop_at, st);
    c.build = seconds_of(op, build, "build");
    c.release = seconds_of(op, release, "release");
    c.source = device_of<PartSource>(plc, op, source, "part source");
    if (!drop_to.is_none()) c.drop_to = device_of<PartSource>(plc, op, drop_to, "part source");
    return add(plc, op, std::make_shared<VacuumCup>(name_of(op, name, c.valve), c));
}

std::string add_callback(const Plc &plc, py::handle sensor, py::handle relays, py::handle function,
                         py::handle delay, py::handle name, py::handle station) {
    const char *op = "add_callback";
    int st = station_arg(op, station);
    CallbackConfig c{};
    c.sensor = relay_of(op, sensor, st);
    c.relays = relays_of(op, relays, st);
    if (!PyCallable_Check(function.ptr()))
        throw py::type_error(std::string(op) + "() function must be callable, not " + Py_TYPE(function.ptr())->tp_name);
    c.delay = seconds_of(op, delay, "delay");
    std::string device_name = name_of(op, name, c.sensor);
    return add(plc, op, std::make_shared<CallbackDevice>(device_name, py::reinterpret_borrow<py::object>(function), c));
}

void jam(const Plc &plc, py::handle name, py::handle mode) {
    const char *op = "jam";
    auto cylinder = device_of<Cylinder>(plc, op, name, "cylinder");
    Jam how = Jam::None;
    std::string text = PyUnicode_Check(mode.ptr()) ? mode.cast<std::string>() : "";
    if (text == "leave")
        how = Jam::Leave;
    else if (text == "arrive")
        how = Jam::Arrive;
    else if (!mode.is_none())
        throw py::value_error("jam() mode must be \"leave\", \"arrive\" or None, not " +
                              py::repr(mode).cast<std::string>());
    py::gil_scoped_release unlocked;
    plc->with_device(cylinder->name(), [&](Device &, PlcMemory &, double now) { cylinder->jam(how, now); });
}

bool move_part(const Plc &plc, const char *op, py::handle name, bool feed) {
    auto source = device_of<PartSource>(plc, op, name, "part source");
    bool done = false;
    py::gil_scoped_release unlocked;
    plc->with_device(source->name(), [&](Device &, PlcMemory &memory, double now) {
        done = feed ? source->feed(memory, now) : source->take(memory, now);
    });
    return done;
}

py::dict info_dict(const DeviceInfo &info) {
    py::dict result;
    result["kind"] = info.kind;
    for (const auto &e : info.numbers) result[py::str(e.first)] = py::float_(e.second);
    for (const auto &e : info.counts) result[py::str(e.first)] = py::int_(e.second);
    for (const auto &e : info.flags) result[py::str(e.first)] = py::bool_(e.second);
    for (const auto &e : info.texts) result[py::str(e.first)] = py::str(e.second);
    return result;
}

py::dict devices(const Plc &plc) {
    platform::holder_of(plc);
    std::vector<std::pair<std::string, DeviceInfo>> infos;
    {
        py::gil_scoped_release unlocked;
        for (const auto &name : plc->device_names())
            plc->with_device(name, [&](Device &device, PlcMemory &, double) {
                infos.emplace_back(name, device.info());
            });
    }
    py::dict result;
    for (const auto &entry : infos) result[py::str(entry.first)] = info_dict(entry.second);
    return result;
}

py::list trace(const Plc &plc) {
    platform::holder_of(plc);
    std::vector<TraceEvent> events;
    {
        py::gil_scoped_release unlocked;
        events = plc->trace();
    }
    py::list result;
    for (const auto &e : events) result.append(py::make_tuple(e.time, e.relay, e.value, e.station));
    return result;
}

} // namespace

void bind_devices(py::class_<SimulatedPlc, std::shared_ptr<SimulatedPlc>> &cls) {
    auto none = py::none();
    auto name = py::arg("name") = none;
    auto station = py::arg("station") = 1;
    cls.def("add_cylinder", &add_cylinder, py::arg("valve"), py::arg("retracted") = none,
            py::arg("extended") = none, py::arg("stroke") = 0.3, py::arg("valve_back") = none,
            py::arg("leave") = none, name, station,
            "Wire a pneumatic cylinder: it extends while relay `valve` is on (with `valve_back`, a\n"
            "double-solenoid one: extends when only `valve` is on, retracts when only `valve_back` is on,\n"
            "else keeps going). `stroke` seconds end to end; the sensor of the end it leaves goes off\n"
            "`leave` seconds after the start (default min(0.05, stroke/4)), the other comes on on arrival.\n"
            "Sensors `retracted`/`extended` are optional. Returns the device name (default: the valve).")
        .def("add_source", &add_source, py::arg("sensor"), py::arg("interval") = none, py::arg("demand") = none,
             py::arg("take") = none, name, station,
             "Wire a place for one part whose `sensor` is on while a part is there. With `interval`, a\n"
             "part arrives that many seconds after the place became empty (counting only while relay\n"
             "`demand` is on, if given); feed() puts one there at once. The part goes when a vacuum cup\n"
             "picks it, on take(), or while relay `take` is on. Returns the device name (default: the sensor).")
        .def("add_vacuum", &add_vacuum, py::arg("valve"), py::arg("sensor"), py::arg("source"),
             py::arg("pick_at") = py::tuple(), py::arg("drop_to") = none, py::arg("drop_at") = py::tuple(),
             py::arg("build") = 0.1, py::arg("release") = 0.1, name, station,
             "Wire a vacuum cup: with relay `valve` on and a part of source `source` under the cup (every\n"
             "relay of `pick_at` on), vacuum builds in `build` seconds: `sensor` comes on and the cup takes\n"
             "the part. No part, no vacuum. With the valve off the vacuum is gone `release` seconds later\n"
             "and the part drops into source `drop_to` when every relay of `drop_at` is on (else it is\n"
             "lost). Returns the device name (default: the valve).")
        .def("add_callback", &add_callback, py::arg("sensor"), py::arg("relays"), py::arg("function"),
             py::arg("delay") = 0.0, name, station,
             "Wire a sensor computed by `function`, called with the values (bools) of `relays` in their\n"
             "order at every update of the devices: `sensor` shows its truth, once a new value has lasted\n"
             "`delay` seconds. The function runs on the thread that updates the devices and must not use\n"
             "a simulated PLC or a link (LinkError); an exception it raises goes to sys.unraisablehook and\n"
             "stops the device (its sensor keeps its value). Returns the device name (default: the sensor).")
        .def("jam", &jam, py::arg("name"), py::arg("mode") = "arrive",
             "Jam cylinder `name` where it is now: \"leave\" (it never leaves its end, nor moves at all),\n"
             "\"arrive\" (it never arrives: the rod stops halfway) or None (free again).")
        .def(
            "feed", [](const Plc &plc, py::handle n) { return move_part(plc, "feed", n, true); }, py::arg("name"),
            "Put a part at source `name` now; False when one is there already.")
        .def(
            "take", [](const Plc &plc, py::handle n) { return move_part(plc, "take", n, false); },
            py::arg("name"), "Take the part from source `name` now; False when there is none.")
        .def_property_readonly("devices", &devices,
                               "A new dict: device name -> dict of its kind, wiring and state, in the order added.")
        .def_property(
            "clock",
            [](const Plc &plc) { return std::string(platform::holder_of(plc)->manual_clock() ? "manual" : "steady"); },
            [](const Plc &plc, py::handle mode) {
                platform::holder_of(plc);
                std::string text = PyUnicode_Check(mode.ptr()) ? mode.cast<std::string>() : "";
                if (text != "steady" && text != "manual")
                    throw py::value_error("clock must be \"steady\" or \"manual\", not " +
                                          py::repr(mode).cast<std::string>());
                py::gil_scoped_release unlocked;
                plc->set_manual_clock(text == "manual");
            },
            "The devices' clock: \"steady\" (real time, the default) or \"manual\" (moved only by\n"
            "advance()). Switching keeps the time.")
        .def_property_readonly("now", platform::not_none(&SimulatedPlc::now), "The devices' clock in seconds.")
        .def(
            "advance",
            [](const Plc &plc, py::handle seconds) {
                double s = seconds_of("advance", seconds, "seconds");
                if (!plc->manual_clock()) throw py::value_error("advance() needs the manual clock (plc.clock = \"manual\")");
                py::gil_scoped_release unlocked;
                plc->advance(s);
            },
            py::arg("seconds"), "Move the manual clock on and update the devices.")
        .def(
            "trace_start",
            [](const Plc &plc, py::handle limit) {
                size_t n = count_arg("trace_start", limit, "limit");
                py::gil_scoped_release unlocked;
                plc->trace_start(n);
            },
            py::arg("limit") = kDefaultTraceLimit,
            "Start a new I/O trace: every change of an X or Y relay of any station from now on, with\n"
            "relays already on recorded at time 0. At most `limit` events are kept.")
        .def(
            "trace_stop",
            [](const Plc &plc) {
                platform::holder_of(plc);
                py::gil_scoped_release unlocked;
                plc->trace_stop();
            },
            "Stop recording; the events stay readable.")
        .def_property_readonly("tracing", platform::not_none(&SimulatedPlc::tracing), "Whether the trace records.")
        .def_property_readonly("trace", &trace,
                               "A new list of (time, relay, value, station) tuples, oldest first; time in seconds\n"
                               "since trace_start, relay a name such as \"X1F\", value a bool.")
        .def_property_readonly("trace_dropped", platform::not_none(&SimulatedPlc::trace_dropped),
                               "Events not kept because the trace was full.");
}

} // namespace mew
