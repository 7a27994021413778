// The exception family: machine faults (IOError) with operator messages in
// Chinese, the two abort signals, and the framework exceptions. Each
// constructor ends by calling its base's constructor with the message alone.
// The constructors report a failure as a null result with the Python error
// set, so a fault built on a normal path costs no C++ unwinding.
#include "fa/records/exceptions.h"

#include "fa/module/classdef.h"
#include "fa/module/classes.h"
#include "fa/records/render.h"


namespace fa {

namespace {

// base.__init__(self, message), the base looked up as a module name. When
// the base's __init__ is the slot wrapper of a built-in type (found as the
// type defines it, for a class of the plain metaclass), the class's own
// init slot is that built-in one, and it runs with the one argument as the
// wrapper itself would run it.
py::object init_base(PyObject *base, py::handle self, py::handle message) {
    py::object cls = global(base);
    if (!cls) return cls;
    if (Py_TYPE(cls.ptr()) == &PyType_Type) {
        auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
        PyObject *found = compat::type_lookup(type, names().__init__); // borrowed
        if (found && Py_TYPE(found) == &PyWrapperDescr_Type && type->tp_init &&
            PyObject_TypeCheck(self.ptr(), type)) {
            py::object args = steal(PyTuple_Pack(1, message.ptr()));
            if (!args) return args;
            if (type->tp_init(self.ptr(), args.ptr(), nullptr) < 0) return {};
            return none();
        }
    }
    py::object init = get(cls, names().__init__);
    if (!init) return init;
    return call(init, self, message);
}

// A fixed message, decoded once.
PyObject *fixed(PyObject *&cache, const char *text) {
    if (!cache) cache = PyUnicode_FromString(text);
    return cache;
}

// Builds a class whose only member is __init__.
py::object exception_class(const char *cls, const char *base, const FunctionSpec &init, const char *doc = nullptr) {
    return ClassDef(cls, base, doc).method(init).build();
}

py::object tco_init(py::handle self, const Args &a) {
    if (!set(self, names().tco, a[0])) return {};
    py::object question = get(a[0], names()._ThreadCommunicationObject__args);
    if (!question) return {};
    if (!PyTuple_Check(question.ptr())) {
        question = steal(PySequence_Tuple(question.ptr()));
        if (!question) return {};
    }
    PyObject *first = PyTuple_GetItem(question.ptr(), 0); // borrowed; IndexError when empty
    if (!first) return {};
    return init_base(names().IOError, self, first);
}

py::object motor_init(py::handle self, const Args &a) {
    PyObject *&format = g_state->motor_format;
    if (!fixed(format, "电机 %d 运行出错")) return {};
    py::object message = steal(PyNumber_Remainder(format, a.ptr(0)));
    if (!message) return {};
    return init_base(names().IOError, self, message);
}

py::object cylinder_init(py::handle self, const Args &a) {
    py::object message = compose({lit("气缸 "), text(a[0]), lit(" 动作超时！目标状态："), integer(a[1]), lit("，原位置："),
                                  text(a[2]), lit("，目标位置："), text(a[3]), lit("，超时时间："), seconds(a[4]),
                                  lit("秒，等待时间："), seconds(a[5]), lit("秒。")});
    if (!message) return {};
    return init_base(names().IOError, self, message);
}

py::object dy_cylinder_init(py::handle self, const Args &a) {
    // y0, value0, y1, value1, x_src, x_dst, timeout, wait_time
    py::object message = compose({lit("双控气缸 "), text(a[0]), lit(":"), text(a[2]), lit(" 动作超时！目标状态："),
                                  integer(a[1]), lit(":"), integer(a[3]), lit("，原位置："), text(a[4]),
                                  lit("，目标位置："), text(a[5]), lit("，超时时间："), seconds(a[6]),
                                  lit("秒，等待时间："), seconds(a[7]), lit("秒。")});
    if (!message) return {};
    return init_base(names().IOError, self, message);
}

py::object vacuum_init(py::handle self, const Args &a) {
    py::object message = compose({lit("真空泵 "), text(a[0]), lit(" 动作超时！目标状态："), integer(a[1]),
                                  lit("，传感器："), text(a[2]), lit("，传感器目标状态："), integer(a[3]),
                                  lit("，超时时间："), seconds(a[4]), lit("秒。")});
    if (!message) return {};
    return init_base(names().IOError, self, message);
}

py::object x_init(py::handle self, const Args &a) {
    py::object message = compose({lit("等待输入信号 "), text(a[0]), lit(" 超时！目标状态："), integer(a[1]),
                                  lit("，超时时间："), seconds(a[2]), lit("秒。")});
    if (!message) return {};
    return init_base(names().IOError, self, message);
}

py::object abort_init(py::handle self, const Args &) {
    PyObject *&message = g_state->abort_message;
    if (!fixed(message, "因为其他地方出现异常而造成的动作中止")) return {};
    return init_base(names().Exception, self, message);
}

py::object stop_init(py::handle self, const Args &) {
    PyObject *&message = g_state->stop_message;
    if (!fixed(message, "因为接收到停止命令而终止操作")) return {};
    return init_base(names().Exception, self, message);
}

py::object fa_init(py::handle self, const Args &a) { return init_base(names().Exception, self, a[0]); }

py::object fa_subclass_init(py::handle self, const Args &a) { return init_base(names().FAException, self, a[0]); }

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

OwnMethod own_cylinder_init(&Names::__init__, kCylinderInit, OwnMethod::Kind::Special);
OwnMethod own_dy_cylinder_init(&Names::__init__, kDyCylinderInit, OwnMethod::Kind::Special);
OwnMethod own_vacuum_init(&Names::__init__, kVacuumInit, OwnMethod::Kind::Special);
OwnMethod own_motor_init(&Names::__init__, kMotorInit, OwnMethod::Kind::Special);
OwnMethod own_x_init(&Names::__init__, kXInit, OwnMethod::Kind::Special);
OwnMethod own_tco_init(&Names::__init__, kTcoInit, OwnMethod::Kind::Special);

PyTypeObject *plain_exception_class(PyObject *cls, OwnMethod &init) {
    // Only type's own __call__ is known to run just __new__ and __init__.
    if (Py_TYPE(cls) != &PyType_Type) return nullptr;
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    // The built-in __new__ of OSError and BaseException ignore the call's
    // arguments when the class has an __init__ of its own.
    newfunc os_new = reinterpret_cast<PyTypeObject *>(PyExc_OSError)->tp_new;
    newfunc base_new = reinterpret_cast<PyTypeObject *>(PyExc_BaseException)->tp_new;
    if (type->tp_new != os_new && type->tp_new != base_new) return nullptr;
    return init.resolves_on(type) ? type : nullptr;
}

py::object new_instance(PyTypeObject *type) {
    PyObject *&no_args = g_state->no_args;
    if (!no_args && !(no_args = PyTuple_New(0))) return {};
    return steal(type->tp_new(type, no_args, nullptr));
}

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
