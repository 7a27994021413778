// kvo_mew.VedUzavur: the Python face of the link.
#include "../common/not_none.h"
#include "bindings.h"
#include "link.h"

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

void bind_link(py::module_ &m) {
    auto st = py::arg("station");
    auto name = py::arg("name");
    py::class_<Link>(m, "VedUzavur", kLinkDoc)
        .def(py::init([](py::object port, py::object baudrate, py::kwargs options) {
                 return new Link(std::move(port), std::move(baudrate), std::move(options));
             }),
             py::arg("port"), py::arg("baudrate") = 9600)
        .def("start", platform::not_none(&Link::start), "Open the link now (it also opens on its first call). Does nothing when open.")
        .def("close", platform::not_none(&Link::close),
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
        .def("__repr__", platform::not_none(&Link::repr))
        .def("get_coil", &Link::get_coil, st, name, "Read relay `name` (X, Y, R) of `station`: True or False.")
        .def("set_coil", &Link::set_coil, st, name, py::arg("value"),
             "Set relay `name` (X, Y, R) of `station` to `value` (True/False or 1/0).")
        .def("get_coil_uint16", &Link::get_coil_uint16, st, name,
             "Read the 16 relays of relay word `name` (WX, WY, WR) as one word, bit 0 the lowest.")
        .def("set_coil_uint16", &Link::set_coil_uint16, st, name, py::arg("value"),
             "Write the word `value` (0..65535) to the 16 relays of relay word `name` (WX, WY, WR).")
        .def("set_uint16", &Link::set_uint16, st, name, py::arg("value"),
             "Write the word `value` (0..65535) to word `name` (D, DT, WX, WY, WR).")
        .def("get_multi_uint16", &Link::get_multi_uint16, st, name, py::arg("count"),
             "Read `count` consecutive words from `name` on: a list of ints 0..65535.")
        .def("set_multi_uint16", &Link::set_multi_uint16, st, name, py::arg("values"),
             "Write the words of `values` (list or tuple) to consecutive words from `name` on.")
        .def("get_uint32", &Link::get_uint32, st, name, "Read the unsigned double word at `name` (low word first).")
        .def("set_uint32", &Link::set_uint32, st, name, py::arg("value"),
             "Write `value` (0..4294967295) as a double word at `name` (low word first).")
        .def("get_multi_uint32", &Link::get_multi_uint32, st, name, py::arg("count"),
             "Read `count` unsigned double words from `name` on: a list of ints.")
        .def("set_multi_uint32", &Link::set_multi_uint32, st, name, py::arg("values"),
             "Write unsigned double words from `name` on, two words each, low word first.")
        .def("get_multi_int32", &Link::get_multi_int32, st, name, py::arg("count"),
             "Read `count` signed double words from `name` on: a list of ints.")
        .def("set_multi_int32", &Link::set_multi_int32, st, name, py::arg("values"),
             "Write signed double words (-2147483648..2147483647) from `name` on, low word first.");
}

} // namespace mew
