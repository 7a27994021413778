// What the FP back-end shares with the native channel.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace fa {

// "D%d" % machine.__y_shift: the first word of the output block.
py::object fp_output_block(py::handle machine);

} // namespace fa
