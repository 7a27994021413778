// What the FP back-end shares with the native channel: the output block's
// name and the methods whose bodies the channel may stand in for.
#pragma once

#include "fa/module/runtime.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace fa {

// "D%d" % machine.__y_shift: the first word of the output block; null with
// the Python error set when that fails.
py::object fp_output_block(py::handle machine);

namespace fp {
extern const FunctionSpec kDoGetX;
extern const FunctionSpec kDoGetY;
extern const FunctionSpec kDoSetY;
extern const FunctionSpec kGetMultiUint16;
extern const FunctionSpec kSetMultiUint16;
} // namespace fp

} // namespace fa
