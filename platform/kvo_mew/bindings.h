// The pieces of the kvo_mew module definition, one per Python class.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

namespace mew {

void bind_link(pybind11::module_ &m);
void bind_simulator(pybind11::module_ &m);
// The capsule kvo_mew._C_API (capi.h); after bind_link.
void bind_c_api(pybind11::module_ &m);

class SimulatedPlc;
void bind_devices(pybind11::class_<SimulatedPlc, std::shared_ptr<SimulatedPlc>> &cls);

} // namespace mew
