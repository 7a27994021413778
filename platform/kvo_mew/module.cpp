// kvo_mew: the PLC link of kvo_fa machines and an in-process simulated PLC.
#include <pybind11/pybind11.h>

#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/errors.h"
#include "link/interruption.h"
#include "link/modbus_map.h"
#include "platform/kvo_mew/line_arguments.h"
#include "link/transport.h"
#include "platform/kvo_mew/state.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"

namespace py = pybind11;

// The one pointer to the live instance's state (state.h).
mew::State *mew::state = nullptr;

void define_module(py::module_ &m);

namespace {

using mew::State;

PyObject *new_exception(py::module_ &m, const char *name, PyObject *base, const char *doc) {
    std::string qualified = std::string("kvo_mew.") + name;
    PyObject *type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (!type) kvo::rt::raise_current();  // the module's init fails with it
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;  // the state's reference
}

State *state_of(PyObject *module) { return static_cast<State *>(PyModule_GetState(module)); }

int traverse_state(PyObject *module, visitproc visit, void *arg) {
    State *st = state_of(module);
#define MEW_VISIT(field) Py_VISIT(st->field);
    MEW_STATE_OBJECTS(MEW_VISIT)
#undef MEW_VISIT
    return 0;
}

int clear_state(PyObject *module) {
    State *st = state_of(module);
#define MEW_CLEAR(field) Py_CLEAR(st->field);
    MEW_STATE_OBJECTS(MEW_CLEAR)
#undef MEW_CLEAR
    return 0;
}

void free_state(void *module) {
    auto *m = static_cast<PyObject *>(module);
    if (state_of(m) == mew::state) mew::state = nullptr;
    clear_state(m);
    kvo::rt::end_module(m);
}

int exec_module(PyObject *module);

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void *>(kvo::rt::create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    KVO_MODULE_SLOTS_END,
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "kvo_mew", nullptr, sizeof(State), nullptr,
                       kSlots, traverse_state, clear_state, free_state};

int exec_module(PyObject *module) {
    int again = kvo::rt::begin_exec(module, &kModule);
    if (again < 0) return -1;
    mew::state = state_of(module);
    if (again) return 0;
    return kvo::rt::run_exec_steps([&] {
        kvo::compat::native_classes_ready();
        py::module_ m = py::reinterpret_borrow<py::module_>(module);
        define_module(m);
    });
}

} // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_kvo_mew() { return PyModuleDef_Init(&kModule); }

PyObject *mew::error_type(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::Address: return state ? state->address_error : nullptr;
    case ErrorKind::Line: return state ? state->line_error : nullptr;
    case ErrorKind::Slave: return state ? state->slave_error : nullptr;
    case ErrorKind::Raised: return nullptr;
    case ErrorKind::Link: break;
    }
    return state ? state->link_error : nullptr;
}

mew::ErrorSet mew::set_error(ErrorKind kind, const std::string &message) {
    PyObject *type = error_type(kind);
    if (!type) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "kvo_mew has been unloaded");
        return {};
    }
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
    PyObject *type = error_type(kind);
    if (!type) return kvo::rt::fail(PyExc_RuntimeError, "kvo_mew has been unloaded");
    return py::reinterpret_steal<py::object>(PyObject_CallOneArg(type, text.ptr()));
}

py::handle mew::link_down_error_type() { return state ? state->link_down_error : nullptr; }

void define_module(py::module_ &m) {
    State *st = mew::state;
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

    st->link_error = new_exception(m, "LinkError", PyExc_Exception,
                               "A PLC link failure: no transport for the port, or a failed transaction.");
    st->address_error = new_exception(m, "AddressError", st->link_error,
                                  "An element name the PLC does not know, an element of the wrong kind for the "
                                  "operation, an address outside the PLC's memory or the element map, or a "
                                  "station out of range.");
    st->line_error = new_exception(m, "LineError", st->link_error,
                               "The serial line failed: the port could not be opened or failed, or the station "
                               "did not answer in time or answered with a damaged frame.");
    st->slave_error = new_exception(m, "SlaveError", st->link_error,
                                "The station answered with a Modbus exception response.");
    st->link_down_error = new_exception(m, "LinkDownError", st->link_error,
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
