// MachineBase: the abstract machine. Its members are defined by concern in
// the files of this folder and added here in the order of the class body.
#include "fa/machine/actions.h"
#include "fa/machine/machine_members.h"
#include "fa/module/classdef.h"
#include "fa/module/classes.h"

namespace fa {

py::object build_MachineBase() {
    using namespace machine;
    return ClassDef("MachineBase", "_ABC")
        .value("EEH_Type_Normal", py::int_(0))
        .value("EEH_Type_WX", py::int_(1))
        .method(kInit)
        .property(kExceptionEvent)
        .method(kCanNotGoOn)
        .method(kReset)
        .method(kClose)
        .method(kStart)
        .method(kStop)
        .method(kIsStopped)
        .method(kPause)
        .method(kIsPaused)
        .method(kNameToIndex)
        .method(kIndexToName)
        .method(kX)
        .method(kWx)
        .method(kRising)
        .method(kFalling)
        .method(kY)
        .method(kWy)
        .method(kSetY)
        .method(kHandleException)
        .method(kCheckStopAndExceptionFlags)
        .same_as("check_stop_and_exception_flags", "_check_stop_and_exception_flags")
        .method(kWaitIfPaused)
        .method(fa::kRaiseCylinderException)
        .method(fa::kRaiseDyCylinderException)
        .method(fa::kRaiseVacuumException)
        .method(fa::kRaiseMotorException)
        .method(fa::kRaiseXException)
        .method(fa::kRaiseTcoException)
        .method(kRaiseException)
        .method(fa::kWaitForSignal)
        .method(fa::kWaitForMultiSignals)
        .method(fa::kTriggerCylinder)
        .method(fa::kTriggerDyCylinder)
        .method(fa::kTriggerVacuum)
        .method(fa::kTriggerMultiVacuums)
        .method(kEehThreadFunc)
        .method(kRegisterEdgeEventHandler)
        .method(kUnregisterEdgeEventHandler)
        .abstract_method(kDoGetXUint16)
        .abstract_method(kDoGetYUint16)
        .abstract_method(kDoSetYUint16)
        .method(kRefreshX)
        .method(kRefreshY)
        .method(kUpdate)
        .method(kSyncXyRefresher)
        .property(kXWordCount)
        .property(kYWordCount)
        .build();
}

} // namespace fa
