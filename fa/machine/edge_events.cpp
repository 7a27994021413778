// Edge events: handlers registered on the machine receive a snapshot of the
// input image whenever a refresh cycle saw an input word change. Type 0
// handlers are called on the edge-event thread; types with bit 1 set are
// posted to the wx GUI thread; other types are never called.
//
// The registry's lock is held while direct handlers run, so a direct handler
// that registers or unregisters a handler of the same machine is refused
// (callback_guard.h).
#include "fa/machine/callback_guard.h"
#include "fa/machine/machine_members.h"
#include "fa/machine/machine_support.h"
#include "fa/module/calls.h"
#include "fa/module/module.h"
#include "fa/module/state.h"

namespace fa::machine {

namespace {

py::object register_handler(py::handle self, const Args &a) {
    py::handle handler = a[0], handler_type = a[1];
    if (!outside_callbacks(self, "register_edge_event_handler() is not allowed inside an edge-event handler "
                                 "of the same machine"))
        return {};
    HeldLock held(get(self, names()._eeh_lock));
    if (!held) return {};
    py::object handlers = get(self, names()._edge_event_handler);
    if (!handlers) return {};
    int known = contains(handlers, handler);
    if (known) return known < 0 ? py::object() : none(); // the first type stays
    // The type first: an unhashable handler is refused without a trace.
    py::object types = get(self, names()._eeh_type);
    if (!types || PyObject_SetItem(types.ptr(), handler.ptr(), handler_type.ptr()) < 0) return {};
    if (!call_method(handlers, names().append, handler)) return {};
    return none();
}

py::object unregister_handler(py::handle self, const Args &a) {
    py::handle handler = a[0];
    if (!outside_callbacks(self, "unregister_edge_event_handler() is not allowed inside an edge-event handler "
                                 "of the same machine"))
        return {};
    HeldLock held(get(self, names()._eeh_lock));
    if (!held) return {};
    py::object handlers = get(self, names()._edge_event_handler);
    if (!handlers) return {};
    int known = contains(handlers, handler);
    if (known <= 0) return known < 0 ? py::object() : none();
    if (!call_method(handlers, names().remove, handler)) return {};
    py::object types = get(self, names()._eeh_type);
    if (!types || !call_method(types, names().pop, handler, Py_None)) return {};
    return none();
}

// The wx module as imported already (sys.modules); anything else (a miss, a
// None entry blocking it) goes through the import itself.
py::object wx_module() {
    py::object wx = steal(PyImport_GetModule(names().wx));
    if (wx && !wx.is_none()) return wx;
    if (PyErr_Occurred()) return {};
    return steal(PyImport_Import(names().wx));
}

bool deliver(py::handle self, py::handle handler, py::handle snapshot) {
    // The class's own constants, whatever a subclass or instance says.
    py::object machine_base = global(names().MachineBase);
    if (!machine_base) return false;
    py::object normal = get(machine_base, names().EEH_Type_Normal);
    if (!normal) return false;
    py::object types = get(self, names()._eeh_type);
    py::object handler_type = types ? call_method(types, names().get, handler, normal) : types;
    if (!handler_type) return false;
    py::object gui = get(machine_base, names().EEH_Type_WX);
    py::object gui_bit = gui ? steal(PyNumber_And(handler_type.ptr(), gui.ptr())) : gui;
    if (!gui_bit) return false;
    py::object zero = steal(PyLong_FromLong(0));
    int posted = zero ? differs(gui_bit, zero) : -1;
    if (posted < 0) return false;
    if (posted) {
        py::object wx = wx_module();
        return wx && call_method(wx, names().CallAfter, handler, snapshot);
    }
    int direct = same(handler_type, normal);
    if (direct <= 0) return direct == 0;
    return bool(call(handler, snapshot));
}

// The handlers of one snapshot, with the registry's lock held; every
// handler's error of the Exception family is printed and the next one runs.
bool dispatch(py::handle self, py::handle snapshot) {
    HeldLock held(get(self, names()._eeh_lock));
    if (!held) return false;
    CallbackScope handlers_run(self);
    py::object handlers = get(self, names()._edge_event_handler);
    py::object each = handlers ? steal(PyObject_GetIter(handlers.ptr())) : handlers;
    if (!each) return false;
    while (py::object handler = steal(PyIter_Next(each.ptr())))
        if (run_reporting([&] { return deliver(self, handler, snapshot); }) < 0) return false;
    return !PyErr_Occurred();
}

// Made once: the poll of an empty queue.
PyObject *const kIdlePause = PyFloat_FromDouble(0.03);

// Body of the edge-event thread. The exit flag is read between snapshots
// only, so a dispatch in progress is always finished.
py::object eeh_thread_func(py::handle self, const Args &) {
    for (;;) {
        int closing = truth_or_error(get(self, names()._exit_flag));
        if (closing) return closing < 0 ? py::object() : none();
        py::object queue = get(self, names()._ee_queue);
        if (!queue) return {};
        int idle = truth_or_error(call_method(queue, names().empty));
        if (idle < 0) return {};
        if (idle) {
            if (!pause(kIdlePause)) return {};
            continue;
        }
        py::object snapshot = call_method(queue, names().get);
        if (!snapshot || !dispatch(self, snapshot)) return {};
    }
}

} // namespace

const FunctionSpec kEehThreadFunc{"_eeh_thread_func", eeh_thread_func, {}};
const FunctionSpec kRegisterEdgeEventHandler{
    "register_edge_event_handler", register_handler, {{"handler"}, {"handler_type", "int", "0"}}};
const FunctionSpec kUnregisterEdgeEventHandler{"unregister_edge_event_handler", unregister_handler, {{"handler"}}};

} // namespace fa::machine
