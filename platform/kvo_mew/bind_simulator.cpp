// kvo_mew.simulator(), reset_simulators() and SimulatedPlc: the machine's side
// of a simulated PLC, for tests and dry runs.
#include <cmath>

#include "platform/kvo_mew/arguments.h"
#include "platform/common/not_none.h"
#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/simulated_plc.h"

namespace py = pybind11;

namespace mew {
namespace {

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
    int st = station_arg("get", station);
    Element e = element_arg("get", name);
    uint16_t word = 0;
    bool bit = false;
    {
        py::gil_scoped_release unlocked;
        plc->access([&](PlcMemory &memory) {
            if (e.is_word())
                word = memory.read_words(st, e.area, e.word, 1)[0];
            else
                bit = memory.read_bit(st, e.area, e.word, e.bit);
        });
    }
    return e.is_word() ? py::object(py::int_(word)) : py::object(py::bool_(bit));
}

void set(const Plc &plc, py::handle name, py::handle value, py::handle station) {
    int st = station_arg("set", station);
    Element e = element_arg("set", name);
    uint16_t word = e.is_word() ? uint16_arg("set", value) : 0;
    bool bit = e.is_word() ? false : coil_arg("set", value);
    py::gil_scoped_release unlocked;
    plc->access([&](PlcMemory &memory) {
        if (e.is_word())
            memory.write_words(st, e.area, e.word, {word});
        else
            memory.write_bit(st, e.area, e.word, e.bit, bit);
    });
}

uint32_t read_double(const Plc &plc, const char *op, py::handle name, py::handle station) {
    int st = station_arg(op, station);
    Element e = word_arg(op, name);
    block_arg(op, e, 2);
    std::vector<uint16_t> words;
    py::gil_scoped_release unlocked;
    plc->access([&](PlcMemory &memory) { words = memory.read_words(st, e.area, e.word, 2); });
    return uint32_t(words[0]) | (uint32_t(words[1]) << 16);
}

void write_double(const Plc &plc, const char *op, py::handle name, uint32_t value, py::handle station) {
    int st = station_arg(op, station);
    Element e = word_arg(op, name);
    block_arg(op, e, 2);
    py::gil_scoped_release unlocked;
    plc->access([&](PlcMemory &memory) {
        memory.write_words(st, e.area, e.word, {uint16_t(value & 0xFFFFu), uint16_t(value >> 16)});
    });
}

// The accessors without named arguments get a null holder for a None self.
const Plc &plc_of(const Plc &plc) { return platform::holder_of(plc); }

void set_latency(const Plc &plc, double seconds) {
    plc_of(plc);
    // A day at most: longer sleeps would overflow the clock's nanoseconds.
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 86400)
        throw py::value_error("latency must be a number of seconds from 0 to 86400, not " + std::to_string(seconds));
    plc->set_latency(seconds);
}

} // namespace

void bind_simulator(py::module_ &m) {
    auto name = py::arg("name");
    auto value = py::arg("value");
    auto station = py::arg("station") = 1;
    py::class_<SimulatedPlc, Plc> cls(m, "SimulatedPlc", kPlcDoc);
    cls.def_property_readonly("name", platform::not_none(&SimulatedPlc::name), "The NAME of \"sim://NAME\".")
        .def("get", &get, name, station,
             "Read element `name` of `station`: a bool for a relay (X3), an int for a word (D100, WX0).")
        .def("set", &set, name, value, station,
             "Write element `name` of `station`: a bool (or 1/0) to a relay, an int 0..65535 to a word.")
        .def(
            "get_uint32",
            [](const Plc &plc, py::handle n, py::handle s) { return read_double(plc, "get_uint32", n, s); },
            name, station, "Read the unsigned double word at word `name` (low word first).")
        .def(
            "set_uint32",
            [](const Plc &plc, py::handle n, py::handle v, py::handle s) {
                write_double(plc, "set_uint32", n, uint32_arg("set_uint32", v), s);
            },
            name, value, station, "Write an unsigned double word at word `name` (low word first).")
        .def(
            "get_int32",
            [](const Plc &plc, py::handle n, py::handle s) { return int32_t(read_double(plc, "get_int32", n, s)); },
            name, station, "Read the signed double word at word `name` (low word first).")
        .def(
            "set_int32",
            [](const Plc &plc, py::handle n, py::handle v, py::handle s) {
                write_double(plc, "set_int32", n, uint32_t(int32_arg("set_int32", v)), s);
            },
            name, value, station, "Write a signed double word at word `name` (low word first).")
        .def(
            "map_io",
            [](const Plc &plc, py::handle x_words, py::handle y_words, py::handle y_shift, py::handle st) {
                const char *op = "map_io";
                plc->map_io(station_arg(op, st), uint32_t(count_arg(op, x_words, "x_words")),
                            uint32_t(count_arg(op, y_words, "y_words")), uint32_t(count_arg(op, y_shift, "y_shift")));
            },
            py::arg("x_words"), py::arg("y_words"), py::arg("y_shift"), station,
            "Give `station` the program of the FP register map: before each transaction copy\n"
            "WX0.. into D0.. (x_words words), after it copy D<y_shift>.. into WY0.. (y_words words).\n"
            "map_io(0, 0, 0) removes it.")
        .def_property("latency", platform::not_none(&SimulatedPlc::latency), &set_latency,
                      "Seconds each link transaction takes (slept with the GIL released).")
        .def(
            "fail_next", [](const Plc &plc, py::handle n) { plc->fail_next(count_arg("fail_next", n, "n")); },
            py::arg("n") = 1, "Make the next `n` link transactions raise LinkError (0 cancels).")
        .def_property_readonly(
            "counts",
            [](const Plc &plc) {
                py::dict result;
                for (const auto &entry : plc_of(plc)->counts()) result[py::str(entry.first)] = py::int_(entry.second);
                return result;
            },
            "Link transactions received so far, failed ones included: dict operation name -> count.")
        .def("reset_counts", platform::not_none(&SimulatedPlc::reset_counts), "Set every transaction count back to zero.")
        .def("__repr__", [](const Plc &plc) { return "<kvo_mew.SimulatedPlc '" + plc_of(plc)->name() + "'>"; });
    bind_devices(cls);

    m.def(
        "simulator",
        [](const std::string &plc_name) {
            if (plc_name.empty()) throw py::value_error("simulator() needs a non-empty name");
            return simulator(plc_name);
        },
        name,
        "The simulated PLC NAME that \"sim://NAME\" ports talk to, created on first use.");
    m.def("reset_simulators", &reset_simulators,
          "Forget every simulated PLC. Links keep theirs until they close; reopened, they attach to "
          "a fresh one of the same name.");
}

} // namespace mew
