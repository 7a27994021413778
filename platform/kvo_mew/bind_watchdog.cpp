// kvo_mew.LinkWatchdog: the Python face of the link watchdog.
#include "runtime/errors.h"
#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/link.h"
#include "platform/kvo_mew/link_watchdog.h"
#include "runtime/native_class.h"

namespace py = pybind11;

namespace mew {

namespace {

const char *const kWatchdogDoc =
    "LinkWatchdog(machine, limit=0.5, link=None)\n"
    "\n"
    "Raises the machine's fault when its PLC link has given no good answer for `limit` seconds:\n"
    "a kvo_mew.LinkDownError (\"PLC link down for 0.6 s: /dev/ttyUSB0 station 1: no answer within\n"
    "0.3 s\") goes through machine.raise_exception, so fault subscribers hear of it first and, if\n"
    "none takes it, every station's blocking action ends with AbortByOtherException instead of a\n"
    "sensor time-out. One fault per outage; after machine.reset() the limit runs again from the\n"
    "reset, and once the link answers well the watchdog is armed for the next outage.\n"
    "\n"
    "`link` defaults to the machine's own (native_machine_handle or plc). The watchdog has no\n"
    "thread of its own: it looks at the link at the end of every transaction, and check() looks\n"
    "from the caller's thread. A stopped or already faulted machine is left alone. Keep the\n"
    "watchdog while it is to watch; close() (or leaving a with block) stops it.";

// The machine's own link; null with the exception set.
py::object machine_link(py::handle machine) {
    for (const char *name : {"native_machine_handle", "plc", "_plc"}) {
        if (!PyObject_HasAttrString(machine.ptr(), name)) continue;
        py::object link = py::reinterpret_steal<py::object>(PyObject_GetAttrString(machine.ptr(), name));
        if (!link) return {};
        if (py::isinstance<Link>(link)) return link;
    }
    return kvo::rt::fail(PyExc_TypeError, "LinkWatchdog() found no VedUzavur link on " +
                                                std::string(Py_TYPE(machine.ptr())->tp_name) + ": pass link=");
}

// A watchdog watching the link; null with the exception set.
std::shared_ptr<LinkWatchdog> make_watchdog(py::object machine, py::handle limit, py::object link) {
    double seconds = PyFloat_AsDouble(limit.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        kvo::rt::fail(PyExc_TypeError, "LinkWatchdog() limit must be a number of seconds, not " +
                                             std::string(Py_TYPE(limit.ptr())->tp_name));
        return nullptr;
    }
    if (!(seconds > 0 && seconds <= 86400)) {
        kvo::rt::fail(PyExc_ValueError, "LinkWatchdog() limit must be more than 0 and at most 86400 seconds");
        return nullptr;
    }
    if (link.is_none()) link = machine_link(machine);
    if (!link) return nullptr;
    Link *watched = Link::of(link);
    if (!watched) {
        kvo::rt::fail(PyExc_TypeError,
                        "LinkWatchdog() link must be a VedUzavur, not " + std::string(Py_TYPE(link.ptr())->tp_name));
        return nullptr;
    }
    auto watchdog = std::make_shared<LinkWatchdog>(std::move(machine), seconds, link, *watched);
    watched->watch(watchdog);
    return watchdog;
}

using Dog = LinkWatchdog;
using kvo::rt::Args;
using kvo::rt::FunctionSpec;
using kvo::rt::member;

py::object init_watchdog(py::handle self, const Args &args) {
    bool made = kvo::rt::adopt<Dog>(self, [&] {
        return make_watchdog(py::reinterpret_borrow<py::object>(args[0]), args[1],
                             py::reinterpret_borrow<py::object>(args[2]));
    });
    return made ? py::none() : py::object();
}

py::object enter(py::handle self, const Args &) {
    if (!kvo::rt::native<Dog>(self)) return {};
    return py::reinterpret_borrow<py::object>(self);
}

py::object exit_watchdog(py::handle self, const Args &args) {
    Dog *dog = kvo::rt::native<Dog>(self);
    return dog ? dog->exit(py::reinterpret_borrow<py::args>(args.varargs())) : py::object();
}

const FunctionSpec kMethods[] = {
    {"__init__", init_watchdog, {{"machine"}, {"limit", nullptr, "0.5"}, {"link", nullptr, "None"}}},
    {"check", member<&Dog::check>, {}, nullptr,
     "Look at the link now, from this thread: raise the fault if the link has been silent for more\n"
     "than the limit. True when this call raised it."},
    {"close", member<&Dog::close>, {}, nullptr,
     "Stop watching; waits for a fault being raised to be offered. Does nothing when closed."},
    {"__enter__", enter, {}},
    {"__exit__", exit_watchdog, {kvo::rt::var_args("args")}},
};

const FunctionSpec kProperties[] = {
    {"machine", member<&Dog::machine>, {}, nullptr, "The machine watched."},
    {"link", member<&Dog::link>, {}, nullptr, "The link watched."},
    {"limit", member<&Dog::limit>, {}, nullptr, "Seconds without a good answer before the fault."},
    {"tripped", member<&Dog::tripped>, {}, nullptr, "Whether the fault of the present outage has been raised."},
    {"fault", member<&Dog::fault>, {}, nullptr, "The last LinkDownError raised, or None."},
    {"closed", member<&Dog::closed>, {}, nullptr, "Whether close() has been called."},
};

} // namespace

void bind_watchdog(py::module_ &m) {
    py::class_<Dog, std::shared_ptr<Dog>> cls(m, "LinkWatchdog", kWatchdogDoc);
    for (const FunctionSpec &spec : kMethods) kvo::rt::add_method(cls, spec);
    for (const FunctionSpec &spec : kProperties) kvo::rt::add_property(cls, spec);
}

} // namespace mew
