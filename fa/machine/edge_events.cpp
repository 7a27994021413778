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
    refuse_inside_callbacks(self, "register_edge_event_handler() is not allowed inside an edge-event handler "
                                  "of the same machine");
    HeldLock held(self.attr(names()._eeh_lock));
    py::object handlers = self.attr(names()._edge_event_handler);
    if (contains(handlers, handler)) return py::none(); // the first type stays
    // The type first: an unhashable handler is refused without a trace.
    py::object types = self.attr(names()._eeh_type);
    if (PyObject_SetItem(types.ptr(), handler.ptr(), handler_type.ptr()) < 0) raise_current();
    handlers.attr(names().append)(handler);
    return py::none();
}

py::object unregister_handler(py::handle self, const Args &a) {
    py::handle handler = a[0];
    refuse_inside_callbacks(self, "unregister_edge_event_handler() is not allowed inside an edge-event handler "
                                  "of the same machine");
    HeldLock held(self.attr(names()._eeh_lock));
    py::object handlers = self.attr(names()._edge_event_handler);
    if (!contains(handlers, handler)) return py::none();
    handlers.attr(names().remove)(handler);
    self.attr(names()._eeh_type).attr(names().pop)(handler, py::none());
    return py::none();
}

void deliver(py::handle self, py::handle handler, py::handle snapshot) {
    // The class's own constants, whatever a subclass or instance says.
    py::object machine_base = name(names().MachineBase);
    py::object normal = machine_base.attr(names().EEH_Type_Normal);
    py::object handler_type = self.attr(names()._eeh_type).attr(names().get)(handler, normal);
    py::object gui_bit = checked(PyNumber_And(handler_type.ptr(), machine_base.attr(names().EEH_Type_WX).ptr()));
    if (not_equal(gui_bit, py::int_(0))) {
        // The module as imported already (sys.modules); anything else (a
        // miss, a None entry blocking it) goes through the import itself.
        py::object wx = steal(PyImport_GetModule(names().wx));
        if (!wx || wx.is_none()) {
            if (PyErr_Occurred()) raise_current();
            wx = steal(PyImport_Import(names().wx));
        }
        if (!wx) raise_current();
        wx.attr(names().CallAfter)(handler, snapshot);
    } else if (equal(handler_type, normal)) {
        py::reinterpret_borrow<py::object>(handler)(snapshot);
    }
}

// Body of the edge-event thread. The exit flag is read between snapshots
// only, so a dispatch in progress is always finished.
py::object eeh_thread_func(py::handle self, const Args &) {
    while (!truth(self.attr(names()._exit_flag))) {
        py::object queue = self.attr(names()._ee_queue);
        if (truth(queue.attr(names().empty)())) {
            sleep(0.03);
            continue;
        }
        py::object snapshot = queue.attr(names().get)();
        HeldLock held(self.attr(names()._eeh_lock));
        CallbackScope handlers_run(self);
        py::object handlers = self.attr(names()._edge_event_handler);
        for (py::handle handler : handlers) run_reporting([&] { deliver(self, handler, snapshot); });
    }
    return py::none();
}

} // namespace

const FunctionSpec kEehThreadFunc{"_eeh_thread_func", eeh_thread_func, {}};
const FunctionSpec kRegisterEdgeEventHandler{
    "register_edge_event_handler", register_handler, {{"handler"}, {"handler_type", "int", "0"}}};
const FunctionSpec kUnregisterEdgeEventHandler{"unregister_edge_event_handler", unregister_handler, {{"handler"}}};

} // namespace fa::machine
