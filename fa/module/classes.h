// Builders of the module's public classes, one per class, each defined in
// the folder of its subsystem. The order in which they run is kept in one
// table (classes.cpp).
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace fa {

py::object build_ThreadCommunicationObject();
py::object build_TCOException();
py::object build_MotorException();
py::object build_CylinderException();
py::object build_DYCylinderException();
py::object build_VacuumException();
py::object build_XException();
py::object build_AbortByOtherException();
py::object build_StopException();
py::object build_FAException();
py::object build_DeadWorkerException();
py::object build_FATimeoutException();
py::object build_Job();
py::object build_Worker();
py::object build_X();
py::object build_XManager();
py::object build_YManager();
py::object build_WorkerGroup();
py::object build_MachineExceptionHandler();
py::object build_MachineBase();
py::object build_FPMachine();
py::object build_FEFMachine();

// Defines every class in the module's order.
void build_classes();

} // namespace fa
