// Placeholder: the class exists at its place in the module's order; its
// members come with the work that builds it.
#include "fa/module/classdef.h"
#include "fa/module/classes.h"

namespace fa {

py::object build_Job() { return ClassDef("Job").build(); }

} // namespace fa
