// The pieces of the kvo_mew module definition, one per Python class.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "platform/kvo_mew/errors.h"

namespace mew {

// The engine's hooks into the interpreter (engine_hooks.cpp); at import.
void install_engine_hooks();

void bind_link(pybind11::module_ &m);
void bind_watchdog(pybind11::module_ &m);

// The Python exception object for a failure of the link (module.cpp): a new
// LinkError, AddressError, LineError or SlaveError carrying its message;
// null with the exception set if it could not be made.
pybind11::object python_error(ErrorKind kind, const std::string &message);
// kvo_mew.LinkDownError, the watchdog's fault.
pybind11::handle link_down_error_type();
void bind_simulator(pybind11::module_ &m);
// The capsule kvo_mew._C_API (capi.h); after bind_link.
void bind_c_api(pybind11::module_ &m);

class SimulatedPlc;
void bind_devices(pybind11::class_<SimulatedPlc, std::shared_ptr<SimulatedPlc>> &cls);

} // namespace mew
