// MachineBase's own members, one file per concern, assembled into the
// class in machine_base.cpp (the actions are declared in actions.h).
#pragma once

#include "fa/module/runtime.h"

namespace fa::machine {

// Record, run flags and fault path (machine_record.cpp)
extern const FunctionSpec kInit;
extern const FunctionSpec kExceptionEvent;
extern const FunctionSpec kCanNotGoOn;
extern const FunctionSpec kStop;
extern const FunctionSpec kIsStopped;
extern const FunctionSpec kPause;
extern const FunctionSpec kIsPaused;
extern const FunctionSpec kHandleException;
extern const FunctionSpec kCheckStopAndExceptionFlags;
extern const FunctionSpec kWaitIfPaused;
extern const FunctionSpec kRaiseException;

// Bit access by name and index (bit_access.cpp)
extern const FunctionSpec kNameToIndex;
extern const FunctionSpec kIndexToName;
extern const FunctionSpec kX;
extern const FunctionSpec kWx;
extern const FunctionSpec kRising;
extern const FunctionSpec kFalling;
extern const FunctionSpec kY;
extern const FunctionSpec kWy;
extern const FunctionSpec kSetY;
extern const FunctionSpec kXWordCount;
extern const FunctionSpec kYWordCount;

// Edge-event registry and thread (edge_events.cpp)
extern const FunctionSpec kEehThreadFunc;
extern const FunctionSpec kRegisterEdgeEventHandler;
extern const FunctionSpec kUnregisterEdgeEventHandler;

// Transfer operations and the refresh cycle (refresh_loop.cpp)
extern const FunctionSpec kDoGetXUint16;
extern const FunctionSpec kDoGetYUint16;
extern const FunctionSpec kDoSetYUint16;
extern const FunctionSpec kRefreshX;
extern const FunctionSpec kRefreshY;
extern const FunctionSpec kUpdate;
extern const FunctionSpec kSyncXyRefresher;

// Lifecycle (lifecycle.cpp)
extern const FunctionSpec kReset;
extern const FunctionSpec kClose;
extern const FunctionSpec kStart;

} // namespace fa::machine
