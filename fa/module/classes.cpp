#include "fa/module/classes.h"

namespace fa {

namespace {

using Builder = py::object (*)();

// Definition order of the module's classes: each is bound as a module name
// as soon as it is built, so later classes and annotations can use it.
const Builder kClassOrder[] = {
    build_ThreadCommunicationObject,
    build_TCOException,
    build_MotorException,
    build_CylinderException,
    build_DYCylinderException,
    build_VacuumException,
    build_XException,
    build_AbortByOtherException,
    build_StopException,
    build_FAException,
    build_DeadWorkerException,
    build_FATimeoutException,
    build_Job,
    build_Worker,
    build_X,
    build_XManager,
    build_YManager,
    build_WorkerGroup,
    build_MachineExceptionHandler,
    build_MachineBase,
    build_FPMachine,
    build_FEFMachine,
};

} // namespace

void build_classes() {
    for (Builder build : kClassOrder) build();
}

} // namespace fa
