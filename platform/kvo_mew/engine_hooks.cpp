// What the engine (link/) asks of the interpreter, set once at import: the
// signal check of a transaction on the main thread, and the GIL let go of
// around a wait that another engine thread may need it to end.
#include <pybind11/pybind11.h>

#include "platform/kvo_mew/bindings.h"
#include "link/interruption.h"
#include "link/simulated_plc.h"
#include "runtime/gil.h"

namespace mew {
namespace {

bool python_signal_raised() {
    pybind11::gil_scoped_acquire gil;
    // The handler's exception stays set in this thread's state, for the link
    // to hand to Python once it has the GIL again.
    return PyErr_CheckSignals() != 0;
}

void wait_without_gil(FunctionRef<void()> wait) {
    if (Py_IsInitialized() && PyGILState_Check()) {
        kvo::rt::GilReleased unlocked;
        wait();
    } else {
        wait();
    }
}

} // namespace

void install_engine_hooks() {
    set_signal_check(python_signal_raised);
    set_host_wait(wait_without_gil);
}

} // namespace mew
