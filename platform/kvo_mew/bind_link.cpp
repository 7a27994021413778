// kvo_mew.VedUzavur: the Python face of the link.
#include "runtime/errors.h"
#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/link.h"
#include "link/interruption.h"
#include "runtime/native_class.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

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
    "\"tcp://HOST[:PORT]\" is a Modbus TCP client (port 502; the station is the unit\n"
    "identifier), \"tls://HOST[:PORT]?ca=CA.pem&cert=CLIENT.pem&key=CLIENT.key\" the same in TLS\n"
    "(port 802), \"rtu+tcp://HOST:PORT\" an RTU master through a serial device server; they\n"
    "take timeout, retries, element_map and connect_timeout=3.0 (rtu+tcp also the serial\n"
    "keywords) and reconnect on the next call after a lost connection.\n"
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

namespace {

using kvo::rt::Args;
using kvo::rt::FunctionSpec;
using kvo::rt::member;

// A thread's ident (threading.get_ident()), as the C++ value.
std::optional<unsigned long> ident_arg(const char *op, py::handle ident) {
    if (!PyLong_Check(ident.ptr()))
        return kvo::rt::fail(PyExc_TypeError,
                               std::string(op) + "() ident must be an int, not " + Py_TYPE(ident.ptr())->tp_name);
    unsigned long value = PyLong_AsUnsignedLong(ident.ptr());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return std::nullopt;
    return value;
}

py::object init_link(py::handle self, const Args &args) {
    bool made = kvo::rt::adopt<Link>(self, [&] {
        return Link::create(py::reinterpret_borrow<py::object>(args[0]), py::reinterpret_borrow<py::object>(args[1]),
                            py::reinterpret_borrow<py::kwargs>(args.kwargs()));
    });
    return made ? py::none() : py::object();
}

template <void (*Act)(unsigned long)>
py::object on_thread(py::handle, const Args &args) {
    std::optional<unsigned long> ident = ident_arg(Act == interrupt_thread ? "interrupt_thread" : "resume_thread", args[0]);
    if (!ident) return {};
    Act(*ident);
    return py::none();
}

const FunctionSpec kHealthMembers[] = {
    {"transactions", member<&HealthView::transactions>, {}},
    {"good", member<&HealthView::good>, {}},
    {"failed", member<&HealthView::failed>, {}},
    {"failures", member<&HealthView::failures>, {}},
    {"retries", member<&HealthView::retries>, {}},
    {"reopens", member<&HealthView::reopens>, {}},
    {"up", member<&HealthView::up>, {}},
    {"last_error", member<&HealthView::error>, {}},
    {"last_cause", member<&HealthView::last_cause>, {}},
    {"last_station", member<&HealthView::station>, {}},
    {"since_good", member<&HealthView::seconds_since_good>, {}},
};
const FunctionSpec kHealthRepr{"__repr__", member<&HealthView::repr>, {}};

// The parameters of the transactions: the station, an element name, then
// the value, values or count.
const std::vector<kvo::rt::Param> kAt{{"station"}, {"name"}};
const std::vector<kvo::rt::Param> kAtValue{{"station"}, {"name"}, {"value"}};
const std::vector<kvo::rt::Param> kAtValues{{"station"}, {"name"}, {"values"}};
const std::vector<kvo::rt::Param> kAtCount{{"station"}, {"name"}, {"count"}};

const FunctionSpec kLinkMethods[] = {
    {"__init__", init_link, {{"port"}, {"baudrate", nullptr, "9600"}, kvo::rt::var_kwargs("kwargs")}},
    {"start", member<&Link::start>, {}, nullptr,
     "Open the link now (it also opens on its first call). Does nothing when open."},
    {"close", member<&Link::close>, {}, nullptr,
     "Close the link. Its next call reopens it. A transaction in progress or waiting in another\n"
     "thread ends at once with LinkError (\"link closed\")."},
    {"interrupt_thread", on_thread<interrupt_thread>, {{"ident"}}, nullptr,
     "Make the link transactions of thread `ident` (threading.get_ident()), on every link, fail\n"
     "at once with LinkError (\"transaction interrupted\"), the one it runs now included, until\n"
     "resume_thread(ident). A machine's close uses it to end its updater's transfer.",
     true},
    {"resume_thread", on_thread<resume_thread>, {{"ident"}}, nullptr,
     "Let thread `ident` run link transactions again after interrupt_thread(ident).", true},
    {"__repr__", member<&Link::repr>, {}},
    {"get_coil", member<&Link::get_coil>, kAt, nullptr, "Read relay `name` (X, Y, R) of `station`: True or False."},
    {"set_coil", member<&Link::set_coil>, kAtValue, nullptr,
     "Set relay `name` (X, Y, R) of `station` to `value` (True/False or 1/0)."},
    {"get_coil_uint16", member<&Link::get_coil_uint16>, kAt, nullptr,
     "Read the 16 relays of relay word `name` (WX, WY, WR) as one word, bit 0 the lowest."},
    {"set_coil_uint16", member<&Link::set_coil_uint16>, kAtValue, nullptr,
     "Write the word `value` (0..65535) to the 16 relays of relay word `name` (WX, WY, WR)."},
    {"set_uint16", member<&Link::set_uint16>, kAtValue, nullptr,
     "Write the word `value` (0..65535) to word `name` (D, DT, WX, WY, WR)."},
    {"get_multi_uint16", member<&Link::get_multi_uint16>, kAtCount, nullptr,
     "Read `count` consecutive words from `name` on: a list of ints 0..65535."},
    {"set_multi_uint16", member<&Link::set_multi_uint16>, kAtValues, nullptr,
     "Write the words of `values` (list or tuple) to consecutive words from `name` on."},
    {"get_uint32", member<&Link::get_uint32>, kAt, nullptr, "Read the unsigned double word at `name` (low word first)."},
    {"set_uint32", member<&Link::set_uint32>, kAtValue, nullptr,
     "Write `value` (0..4294967295) as a double word at `name` (low word first)."},
    {"get_multi_uint32", member<&Link::get_multi_uint32>, kAtCount, nullptr,
     "Read `count` unsigned double words from `name` on: a list of ints."},
    {"set_multi_uint32", member<&Link::set_multi_uint32>, kAtValues, nullptr,
     "Write unsigned double words from `name` on, two words each, low word first."},
    {"get_multi_int32", member<&Link::get_multi_int32>, kAtCount, nullptr,
     "Read `count` signed double words from `name` on: a list of ints."},
    {"set_multi_int32", member<&Link::set_multi_int32>, kAtValues, nullptr,
     "Write signed double words (-2147483648..2147483647) from `name` on, low word first."},
};

const FunctionSpec kLinkProperties[] = {
    {"is_open", member<&Link::is_open>, {}, nullptr, "Whether the link is open."},
    {"port", member<&Link::port>, {}, nullptr, "The port given to the constructor."},
    {"baudrate", member<&Link::baudrate>, {}, nullptr, "The baud rate given to the constructor."},
    {"options", member<&Link::options>, {}, nullptr, "The further keyword arguments given to the constructor."},
    {"health", member<&Link::health>, {}, nullptr,
     "The link's health now: a LinkHealth (counters, last error, seconds since the last good answer)."},
};
const FunctionSpec kStateCallback{"on_state_change", member<&Link::state_callback>, {}, nullptr,
                                  "None, or a callable called as callback(link, up) when the link goes down (a transaction\n"
                                  "failed after a good one) or comes up again, on the thread that ran the transaction,\n"
                                  "after the link's lock is let go. Its exceptions are reported as unraisable."};
const FunctionSpec kSetStateCallback{"on_state_change", member<&Link::set_state_callback>, {{"callback"}}};

} // namespace

void bind_link(py::module_ &m) {
    py::class_<HealthView> health(m, "LinkHealth", kHealthDoc);
    for (const FunctionSpec &spec : kHealthMembers) kvo::rt::add_property(health, spec);
    kvo::rt::add_method(health, kHealthRepr);

    py::class_<Link> link(m, "VedUzavur", kLinkDoc);
    for (const FunctionSpec &spec : kLinkMethods) kvo::rt::add_method(link, spec);
    for (const FunctionSpec &spec : kLinkProperties) kvo::rt::add_property(link, spec);
    kvo::rt::add_property(link, kStateCallback, &kSetStateCallback);
}

} // namespace mew
