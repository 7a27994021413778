// FP element names (X1F, R100, D100, DT100, WX3) and the numbers they stand
// for: the naming operations of FPMachine.
#pragma once

#include "fa/module/runtime.h"

namespace fa {

// FPMachine.name_to_index(name) and FPMachine.index_to_name(prefix, index).
extern const FunctionSpec kFpNameToIndex;
extern const FunctionSpec kFpIndexToName;

} // namespace fa
