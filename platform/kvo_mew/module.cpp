// kvo_mew: the PLC link of kvo_fa machines and an in-process simulated PLC.
#include <pybind11/pybind11.h>

#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/errors.h"
#include "link/interruption.h"
#include "link/modbus_map.h"
#include "platform/kvo_mew/line_arguments.h"
#include "link/transport.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"

namespace py = pybind11;

namespace {

// The Python exception types, owned by the module (which is never unloaded).
PyObject *link_error = nullptr;
PyObject *address_error = nullptr;
PyObject *line_error = nullptr;
PyObject *slave_error = nullptr;
PyObject *link_down_error = nullptr;

PyObject *new_exception(py::module_ &m, const char *name, PyObject *base, const char *doc) {
    std::string qualified = std::string("kvo_mew.") + name;
    PyObject *type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (!type) kvo::rt::raise_current();  // the module's init fails with it
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

} // namespace

PyObject *mew::error_type(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::Address: return address_error;
    case ErrorKind::Line: return line_error;
    case ErrorKind::Slave: return slave_error;
    case ErrorKind::Raised: return nullptr;
    case ErrorKind::Link: break;
    }
    return link_error;
}

mew::ErrorSet mew::set_error(ErrorKind kind, const std::string &message) {
    PyObject *type = error_type(kind);
    if (!type) return {};
    // The whole text, also past a NUL that an argument quoted in it carried.
    py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.ptr());
    return {};
}

py::object mew::python_error(ErrorKind kind, const std::string &message) {
    py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
    if (!text) return {};
    return py::reinterpret_steal<py::object>(PyObject_CallOneArg(error_type(kind), text.ptr()));
}

py::handle mew::link_down_error_type() { return link_down_error; }

PYBIND11_MODULE(kvo_mew, m, KVO_MODULE_OPTIONS) {
    kvo::rt::init_module(m);
    m.doc() =
        "PLC link for kvo_fa machines.\n"
        "\n"
        "VedUzavur(port, baudrate=9600, **kwargs) reads and writes relays (X, Y, R), relay words\n"
        "(WX, WY, WR) and data words (D, DT) of a PLC station by FP element name. A port\n"
        "\"sim://NAME\" talks to the in-process simulated PLC NAME (see simulator()); a serial\n"
        "device (\"/dev/ttyUSB0\", \"COM3\") is a Modbus RTU line, each station a slave address.\n"
        "The link opens lazily on its first call; after close() the next call reopens it.\n"
        "\n"
        "Failures raise LinkError; unknown names, elements of the wrong kind, addresses outside\n"
        "the PLC's memory and bad stations raise AddressError (a LinkError); a failed serial\n"
        "line LineError, an exception response SlaveError (both LinkErrors); bad values raise\n"
        "TypeError or ValueError. A refused call changes nothing.\n"
        "\n"
        "What a link does shows in link.health (counters by failure cause, the last error, the\n"
        "seconds since the last good answer), link.on_state_change, and the loggers kvo_mew.link\n"
        "and kvo_mew.frames; LinkWatchdog turns a silent link into a machine fault.";

    link_error = new_exception(m, "LinkError", PyExc_Exception,
                               "A PLC link failure: no transport for the port, or a failed transaction.");
    address_error = new_exception(m, "AddressError", link_error,
                                  "An element name the PLC does not know, an element of the wrong kind for the "
                                  "operation, an address outside the PLC's memory or the element map, or a "
                                  "station out of range.");
    line_error = new_exception(m, "LineError", link_error,
                               "The serial line failed: the port could not be opened or failed, or the station "
                               "did not answer in time or answered with a damaged frame.");
    slave_error = new_exception(m, "SlaveError", link_error,
                                "The station answered with a Modbus exception response.");
    link_down_error = new_exception(m, "LinkDownError", link_error,
                                    "A LinkWatchdog's machine fault: the link gave no good answer within the "
                                    "watchdog's limit. Attributes: port, station, seconds, cause, last_error.");

    m.attr("__version__") = KVO_VERSION;

    // Link transactions of the main thread check for signals (Ctrl-C).
    mew::set_main_thread(
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());
    mew::install_engine_hooks();

    m.attr("SERIAL_TRANSPORT") = py::bool_(mew::serial_transport_built());
    m.attr("DEFAULT_ELEMENT_MAP") = mew::element_map_dict(mew::ElementMap::defaults());

    mew::bind_link(m);
    mew::bind_watchdog(m);
    mew::bind_simulator(m);
    mew::bind_c_api(m);
}
