// kvo_mew.VedUzavur: the Python face of the link.
#include "platform/common/not_none.h"
#include "platform/common/result.h"
#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/link.h"

#include <chrono>
#include <cstdio>

namespace py = pybind11;

namespace mew {

namespace {

const char *const kLinkDoc =
    "VedUzavur(port, baudrate=9600, **kwargs)\n"
    "\n"
    "Link to a PLC. Every operation takes the station number (1..255) first, then an FP\n"
    "element name: X/Y/R relays (X1F = bit 15 of word 1), WX/WY/WR relay words, D/DT data words.\n"
    "32-bit values occupy two consecutive words, low word first.\n"
    "\n"
    "port \"sim://NAME\" attaches to the simulated PLC NAME (kvo_mew.simulator(NAME)). A serial\n"
    "device (\"/dev/ttyUSB0\", \"COM3\") opens a Modbus RTU master on it; the station is the\n"
    "slave address (1..247). Serial keywords: parity=\"N\" (\"E\", \"O\"), bytesize=8,\n"
    "stopbits=1, timeout=0.5 (seconds to wait for an answer), retries=1 (after a time-out, a\n"
    "damaged answer or a stray frame), drain (seconds of silence awaited after a failed try\n"
    "before the next request; default the timeout), element_map (see DEFAULT_ELEMENT_MAP).\n"
    "Other ports raise LinkError (\"no transport for port ...\"). baudrate and the keywords\n"
    "are kept (baudrate, options).\n"
    "\n"
    "The link opens on start() or lazily on its first call. After close() the link reopens\n"
    "on its next call, so a machine may close a link and keep refreshing through it.\n"
    "Calls from several threads are served one transaction at a time; the GIL is released\n"
    "while a call waits for the PLC. A close() from another thread ends the transaction in\n"
    "progress with LinkError (\"link closed\"); Ctrl-C ends it with KeyboardInterrupt.";

} // namespace

// A copy of the link's health, taken when `health` is read.
struct HealthView {
    HealthCounters counters;
    py::object last_error;
    double since_good;  // negative before the first good answer

    uint64_t transactions() const { return counters.transactions; }
    uint64_t good() const { return counters.good; }
    uint64_t failed() const { return counters.failed(); }
    uint64_t retries() const { return counters.retries; }
    uint64_t reopens() const { return counters.reopens; }
    bool up() const { return counters.up; }
    py::object error() const { return last_error; }
    int station() const { return counters.last_station; }
    py::dict failures() const {
        py::dict result;
        for (size_t i = 0; i < kFailureCauses; ++i) result[cause_name(FailureCause(i))] = counters.failures[i];
        return result;
    }
    py::object last_cause() const {
        return counters.failed() ? py::object(py::str(cause_name(counters.last_cause))) : py::none();
    }
    py::object seconds_since_good() const { return since_good < 0 ? py::object(py::none()) : py::float_(since_good); }
    std::string repr() const {
        char since[32] = "never";
        if (since_good >= 0) std::snprintf(since, sizeof since, "%.3f s ago", since_good);
        return "<kvo_mew.LinkHealth " + std::string(counters.up ? "up" : "down") + ", " +
               std::to_string(counters.transactions) + " transactions, " + std::to_string(counters.failed()) +
               " failed, last good answer " + since + ">";
    }
};

namespace {

const char *const kHealthDoc =
    "LinkHealth: a copy of a link's health counters, taken when VedUzavur.health is read.\n"
    "\n"
    "transactions (run to their end), good, failed, failures (dict cause -> count; causes \"timeout\",\n"
    "\"crc\", \"exception\", \"stray\", \"closed\", \"port\", \"interrupted\", \"other\"), retries (serial tries beyond the\n"
    "first), reopens (opens after the first), up (False from a failed transaction until the next\n"
    "good one), last_error (the exception object last raised by a transaction, or None), last_cause,\n"
    "last_station (of the last failure, 0 before any), since_good (seconds since the last good\n"
    "answer, None before the first).";

} // namespace

HealthView Link::health() const {
    HealthView view{health_counters(), last_error(), -1.0};
    if (view.counters.answered)
        view.since_good = std::chrono::duration<double>(HealthClock::now() - view.counters.last_good).count();
    return view;
}

void bind_link(py::module_ &m) {
    // Every member refuses a missing self (pybind11 passes None as null).
    py::class_<HealthView>(m, "LinkHealth", kHealthDoc)
        .def_property_readonly("transactions", platform::not_none(&HealthView::transactions))
        .def_property_readonly("good", platform::not_none(&HealthView::good))
        .def_property_readonly("failed", platform::not_none(&HealthView::failed))
        .def_property_readonly("failures", platform::not_none(&HealthView::failures))
        .def_property_readonly("retries", platform::not_none(&HealthView::retries))
        .def_property_readonly("reopens", platform::not_none(&HealthView::reopens))
        .def_property_readonly("up", platform::not_none(&HealthView::up))
        .def_property_readonly("last_error", platform::not_none(&HealthView::error))
        .def_property_readonly("last_cause", platform::not_none(&HealthView::last_cause))
        .def_property_readonly("last_station", platform::not_none(&HealthView::station))
        .def_property_readonly("since_good", platform::not_none(&HealthView::seconds_since_good))
        .def("__repr__", platform::not_none(&HealthView::repr));

    auto st = py::arg("station");
    auto name = py::arg("name");
    py::class_<Link>(m, "VedUzavur", kLinkDoc)
        .def(py::init(platform::factory(&Link::create)), py::arg("port"), py::arg("baudrate") = 9600)
        .def("start", platform::checked<void>(&Link::start), "Open the link now (it also opens on its first call). Does nothing when open.")
        .def("close", platform::checked<void>(&Link::close),
             "Close the link. Its next call reopens it. A transaction in progress or waiting in another\n"
             "thread ends at once with LinkError (\"link closed\").")
        .def_static("interrupt_thread", &interrupt_thread, py::arg("ident"),
                    "Make the link transactions of thread `ident` (threading.get_ident()), on every link, fail\n"
                    "at once with LinkError (\"transaction interrupted\"), the one it runs now included, until\n"
                    "resume_thread(ident). A machine's close uses it to end its updater's transfer.")
        .def_static("resume_thread", &resume_thread, py::arg("ident"),
                    "Let thread `ident` run link transactions again after interrupt_thread(ident).")
        .def_property_readonly("is_open", platform::not_none(&Link::is_open), "Whether the link is open.")
        .def_property_readonly("port", platform::not_none(&Link::port), "The port given to the constructor.")
        .def_property_readonly("baudrate", platform::not_none(&Link::baudrate), "The baud rate given to the constructor.")
        .def_property_readonly("options", platform::not_none(&Link::options), "The further keyword arguments given to the constructor.")
        .def("__repr__", platform::checked<py::str>(&Link::repr))
        .def_property_readonly("health", platform::not_none(&Link::health),
                               "The link's health now: a LinkHealth (counters, last error, seconds since the "
                               "last good answer).")
        .def_property("on_state_change", platform::not_none(&Link::state_callback),
                      platform::checked<void>(&Link::set_state_callback),
                      "None, or a callable called as callback(link, up) when the link goes down (a transaction\n"
                      "failed after a good one) or comes up again, on the thread that ran the transaction,\n"
                      "after the link's lock is let go. Its exceptions are reported as unraisable.")
        .def("get_coil", platform::checked<py::bool_>(&Link::get_coil), st, name, "Read relay `name` (X, Y, R) of `station`: True or False.")
        .def("set_coil", platform::checked<void>(&Link::set_coil), st, name, py::arg("value"),
             "Set relay `name` (X, Y, R) of `station` to `value` (True/False or 1/0).")
        .def("get_coil_uint16", platform::checked<py::int_>(&Link::get_coil_uint16), st, name,
             "Read the 16 relays of relay word `name` (WX, WY, WR) as one word, bit 0 the lowest.")
        .def("set_coil_uint16", platform::checked<void>(&Link::set_coil_uint16), st, name, py::arg("value"),
             "Write the word `value` (0..65535) to the 16 relays of relay word `name` (WX, WY, WR).")
        .def("set_uint16", platform::checked<void>(&Link::set_uint16), st, name, py::arg("value"),
             "Write the word `value` (0..65535) to word `name` (D, DT, WX, WY, WR).")
        .def("get_multi_uint16", platform::checked<py::list>(&Link::get_multi_uint16), st, name, py::arg("count"),
             "Read `count` consecutive words from `name` on: a list of ints 0..65535.")
        .def("set_multi_uint16", platform::checked<void>(&Link::set_multi_uint16), st, name, py::arg("values"),
             "Write the words of `values` (list or tuple) to consecutive words from `name` on.")
        .def("get_uint32", platform::checked<py::int_>(&Link::get_uint32), st, name, "Read the unsigned double word at `name` (low word first).")
        .def("set_uint32", platform::checked<void>(&Link::set_uint32), st, name, py::arg("value"),
             "Write `value` (0..4294967295) as a double word at `name` (low word first).")
        .def("get_multi_uint32", platform::checked<py::list>(&Link::get_multi_uint32), st, name, py::arg("count"),
             "Read `count` unsigned double words from `name` on: a list of ints.")
        .def("set_multi_uint32", platform::checked<void>(&Link::set_multi_uint32), st, name, py::arg("values"),
             "Write unsigned double words from `name` on, two words each, low word first.")
        .def("get_multi_int32", platform::checked<py::list>(&Link::get_multi_int32), st, name, py::arg("count"),
             "Read `count` signed double words from `name` on: a list of ints.")
        .def("set_multi_int32", platform::checked<void>(&Link::set_multi_int32), st, name, py::arg("values"),
             "Write signed double words (-2147483648..2147483647) from `name` on, low word first.");
}

} // namespace mew
