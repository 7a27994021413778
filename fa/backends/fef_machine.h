// The FEF back-end's transfer methods, whose bodies the native channel may
// stand in for.
#pragma once

#include "fa/module/runtime.h"

namespace fa::fef {

extern const FunctionSpec kDoGetX;
extern const FunctionSpec kDoGetY;
extern const FunctionSpec kDoSetY;

} // namespace fa::fef
