// The simulated PLC's machine model in Python: add_cylinder, add_vacuum,
// add_source and add_callback wire devices to its relays; jam, feed and take act on them; the
// clock and the I/O trace are properties and methods of SimulatedPlc too.
#include <cmath>

#include "runtime/errors.h"
#include "platform/kvo_mew/arguments.h"
#include "platform/kvo_mew/callback_device.h"
#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/errors.h"
#include "link/simulated_plc.h"
#include "runtime/native_class.h"
#include "runtime/gil.h"

namespace py = pybind11;

namespace mew {
namespace {

using Plc = std::shared_ptr<SimulatedPlc>;


std::optional<Relay> relay_of(const char *op, py::handle name, int station) {
    std::optional<Element> e = relay_arg(op, name);
    if (!e) return std::nullopt;
    return Relay{station, e->area, e->word, e->bit};
}

// An optional relay: None leaves `has` false. False with the exception set.
bool optional_relay(const char *op, py::handle name, int station, bool &has, Relay &relay) {
    has = !name.is_none();
    if (!has) return true;
    std::optional<Relay> found = relay_of(op, name, station);
    if (found) relay = *found;
    return bool(found);
}

// One relay name or a list/tuple of them.
std::optional<std::vector<Relay>> relays_of(const char *op, py::handle names, int station) {
    std::vector<Relay> relays;
    if (names.is_none()) return relays;
    if (PyUnicode_Check(names.ptr())) {
        std::optional<Relay> relay = relay_of(op, names, station);
        if (!relay) return std::nullopt;
        return std::vector<Relay>{*relay};
    }
    if (!PyList_Check(names.ptr()) && !PyTuple_Check(names.ptr()))
        return kvo::rt::fail(PyExc_TypeError, std::string(op) + "() needs a relay name or a list of them, not " +
                                                    Py_TYPE(names.ptr())->tp_name);
    py::object items = py::reinterpret_steal<py::object>(PySequence_Tuple(names.ptr()));
    if (!items) return std::nullopt;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) {
        std::optional<Relay> relay = relay_of(op, PyTuple_GET_ITEM(items.ptr(), i), station);
        if (!relay) return std::nullopt;
        relays.push_back(*relay);
    }
    return relays;
}

std::optional<double> seconds_of(const char *op, py::handle value, const char *what, bool zero_ok = true) {
    if (PyBool_Check(value.ptr()) || !(PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr())))
        return kvo::rt::fail(PyExc_TypeError, std::string(op) + "() " + what + " must be a number of seconds, not " +
                                                    Py_TYPE(value.ptr())->tp_name);
    double seconds = PyFloat_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) return std::nullopt;
    if (!std::isfinite(seconds) || seconds < 0 || (!zero_ok && seconds == 0)) {
        std::optional<std::string> text = repr_of(value);
        if (!text) return std::nullopt;
        return kvo::rt::fail(PyExc_ValueError, std::string(op) + "() " + what + " must be a finite number of seconds " +
                                                     (zero_ok ? ">= 0" : "> 0") + ", not " + *text);
    }
    return seconds;
}

// A device's name: the str given, or the fallback relay's name for None.
std::optional<std::string> name_of(const char *op, py::handle name, const Relay &fallback) {
    if (name.is_none()) return fallback.name();
    if (!PyUnicode_Check(name.ptr()))
        return kvo::rt::fail(PyExc_TypeError, std::string(op) + "() name must be a str, not " + Py_TYPE(name.ptr())->tp_name);
    std::optional<std::string> text = utf8_of(name);
    if (text && text->empty()) return kvo::rt::fail(PyExc_ValueError, std::string(op) + "() name must not be empty");
    return text;
}

// Adds the device: its name, or null with the exception set.
py::object add(const Plc &plc, const char *op, const std::shared_ptr<Device> &device) {
    if (simulated_plc_refused()) return {};
    bool added;
    {
        kvo::rt::GilReleased unlocked;
        added = plc->add_device(device);
    }
    if (!added)
        return kvo::rt::fail(PyExc_ValueError,
                               std::string(op) + "() the PLC has a device named '" + device->name() + "' already");
    return py::str(device->name());
}

// Device `name` of kind `Kind`; null with the exception set.
template <class Kind>
std::shared_ptr<Kind> device_of(const Plc &plc, const char *op, py::handle name, const char *kind) {
    if (!PyUnicode_Check(name.ptr())) {
        kvo::rt::fail(PyExc_TypeError, std::string(op) + "() name must be a str, not " + Py_TYPE(name.ptr())->tp_name);
        return nullptr;
    }
    std::optional<std::string> text = utf8_of(name);
    if (!text || simulated_plc_refused()) return nullptr;
    auto device = plc->find_device(*text);
    if (!device) {
        kvo::rt::fail(PyExc_KeyError, "the PLC has no device named '" + *text + "'");
        return nullptr;
    }
    auto typed = std::dynamic_pointer_cast<Kind>(device);
    if (!typed) kvo::rt::fail(PyExc_ValueError, std::string(op) + "() device '" + *text + "' is no " + kind);
    return typed;
}

py::object add_cylinder(const Plc &plc, py::handle valve, py::handle retracted, py::handle extended,
                        py::handle stroke, py::handle valve_back, py::handle leave, py::handle name,
                        py::handle station) {
    const char *op = "add_cylinder";
    std::optional<int> st = station_arg(op, station);
    if (!st) return {};
    CylinderConfig c{};
    std::optional<Relay> valve_relay = relay_of(op, valve, *st);
    if (!valve_relay) return {};
    c.valve = *valve_relay;
    if (!optional_relay(op, valve_back, *st, c.has_valve_back, c.valve_back) ||
        !optional_relay(op, retracted, *st, c.has_retracted, c.retracted) ||
        !optional_relay(op, extended, *st, c.has_extended, c.extended))
        return {};
    std::optional<double> stroke_seconds = seconds_of(op, stroke, "stroke", false);
    if (!stroke_seconds) return {};
    c.stroke = *stroke_seconds;
    std::optional<double> leave_seconds = leave.is_none() ? std::min(0.05, c.stroke / 4) : seconds_of(op, leave, "leave");
    if (!leave_seconds) return {};
    c.leave = *leave_seconds;
    std::optional<std::string> device_name = name_of(op, name, c.valve);
    if (!device_name) return {};
    return add(plc, op, std::make_shared<Cylinder>(*device_name, c));
}

py::object add_source(const Plc &plc, py::handle sensor, py::handle interval, py::handle demand, py::handle take,
                      py::handle name, py::handle station) {
    const char *op = "add_source";
    std::optional<int> st = station_arg(op, station);
    if (!st) return {};
    SourceConfig c{};
    std::optional<Relay> sensor_relay = relay_of(op, sensor, *st);
    if (!sensor_relay) return {};
    c.sensor = *sensor_relay;
    std::optional<double> every = interval.is_none() ? -1.0 : seconds_of(op, interval, "interval");
    if (!every) return {};
    c.interval = *every;
    if (!optional_relay(op, demand, *st, c.has_demand, c.demand) || !optional_relay(op, take, *st, c.has_take, c.take))
        return {};
    std::optional<std::string> device_name = name_of(op, name, c.sensor);
    if (!device_name) return {};
    return add(plc, op, std::make_shared<PartSource>(*device_name, c));
}

py::object add_vacuum(const Plc &plc, py::handle valve, py::handle sensor, py::handle source, py::handle pick_at,
                      py::handle drop_to, py::handle drop_at, py::handle build, py::handle release, py::handle name,
                      py::handle station) {
    const char *op = "add_vacuum";
    std::optional<int> st = station_arg(op, station);
    if (!st) return {};
    VacuumConfig c{};
    std::optional<Relay> valve_relay = relay_of(op, valve, *st);
    if (!valve_relay) return {};
    c.valve = *valve_relay;
    std::optional<Relay> sensor_relay = relay_of(op, sensor, *st);
    if (!sensor_relay) return {};
    c.sensor = *sensor_relay;
    std::optional<std::vector<Relay>> pick = relays_of(op, pick_at, *st);
    if (!pick) return {};
    c.pick_at = *pick;
    std::optional<std::vector<Relay>> drop = relays_of(op, drop_at, *st);
    if (!drop) return {};
    c.drop_at = *drop;
    std::optional<double> build_seconds = seconds_of(op, build, "build");
    if (!build_seconds) return {};
    c.build = *build_seconds;
    std::optional<double> release_seconds = seconds_of(op, release, "release");
    if (!release_seconds) return {};
    c.release = *release_seconds;
    c.source = device_of<PartSource>(plc, op, source, "part source");
    if (!c.source) return {};
    if (!drop_to.is_none()) {
        c.drop_to = device_of<PartSource>(plc, op, drop_to, "part source");
        if (!c.drop_to) return {};
    }
    std::optional<std::string> device_name = name_of(op, name, c.valve);
    if (!device_name) return {};
    return add(plc, op, std::make_shared<VacuumCup>(*device_name, c));
}

py::object add_callback(const Plc &plc, py::handle sensor, py::handle relays, py::handle function, py::handle delay,
                        py::handle name, py::handle station) {
    const char *op = "add_callback";
    std::optional<int> st = station_arg(op, station);
    if (!st) return {};
    CallbackConfig c{};
    std::optional<Relay> sensor_relay = relay_of(op, sensor, *st);
    if (!sensor_relay) return {};
    c.sensor = *sensor_relay;
    std::optional<std::vector<Relay>> inputs = relays_of(op, relays, *st);
    if (!inputs) return {};
    c.relays = *inputs;
    if (!PyCallable_Check(function.ptr()))
        return kvo::rt::fail(PyExc_TypeError,
                               std::string(op) + "() function must be callable, not " + Py_TYPE(function.ptr())->tp_name);
    std::optional<double> delay_seconds = seconds_of(op, delay, "delay");
    if (!delay_seconds) return {};
    c.delay = *delay_seconds;
    std::optional<std::string> device_name = name_of(op, name, c.sensor);
    if (!device_name) return {};
    return add(plc, op, std::make_shared<CallbackDevice>(*device_name, py::reinterpret_borrow<py::object>(function), c));
}

py::object jam(const Plc &plc, py::handle name, py::handle mode) {
    const char *op = "jam";
    auto cylinder = device_of<Cylinder>(plc, op, name, "cylinder");
    if (!cylinder) return {};
    std::optional<std::string> text = PyUnicode_Check(mode.ptr()) ? utf8_of(mode) : std::string();
    if (!text) return {};
    Jam how = Jam::None;
    if (*text == "leave") {
        how = Jam::Leave;
    } else if (*text == "arrive") {
        how = Jam::Arrive;
    } else if (!mode.is_none()) {
        std::optional<std::string> shown = repr_of(mode);
        if (!shown) return {};
        return kvo::rt::fail(PyExc_ValueError, "jam() mode must be \"leave\", \"arrive\" or None, not " + *shown);
    }
    {
        kvo::rt::GilReleased unlocked;
        plc->with_device(cylinder->name(), [&](Device &, PlcMemory &, double now) { cylinder->jam(how, now); });
    }
    return py::none();
}

py::object move_part(const Plc &plc, const char *op, py::handle name, bool feed) {
    auto source = device_of<PartSource>(plc, op, name, "part source");
    if (!source) return {};
    bool moved = false;
    {
        kvo::rt::GilReleased unlocked;
        plc->with_device(source->name(), [&](Device &, PlcMemory &memory, double now) {
            moved = feed ? source->feed(memory, now) : source->take(memory, now);
        });
    }
    return py::bool_(moved);
}

py::object feed(const Plc &plc, py::handle name) { return move_part(plc, "feed", name, true); }

py::object take(const Plc &plc, py::handle name) { return move_part(plc, "take", name, false); }

py::dict info_dict(const DeviceInfo &info) {
    py::dict result;
    result["kind"] = info.kind;
    for (const auto &e : info.numbers) result[py::str(e.first)] = py::float_(e.second);
    for (const auto &e : info.counts) result[py::str(e.first)] = py::int_(e.second);
    for (const auto &e : info.flags) result[py::str(e.first)] = py::bool_(e.second);
    for (const auto &e : info.texts) result[py::str(e.first)] = py::str(e.second);
    return result;
}

py::object devices(const Plc &plc) {
    if (simulated_plc_refused()) return {};
    std::vector<std::pair<std::string, DeviceInfo>> infos;
    {
        kvo::rt::GilReleased unlocked;
        for (const auto &name : plc->device_names())
            plc->with_device(name, [&](Device &device, PlcMemory &, double) { infos.emplace_back(name, device.info()); });
    }
    py::dict result;
    for (const auto &entry : infos) result[py::str(entry.first)] = info_dict(entry.second);
    return std::move(result);
}

py::object clock(const Plc &plc) {
    if (simulated_plc_refused()) return {};
    return py::str(plc->manual_clock() ? "manual" : "steady");
}

py::object set_clock(const Plc &plc, py::handle mode) {
    std::optional<std::string> text = PyUnicode_Check(mode.ptr()) ? utf8_of(mode) : std::string();
    if (!text) return {};
    if (*text != "steady" && *text != "manual") {
        std::optional<std::string> shown = repr_of(mode);
        if (!shown) return {};
        return kvo::rt::fail(PyExc_ValueError, "clock must be \"steady\" or \"manual\", not " + *shown);
    }
    if (simulated_plc_refused()) return {};
    {
        kvo::rt::GilReleased unlocked;
        plc->set_manual_clock(*text == "manual");
    }
    return py::none();
}

py::object now(const Plc &plc) {
    if (simulated_plc_refused()) return {};
    return py::float_(plc->now());
}

py::object advance(const Plc &plc, py::handle seconds) {
    std::optional<double> s = seconds_of("advance", seconds, "seconds");
    if (!s || simulated_plc_refused()) return {};
    if (!plc->manual_clock())
        return kvo::rt::fail(PyExc_ValueError, "advance() needs the manual clock (plc.clock = \"manual\")");
    {
        kvo::rt::GilReleased unlocked;
        plc->advance(*s);
    }
    return py::none();
}

py::object trace_start(const Plc &plc, py::handle limit) {
    std::optional<size_t> n = count_arg("trace_start", limit, "limit");
    if (!n || simulated_plc_refused()) return {};
    {
        kvo::rt::GilReleased unlocked;
        plc->trace_start(*n);
    }
    return py::none();
}

py::object trace_stop(const Plc &plc) {
    if (simulated_plc_refused()) return {};
    {
        kvo::rt::GilReleased unlocked;
        plc->trace_stop();
    }
    return py::none();
}

py::object tracing(const Plc &plc) {
    if (simulated_plc_refused()) return {};
    return py::bool_(plc->tracing());
}

py::object trace(const Plc &plc) {
    if (simulated_plc_refused()) return {};
    std::vector<TraceEvent> events;
    {
        kvo::rt::GilReleased unlocked;
        events = plc->trace();
    }
    py::list result;
    for (const auto &e : events) result.append(py::make_tuple(e.time, e.relay, e.value, e.station));
    return std::move(result);
}

py::object trace_dropped(const Plc &plc) {
    if (simulated_plc_refused()) return {};
    return py::int_(plc->trace_dropped());
}

using kvo::rt::FunctionSpec;
using kvo::rt::member;
using kvo::rt::Param;

const Param kName{"name", nullptr, "None"};
const Param kStation{"station", nullptr, "1"};

const FunctionSpec kMethods[] = {
    {"add_cylinder", member<&add_cylinder>,
     {{"valve"}, {"retracted", nullptr, "None"}, {"extended", nullptr, "None"}, {"stroke", nullptr, "0.3"},
      {"valve_back", nullptr, "None"}, {"leave", nullptr, "None"}, kName, kStation},
     nullptr,
     "Wire a pneumatic cylinder: it extends while relay `valve` is on (with `valve_back`, a\n"
     "double-solenoid one: extends when only `valve` is on, retracts when only `valve_back` is on,\n"
     "else keeps going). `stroke` seconds end to end; the sensor of the end it leaves goes off\n"
     "`leave` seconds after the start (default min(0.05, stroke/4)), the other comes on on arrival.\n"
     "Sensors `retracted`/`extended` are optional. Returns the device name (default: the valve)."},
    {"add_source", member<&add_source>,
     {{"sensor"}, {"interval", nullptr, "None"}, {"demand", nullptr, "None"}, {"take", nullptr, "None"}, kName,
      kStation},
     nullptr,
     "Wire a place for one part whose `sensor` is on while a part is there. With `interval`, a\n"
     "part arrives that many seconds after the place became empty (counting only while relay\n"
     "`demand` is on, if given); feed() puts one there at once. The part goes when a vacuum cup\n"
     "picks it, on take(), or while relay `take` is on. Returns the device name (default: the sensor)."},
    {"add_vacuum", member<&add_vacuum>,
     {{"valve"}, {"sensor"}, {"source"}, {"pick_at", nullptr, "()"}, {"drop_to", nullptr, "None"},
      {"drop_at", nullptr, "()"}, {"build", nullptr, "0.1"}, {"release", nullptr, "0.1"}, kName, kStation},
     nullptr,
     "Wire a vacuum cup: with relay `valve` on and a part of source `source` under the cup (every\n"
     "relay of `pick_at` on), vacuum builds in `build` seconds: `sensor` comes on and the cup takes\n"
     "the part. No part, no vacuum. With the valve off the vacuum is gone `release` seconds later\n"
     "and the part drops into source `drop_to` when every relay of `drop_at` is on (else it is\n"
     "lost). Returns the device name (default: the valve)."},
    {"add_callback", member<&add_callback>,
     {{"sensor"}, {"relays"}, {"function"}, {"delay", nullptr, "0.0"}, kName, kStation}, nullptr,
     "Wire a sensor computed by `function`, called with the values (bools) of `relays` in their\n"
     "order at every update of the devices: `sensor` shows its truth, once a new value has lasted\n"
     "`delay` seconds. The function runs on the thread that updates the devices and must not use\n"
     "a simulated PLC or a link (LinkError); an exception it raises goes to sys.unraisablehook and\n"
     "stops the device (its sensor keeps its value). Returns the device name (default: the sensor)."},
    {"jam", member<&jam>, {{"name"}, {"mode", nullptr, "'arrive'"}}, nullptr,
     "Jam cylinder `name` where it is now: \"leave\" (it never leaves its end, nor moves at all),\n"
     "\"arrive\" (it never arrives: the rod stops halfway) or None (free again)."},
    {"feed", member<&feed>, {{"name"}}, nullptr, "Put a part at source `name` now; False when one is there already."},
    {"take", member<&take>, {{"name"}}, nullptr, "Take the part from source `name` now; False when there is none."},
    {"advance", member<&advance>, {{"seconds"}}, nullptr, "Move the manual clock on and update the devices."},
    {"trace_start", member<&trace_start>, {{"limit", nullptr, "1000000"}}, nullptr,
     "Start a new I/O trace: every change of an X or Y relay of any station from now on, with\n"
     "relays already on recorded at time 0. At most `limit` events are kept."},
    {"trace_stop", member<&trace_stop>, {}, nullptr, "Stop recording; the events stay readable."},
};

const FunctionSpec kProperties[] = {
    {"devices", member<&devices>, {}, nullptr,
     "A new dict: device name -> dict of its kind, wiring and state, in the order added."},
    {"now", member<&now>, {}, nullptr, "The devices' clock in seconds."},
    {"tracing", member<&tracing>, {}, nullptr, "Whether the trace records."},
    {"trace", member<&trace>, {}, nullptr,
     "A new list of (time, relay, value, station) tuples, oldest first; time in seconds\n"
     "since trace_start, relay a name such as \"X1F\", value a bool."},
    {"trace_dropped", member<&trace_dropped>, {}, nullptr, "Events not kept because the trace was full."},
};

const FunctionSpec kClock{"clock", member<&clock>, {}, nullptr,
                          "The devices' clock: \"steady\" (real time, the default) or \"manual\" (moved only by\n"
                          "advance()). Switching keeps the time."};
const FunctionSpec kSetClock{"clock", member<&set_clock>, {{"mode"}}};

} // namespace

void bind_devices(py::class_<SimulatedPlc, std::shared_ptr<SimulatedPlc>> &cls) {
    for (const FunctionSpec &spec : kMethods) kvo::rt::add_method(cls, spec);
    for (const FunctionSpec &spec : kProperties) kvo::rt::add_property(cls, spec);
    kvo::rt::add_property(cls, kClock, &kSetClock);
}

} // namespace mew
