// Interned names: every attribute, method and module-level name used on a
// hot path, made once at import. An interned key hits the type attribute
// cache and the dict's identity test, where a name made from a C string
// would be allocated, decoded and hashed on every use.
//
// Use: names().x_manager, names()._y_lock (state.h: the names live in the
// module state). A new name is one entry in the list.
#pragma once

#include <Python.h>

namespace fa {

// clang-format off
#define FA_NAMES(X) \
    /* machine record */ \
    X(x_manager) X(y_manager) X(_y_lock) X(_y_words) X(_y_words_old) X(_exit_flag) X(_stop_flag) \
    X(_pause_flag) X(_exception_flag) X(_MachineBase__exception) X(_MachineBase__exception_event) \
    X(_edge_event_handler) X(_eeh_type) X(_eeh_lock) X(_ee_queue) X(_MachineBase__eeh_thread) \
    X(_MachineBase__updater) X(_MachineBase__xy_refresh_counter) X(_MachineBase__xy_refresh_counter_lock) \
    /* machine methods */ \
    X(name_to_index) X(index_to_name) X(x) X(wx) X(y) X(rising) X(falling) X(set_y) X(exception_event) \
    X(_handle_exception) X(_check_stop_and_exception_flags) X(check_stop_and_exception_flags) X(is_stopped) \
    X(is_paused) X(can_not_go_on) X(raise_x_exception) X(raise_cylinder_exception) \
    X(raise_dy_cylinder_exception) X(raise_vacuum_exception) X(trigger_vacuum) X(wait_for_multi_signals) \
    X(do_get_x_uint16) X(do_get_y_uint16) X(do_set_y_uint16) X(_refresh_x) X(_refresh_y) X(_update) \
    X(_eeh_thread_func) X(close) X(start) X(stop) X(reset) X(update) X(copy) X(word_count) X(__getitem__) \
    X(__init__) X(EEH_Type_Normal) X(EEH_Type_WX) X(CallAfter) \
    /* image */ \
    X(_XManager__x_words) X(_XManager__x_words_old) \
    /* X tracker */ \
    X(_X__manager) X(_X__index) X(_X__prev_value) X(_X__curr_value) X(_X__rising_event) X(_X__falling_event) \
    X(_X__toggle_event) \
    /* exception handler */ \
    X(_handler_list) X(_handler_list_guard) \
    /* workers */ \
    X(_Worker__group) X(_Worker__name) X(_Worker__lock) X(_Worker__task_list) X(_Worker__stop_flag) \
    X(_Worker__lock_working) X(_Worker__max_job_count) X(_Worker__task) X(_Worker__work_thread) \
    X(_Worker__put_task_timeout) X(_Worker__put_task_check_interval) X(_Worker__loop_interval) \
    X(_Worker__own_hold) X(_Worker__thread_started) X(loop_interval) X(put_task_timeout) \
    X(put_task_check_interval) X(dead) X(full) X(working) X(work) X(loop) X(put) X(put_task) X(name) \
    X(owner) X(task) X(before_start) X(after_stop) X(is_alive) X(_names) X(_workers) X(_Job__owner) \
    X(_Job__task) \
    /* standard library */ \
    X(acquire) X(release) X(locked) X(append) X(remove) X(pop) X(clear) X(get) X(get_nowait) X(empty) X(join) \
    X(index) X(target) \
    /* module names */ \
    X(_sleep) X(_now) X(_Lock) X(_Thread) X(_Queue) X(_Fp) X(XManager) X(YManager) X(MachineBase) X(Worker) \
    X(_MachineExceptionHandler) X(XException) X(CylinderException) X(DYCylinderException) \
    X(VacuumException) X(MotorException) X(TCOException) X(ThreadCommunicationObject) \
    X(AbortByOtherException) X(StopException) X(DeadWorkerException) X(FATimeoutException) X(Job) \
    X(IOError) X(Exception) X(FAException) X(_ThreadCommunicationObject__args) \
    X(_ThreadCommunicationObject__kwargs) X(tco) X(__call__) \
    /* locks */ \
    X(_thread) X(LockType) X(TIMEOUT_MAX) X(threading) X(time) \
    /* more */ \
    X(_Event) X(_ThreadCommunicationObject__event) X(_ThreadCommunicationObject__result) X(reset_all) X(set) X(start_all) X(stop_all) X(wait) X(zip) \
    /* back-ends and their links */ \
    X(get_multi_uint16) X(set_multi_uint16) X(get_coil_uint16) X(set_coil_uint16) X(_plc) X(plc) \
    X(_FPMachine__station) X(_FPMachine__y_shift) X(y_word_count) X(xy_module_count) \
    /* colder paths: link calls, lifecycle, reports, class building */ \
    X(get_coil) X(get_uint32) X(get_multi_uint32) X(get_multi_int32) X(set_uint16) X(set_uint32) \
    X(set_multi_uint32) X(set_multi_int32) X(set_coil) X(baudrate) X(interrupt_thread) X(resume_thread) \
    X(ident) X(RLock) X(current_thread) X(queue) X(Empty) X(builtins) X(print) X(_target) X(__self__) \
    X(_abstractmethod) X(staticmethod) X(property) X(setter) X(sys) X(flags) X(optimize) X(enumerate) X(atexit)

// Interned texts that are not identifiers: T(field, "text").
#define FA_TEXTS(T) \
    T(prefix_x, "X") T(prefix_y, "Y") T(format_seconds, ".01f") T(empty_text, "") \
    T(block_d0, "D0") T(block_format, "D%d") T(coil_wx0, "WX0") T(coil_wy0, "WY0") \
    T(register_, "register")
// clang-format on

struct Names {
#define FA_NAME_FIELD(ident) PyObject *ident = nullptr;
    FA_NAMES(FA_NAME_FIELD)
#undef FA_NAME_FIELD
#define FA_TEXT_FIELD(ident, text) PyObject *ident = nullptr;
    FA_TEXTS(FA_TEXT_FIELD)
#undef FA_TEXT_FIELD
};

// Interns every name of the table into `names`; false with the Python error set.
bool init_names(Names &names);
// The garbage collector's view of the table, and its release.
int visit_names(const Names &names, visitproc visit, void *arg);
void release_names(Names &names);

// A name of the table read from the live state at each use, for the
// constants that give a name a local meaning (kManager = _X__manager).
struct NameRef {
    PyObject *Names::*field;
    constexpr NameRef(PyObject *Names::*f) : field(f) {}
    inline operator PyObject *() const;
};

} // namespace fa
