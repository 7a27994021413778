// Placeholder: the class exists at its place in the module's order; its
// members come with the work that builds it.
#include "fa/machine/actions.h"
#include "fa/module/classdef.h"
#include "fa/module/classes.h"

namespace fa {

py::object build_MachineBase() {
    return ClassDef("MachineBase", "_ABC")
        .method(kRaiseCylinderException)
        .method(kRaiseDyCylinderException)
        .method(kRaiseVacuumException)
        .method(kRaiseMotorException)
        .method(kRaiseXException)
        .method(kRaiseTcoException)
        .method(kWaitForSignal)
        .method(kWaitForMultiSignals)
        .method(kTriggerCylinder)
        .method(kTriggerDyCylinder)
        .method(kTriggerVacuum)
        .method(kTriggerMultiVacuums)
        .build();
}

} // namespace fa
