// The machine actions and their fault raisers: methods of MachineBase
// defined beside it, one file per group, and added to the class in
// machine_base.cpp at their places in the member order.
#pragma once

#include "fa/module/runtime.h"

namespace fa {

// Fault raisers (fault_raisers.cpp)
extern const FunctionSpec kRaiseCylinderException;
extern const FunctionSpec kRaiseDyCylinderException;
extern const FunctionSpec kRaiseVacuumException;
extern const FunctionSpec kRaiseMotorException;
extern const FunctionSpec kRaiseXException;
extern const FunctionSpec kRaiseTcoException;

// Signal waits (signal_waits.cpp)
extern const FunctionSpec kWaitForSignal;
extern const FunctionSpec kWaitForMultiSignals;

// Cylinder actions (cylinder_actions.cpp)
extern const FunctionSpec kTriggerCylinder;
extern const FunctionSpec kTriggerDyCylinder;

// Vacuum actions (vacuum_actions.cpp)
extern const FunctionSpec kTriggerVacuum;
extern const FunctionSpec kTriggerMultiVacuums;

} // namespace fa
