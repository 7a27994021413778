// kvo_mew.simulator(), reset_simulators() and SimulatedPlc: the machine's side
// of a simulated PLC, for tests and dry runs.
#include <cmath>

#include "runtime/errors.h"
#include "platform/kvo_mew/arguments.h"
#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/callback_device.h"
#include "platform/kvo_mew/errors.h"
#include "link/simulated_plc.h"
#include "link/tcp_socket.h"
#include "runtime/native_class.h"
#include "runtime/gil.h"

namespace py = pybind11;

namespace mew {
namespace {

using kvo::rt::Args;
using kvo::rt::FunctionSpec;
using kvo::rt::member;

using Plc = std::shared_ptr<SimulatedPlc>;

const char *const kPlcDoc =
    "A simulated PLC, shared by every link whose port is \"sim://NAME\".\n"
    "\n"
    "Each station has its own memory: relays X, Y, R (words 0..999) and data words D (0..99999),\n"
    "all zero at first. get/set reach any element directly (no latency, not counted, never\n"
    "failing). Link transactions sleep `latency` seconds (GIL released), fail while\n"
    "fail_next() asks for it, are counted per operation in `counts`, and run the station's\n"
    "I/O program set with map_io().\n"
    "\n"
    "Devices (add_cylinder, add_vacuum, add_source, add_callback) watch output relays and drive\n"
    "input relays on the PLC's clock, updated at every transaction and access; trace_start()\n"
    "records every change of the X and Y relays with its time.";

// Element access for the machine's side: checked with the GIL, served without it.
py::object get(const Plc &plc, py::handle name, py::handle station) {
    std::optional<int> st = station_arg("get", station);
    if (!st) return {};
    std::optional<Element> e = element_arg("get", name);
    if (!e || simulated_plc_refused()) return {};
    uint16_t word = 0;
    bool bit = false;
    {
        kvo::rt::GilReleased unlocked;
        plc->access([&](PlcMemory &memory) {
            if (e->is_word())
                word = memory.read_words(*st, e->area, e->word, 1)[0];
            else
                bit = memory.read_bit(*st, e->area, e->word, e->bit);
        });
    }
    return e->is_word() ? py::object(py::int_(word)) : py::object(py::bool_(bit));
}

py::object set(const Plc &plc, py::handle name, py::handle value, py::handle station) {
    std::optional<int> st = station_arg("set", station);
    if (!st) return {};
    std::optional<Element> e = element_arg("set", name);
    if (!e) return {};
    std::optional<uint16_t> word = e->is_word() ? uint16_arg("set", value) : uint16_t(0);
    std::optional<bool> bit = e->is_word() ? false : coil_arg("set", value);
    if (!word || !bit || simulated_plc_refused()) return {};
    {
        kvo::rt::GilReleased unlocked;
        plc->access([&](PlcMemory &memory) {
            if (e->is_word())
                memory.write_words(*st, e->area, e->word, {*word});
            else
                memory.write_bit(*st, e->area, e->word, e->bit, *bit);
        });
    }
    return py::none();
}

std::optional<uint32_t> read_double(const Plc &plc, const char *op, py::handle name, py::handle station) {
    std::optional<int> st = station_arg(op, station);
    if (!st) return std::nullopt;
    std::optional<Element> e = word_arg(op, name);
    if (!e || !block_arg(op, *e, 2) || simulated_plc_refused()) return std::nullopt;
    std::vector<uint16_t> words;
    kvo::rt::GilReleased unlocked;
    plc->access([&](PlcMemory &memory) { words = memory.read_words(*st, e->area, e->word, 2); });
    return uint32_t(words[0]) | (uint32_t(words[1]) << 16);
}

py::object write_double(const Plc &plc, const char *op, py::handle name, std::optional<uint32_t> value,
                        py::handle station) {
    if (!value) return {};
    std::optional<int> st = station_arg(op, station);
    if (!st) return {};
    std::optional<Element> e = word_arg(op, name);
    if (!e || !block_arg(op, *e, 2) || simulated_plc_refused()) return {};
    {
        kvo::rt::GilReleased unlocked;
        plc->access([&](PlcMemory &memory) {
            memory.write_words(*st, e->area, e->word, {uint16_t(*value & 0xFFFFu), uint16_t(*value >> 16)});
        });
    }
    return py::none();
}

py::object get_uint32(const Plc &plc, py::handle name, py::handle station) {
    std::optional<uint32_t> value = read_double(plc, "get_uint32", name, station);
    if (!value) return {};
    return py::int_(*value);
}

py::object set_uint32(const Plc &plc, py::handle name, py::handle value, py::handle station) {
    return write_double(plc, "set_uint32", name, uint32_arg("set_uint32", value), station);
}

py::object get_int32(const Plc &plc, py::handle name, py::handle station) {
    std::optional<uint32_t> value = read_double(plc, "get_int32", name, station);
    if (!value) return {};
    return py::int_(int32_t(*value));
}

py::object set_int32(const Plc &plc, py::handle name, py::handle value, py::handle station) {
    std::optional<int32_t> v = int32_arg("set_int32", value);
    return write_double(plc, "set_int32", name, v ? std::optional<uint32_t>(uint32_t(*v)) : std::nullopt, station);
}

py::object map_io(const Plc &plc, py::handle x_words, py::handle y_words, py::handle y_shift, py::handle station) {
    const char *op = "map_io";
    std::optional<int> st = station_arg(op, station);
    if (!st) return {};
    std::optional<size_t> x = count_arg(op, x_words, "x_words");
    if (!x) return {};
    std::optional<size_t> y = count_arg(op, y_words, "y_words");
    if (!y) return {};
    std::optional<size_t> shift = count_arg(op, y_shift, "y_shift");
    if (!shift) return {};
    if (auto error = SimulatedPlc::io_map_error(uint32_t(*x), uint32_t(*y), uint32_t(*shift)))
        return set_error(ErrorKind::Address, *error);
    if (simulated_plc_refused()) return {};
    plc->map_io(*st, uint32_t(*x), uint32_t(*y), uint32_t(*shift));
    return py::none();
}

py::object set_latency(const Plc &plc, py::handle value) {
    double seconds = PyFloat_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) return {};
    // A day at most: longer sleeps would overflow the clock's nanoseconds.
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 86400)
        return kvo::rt::fail(PyExc_ValueError,
                               "latency must be a number of seconds from 0 to 86400, not " + std::to_string(seconds));
    if (simulated_plc_refused()) return {};
    plc->set_latency(seconds);
    return py::none();
}

py::object fail_next(const Plc &plc, py::handle n) {
    std::optional<size_t> count = count_arg("fail_next", n, "n");
    if (!count || simulated_plc_refused()) return {};
    plc->fail_next(*count);
    return py::none();
}

py::object counts(const Plc &plc) {
    if (simulated_plc_refused()) return {};
    py::dict result;
    for (const auto &entry : plc->counts()) result[py::str(entry.first)] = py::int_(entry.second);
    return std::move(result);
}

py::object reset_counts(const Plc &plc) {
    if (simulated_plc_refused()) return {};
    plc->reset_counts();
    return py::none();
}

py::object serve(const Plc &plc, py::handle port) {
    if (!PyUnicode_Check(port.ptr()))
        return kvo::rt::fail(PyExc_TypeError, std::string("serve() port must be a str, not ") + Py_TYPE(port.ptr())->tp_name);
    std::optional<std::string> text = utf8_of(port);
    if (!text || simulated_plc_refused()) return {};
    const std::string tcp = "tcp://", rtu_tcp = "rtu+tcp://";
    bool rtu_frames = text->compare(0, rtu_tcp.size(), rtu_tcp) == 0;
    std::string host;
    int number = 502;
    std::optional<std::string> error;
    if (!rtu_frames && text->compare(0, tcp.size(), tcp) != 0)
        error = "a simulated PLC serves tcp://HOST[:PORT] or rtu+tcp://HOST:PORT";
    else
        error = parse_endpoint(text->substr((rtu_frames ? rtu_tcp : tcp).size()), rtu_frames, true, host, number);
    if (error) return set_error(ErrorKind::Link, "cannot serve '" + *text + "': " + *error);
    std::string address;
    std::optional<LinkError> failure;
    {
        kvo::rt::GilReleased unlocked;
        try {
            address = plc->serve(host, number, rtu_frames);
        } catch (const LinkError &refused) {
            failure = refused;
        }
    }
    if (failure) return set_error(ErrorKind::Link, "cannot serve '" + *text + "': " + failure->what());
    return py::str(address);
}

py::object stop_serving(const Plc &plc) {
    if (simulated_plc_refused()) return {};
    plc->stop_serving();
    return py::none();
}

py::object serving(const Plc &plc) {
    std::string address = plc->serving();
    if (address.empty()) return py::none();
    return py::str(address);
}

py::object repr(const Plc &plc) { return py::str("<kvo_mew.SimulatedPlc '" + plc->name() + "'>"); }

// simulator(name): the simulated PLC NAME, created on first use.
py::object simulator_named(py::handle, const Args &args) {
    if (!PyUnicode_Check(args.ptr(0)))
        return kvo::rt::fail(PyExc_TypeError,
                               std::string("simulator() name must be a str, not ") + Py_TYPE(args.ptr(0))->tp_name);
    std::optional<std::string> plc_name = utf8_of(args[0]);
    if (!plc_name) return {};
    if (plc_name->empty()) return kvo::rt::fail(PyExc_ValueError, "simulator() needs a non-empty name");
    return py::cast(simulator(*plc_name));
}

py::object forget_simulators(py::handle, const Args &) {
    reset_simulators();
    return py::none();
}

const std::vector<kvo::rt::Param> kNameAt{{"name"}, {"station", nullptr, "1"}};
const std::vector<kvo::rt::Param> kNameValueAt{{"name"}, {"value"}, {"station", nullptr, "1"}};

const FunctionSpec kMethods[] = {
    {"get", member<&get>, kNameAt, nullptr,
     "Read element `name` of `station`: a bool for a relay (X3), an int for a word (D100, WX0)."},
    {"set", member<&set>, kNameValueAt, nullptr,
     "Write element `name` of `station`: a bool (or 1/0) to a relay, an int 0..65535 to a word."},
    {"get_uint32", member<&get_uint32>, kNameAt, nullptr, "Read the unsigned double word at word `name` (low word first)."},
    {"set_uint32", member<&set_uint32>, kNameValueAt, nullptr,
     "Write an unsigned double word at word `name` (low word first)."},
    {"get_int32", member<&get_int32>, kNameAt, nullptr, "Read the signed double word at word `name` (low word first)."},
    {"set_int32", member<&set_int32>, kNameValueAt, nullptr, "Write a signed double word at word `name` (low word first)."},
    {"map_io", member<&map_io>, {{"x_words"}, {"y_words"}, {"y_shift"}, {"station", nullptr, "1"}}, nullptr,
     "Give `station` the program of the FP register map: before each transaction copy\n"
     "WX0.. into D0.. (x_words words), after it copy D<y_shift>.. into WY0.. (y_words words).\n"
     "map_io(0, 0, 0) removes it."},
    {"fail_next", member<&fail_next>, {{"n", nullptr, "1"}}, nullptr,
     "Make the next `n` link transactions raise LinkError (0 cancels)."},
    {"reset_counts", member<&reset_counts>, {}, nullptr, "Set every transaction count back to zero."},
    {"serve", member<&serve>, {{"port"}}, nullptr,
     "Serve this PLC as a Modbus TCP server on port \"tcp://HOST[:PORT]\" (default 502, 0 for a free\n"
     "one), or with RTU frames on \"rtu+tcp://HOST:PORT\", from a thread of its own, the unit\n"
     "identifier (slave address) as the station: the address served.\n"
     "Raises LinkError when it cannot listen or serves already."},
    {"stop_serving", member<&stop_serving>, {}, nullptr, "Stop serving (nothing when it does not serve)."},
    {"__repr__", member<&repr>, {}},
};

const FunctionSpec kName{"name", member<&SimulatedPlc::name>, {}, nullptr, "The NAME of \"sim://NAME\"."};
const FunctionSpec kLatency{"latency", member<&SimulatedPlc::latency>, {}, nullptr,
                            "Seconds each link transaction takes (slept with the GIL released)."};
const FunctionSpec kSetLatency{"latency", member<&set_latency>, {{"seconds"}}};
const FunctionSpec kCounts{"counts", member<&counts>, {}, nullptr,
                           "Link transactions received so far, failed ones included: dict operation name -> count."};

const FunctionSpec kServing{"serving", member<&serving>, {}, nullptr,
                            "The address served (\"tcp://127.0.0.1:5020\"), or None."};

const FunctionSpec kSimulator{"simulator", simulator_named, {{"name"}}, nullptr,
                              "The simulated PLC NAME that \"sim://NAME\" ports talk to, created on first use.", true};
const FunctionSpec kResetSimulators{"reset_simulators", forget_simulators, {}, nullptr,
                                   "Forget every simulated PLC. Links keep theirs until they close; reopened, they "
                                   "attach to a fresh one of the same name.",
                                   true};

} // namespace

void bind_simulator(py::module_ &m) {
    py::class_<SimulatedPlc, Plc> cls(m, "SimulatedPlc", kPlcDoc);
    for (const FunctionSpec &spec : kMethods) kvo::rt::add_method(cls, spec);
    kvo::rt::add_property(cls, kName);
    kvo::rt::add_property(cls, kLatency, &kSetLatency);
    kvo::rt::add_property(cls, kCounts);
    kvo::rt::add_property(cls, kServing);
    bind_devices(cls);

    kvo::rt::add_function(m, kSimulator);
    kvo::rt::add_function(m, kResetSimulators);
}

} // namespace mew
