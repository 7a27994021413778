// The exception family: machine faults (IOError) with operator messages in
// Chinese, the two abort signals, and the framework exceptions. Each
// constructor ends by calling its base's constructor with the message alone.
#include "fa/module/classdef.h"
#include "fa/module/calls.h"
#include "fa/module/classes.h"
#include "fa/module/module.h"
#include "fa/records/render.h"

namespace fa {

namespace {

// base.__init__(self, message), the base looked up as a module name.
void init_base(PyObject *base, py::handle self, py::handle message) {
    py::object cls = global(base);
    if (!cls) raise_current();
    py::object init = get(cls, names.__init__);
    if (!init || !call(init, self, message)) raise_current();
}

// Builds a class whose only member is __init__.
py::object exception_class(const char *cls, const char *base, const FunctionSpec &init, const char *doc = nullptr) {
    return ClassDef(cls, base, doc).method(init).build();
}

py::object tco_init(py::handle self, const Args &a) {
    if (!set(self, names.tco, a[0])) raise_current();
    py::tuple question = a[0].attr(names._ThreadCommunicationObject__args);
    init_base(names.IOError, self, question[0]);
    return py::none();
}

py::object motor_init(py::handle self, const Args &a) {
    init_base(names.IOError, self, checked(PyNumber_Remainder(py::str("电机 %d 运行出错").ptr(), a[0].ptr())));
    return py::none();
}

py::object cylinder_init(py::handle self, const Args &a) {
    py::str message = compose({lit("气缸 "), text(a[0]), lit(" 动作超时！目标状态："), integer(a[1]), lit("，原位置："),
                               text(a[2]), lit("，目标位置："), text(a[3]), lit("，超时时间："), seconds(a[4]),
                               lit("秒，等待时间："), seconds(a[5]), lit("秒。")});
    init_base(names.IOError, self, message);
    return py::none();
}

py::object dy_cylinder_init(py::handle self, const Args &a) {
    // y0, value0, y1, value1, x_src, x_dst, timeout, wait_time
    py::str message = compose({lit("双控气缸 "), text(a[0]), lit(":"), text(a[2]), lit(" 动作超时！目标状态："),
                               integer(a[1]), lit(":"), integer(a[3]), lit("，原位置："), text(a[4]),
                               lit("，目标位置："), text(a[5]), lit("，超时时间："), seconds(a[6]),
                               lit("秒，等待时间："), seconds(a[7]), lit("秒。")});
    init_base(names.IOError, self, message);
    return py::none();
}

py::object vacuum_init(py::handle self, const Args &a) {
    py::str message = compose({lit("真空泵 "), text(a[0]), lit(" 动作超时！目标状态："), integer(a[1]),
                               lit("，传感器："), text(a[2]), lit("，传感器目标状态："), integer(a[3]),
                               lit("，超时时间："), seconds(a[4]), lit("秒。")});
    init_base(names.IOError, self, message);
    return py::none();
}

py::object x_init(py::handle self, const Args &a) {
    py::str message = compose({lit("等待输入信号 "), text(a[0]), lit(" 超时！目标状态："), integer(a[1]),
                               lit("，超时时间："), seconds(a[2]), lit("秒。")});
    init_base(names.IOError, self, message);
    return py::none();
}

py::object abort_init(py::handle self, const Args &) {
    init_base(names.Exception, self, py::str("因为其他地方出现异常而造成的动作中止"));
    return py::none();
}

py::object stop_init(py::handle self, const Args &) {
    init_base(names.Exception, self, py::str("因为接收到停止命令而终止操作"));
    return py::none();
}

py::object fa_init(py::handle self, const Args &a) {
    init_base(names.Exception, self, a[0]);
    return py::none();
}

py::object fa_subclass_init(py::handle self, const Args &a) {
    init_base(names.FAException, self, a[0]);
    return py::none();
}

const FunctionSpec kTcoInit{"__init__", tco_init, {{"tco", "ThreadCommunicationObject"}}};
const FunctionSpec kMotorInit{"__init__", motor_init, {{"motor"}}};
const FunctionSpec kCylinderInit{
    "__init__", cylinder_init, {{"y"}, {"value"}, {"x_src"}, {"x_dst"}, {"timeout"}, {"wait_time"}}};
const FunctionSpec kDyCylinderInit{
    "__init__",
    dy_cylinder_init,
    {{"y0"}, {"value0"}, {"y1"}, {"value1"}, {"x_src"}, {"x_dst"}, {"timeout"}, {"wait_time"}}};
const FunctionSpec kVacuumInit{"__init__", vacuum_init, {{"y"}, {"value"}, {"x"}, {"x_target"}, {"timeout"}}};
const FunctionSpec kXInit{"__init__", x_init, {{"x"}, {"value"}, {"timeout"}}};
const FunctionSpec kAbortInit{"__init__", abort_init, {}};
const FunctionSpec kStopInit{"__init__", stop_init, {}};
const FunctionSpec kFaInit{"__init__", fa_init, {{"desc", "str"}}};
const FunctionSpec kFaSubclassInit{"__init__", fa_subclass_init, {{"desc", "str"}}};

const char *kFaExceptionDoc =
    "\n\t在使用 FA 框架时，如果需要抛出异常，而这个异常不能被简单地忽略掉，而是需要 FA "
    "框架做出一些特殊的处理（例如，调用用户自定义的回调函数），\n\t而那么该异常的类型需要是 FAException 的子类。\n\t";

} // namespace

py::object build_TCOException() { return exception_class("TCOException", "IOError", kTcoInit); }
py::object build_MotorException() { return exception_class("MotorException", "IOError", kMotorInit); }
py::object build_CylinderException() { return exception_class("CylinderException", "IOError", kCylinderInit); }
py::object build_DYCylinderException() {
    return exception_class("DYCylinderException", "IOError", kDyCylinderInit);
}
py::object build_VacuumException() { return exception_class("VacuumException", "IOError", kVacuumInit); }
py::object build_XException() { return exception_class("XException", "IOError", kXInit); }
py::object build_AbortByOtherException() {
    return exception_class("AbortByOtherException", "Exception", kAbortInit);
}
py::object build_StopException() { return exception_class("StopException", "Exception", kStopInit); }
py::object build_FAException() { return exception_class("FAException", "Exception", kFaInit, kFaExceptionDoc); }
py::object build_DeadWorkerException() {
    return exception_class("DeadWorkerException", "FAException", kFaSubclassInit);
}
py::object build_FATimeoutException() {
    return exception_class("FATimeoutException", "FAException", kFaSubclassInit);
}

} // namespace fa
