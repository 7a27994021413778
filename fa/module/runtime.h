// kvo_fa's names for the runtime it shares with kvo_mew and kvo_handy: the
// function type and the error convention (runtime/), used unqualified in
// namespace fa.
#pragma once

#include "runtime/errors.h"
#include "runtime/function.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"

namespace py = pybind11;

namespace fa {

namespace compat = kvo::compat;

using kvo::rt::Args;
using kvo::rt::Body;
using kvo::rt::FunctionSpec;
using kvo::rt::kMaxParams;
using kvo::rt::Param;
using kvo::rt::ParamKind;
using kvo::rt::var_args;
using kvo::rt::var_kwargs;
using kvo::rt::make_function;
using kvo::rt::is_function;
using kvo::rt::spec_of;

using kvo::rt::checked;
using kvo::rt::fail;
using kvo::rt::fail_with;
using kvo::rt::raise;
using kvo::rt::raise_current;

using kvo::rt::module_dict;
using kvo::rt::module_namespace;

} // namespace fa
