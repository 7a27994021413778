// The pieces of the kvo_mew module definition, one per Python class.
#pragma once

#include <pybind11/pybind11.h>

namespace mew {

void bind_link(pybind11::module_ &m);
void bind_simulator(pybind11::module_ &m);

} // namespace mew
