// Pieces of the Worker class shared by its files: the private attribute
// names, the station lock's own-hold bookkeeping, and the method specs
// defined outside worker.cpp.
#pragma once

#include "fa/module/calls.h"
#include "fa/module/runtime.h"

namespace fa::worker {

// Private attributes, stored under their class-qualified names.
inline const NameRef kGroup{&Names::_Worker__group};
inline const NameRef kName{&Names::_Worker__name};
inline const NameRef kLock{&Names::_Worker__lock};
inline const NameRef kTaskList{&Names::_Worker__task_list};
inline const NameRef kStopFlag{&Names::_Worker__stop_flag};
inline const NameRef kLockWorking{&Names::_Worker__lock_working};
inline const NameRef kMaxJobCount{&Names::_Worker__max_job_count};
inline const NameRef kTask{&Names::_Worker__task};
inline const NameRef kWorkThread{&Names::_Worker__work_thread};
inline const NameRef kPutTaskTimeout{&Names::_Worker__put_task_timeout};
inline const NameRef kPutTaskCheckInterval{&Names::_Worker__put_task_check_interval};
inline const NameRef kLoopInterval{&Names::_Worker__loop_interval};
// True while the worker's own thread holds the lock (see release_own_hold).
inline const NameRef kOwnHold{&Names::_Worker__own_hold};
// True once the current work thread's start() has returned (see dead).
inline const NameRef kThreadStarted{&Names::_Worker__thread_started};

// The lock guards the task list and, with lock_working, the station while
// `work` runs. `put` holds it too, from any thread, so "the lock is locked"
// does not tell whose hold it is. The worker marks its own hold whenever it
// may outlive the loop's own stretch of C++: kept through `work`, or left by
// an error. The flag is cleared right before that hold is released (by the
// loop, by the default `work`, or by `reset` for a worker that died holding
// it). Releasing on the worker's behalf therefore never ends a hold that a
// concurrent `put` has taken. True, or false with the error set.
bool release_own_hold(py::handle self);

// Raises the module exception named `cls` with `format` (one %S) filled
// with the worker's name as read through the instance; a null result.
py::object raise_about(py::handle self, PyObject *cls, const char *format);

// The host's `assert condition` as a null-result step: true when the call
// goes on, false with a bare AssertionError set (never under -O).
bool asserted(bool condition);

// The bodies of `dead` and of `full` (over the task list `tasks`): 1, 0,
// or -1 with the error set.
int is_dead(py::handle self);
int reaches_limit(py::handle self, py::handle tasks);

// Properties read by the worker's own methods.
extern const FunctionSpec kPutTaskTimeoutSpec;
extern const FunctionSpec kPutTaskCheckIntervalSpec;
extern const FunctionSpec kLoopIntervalSpec;
extern const FunctionSpec kNameSpec;
extern const FunctionSpec kFullSpec;
extern const FunctionSpec kDeadSpec;

extern const FunctionSpec kLoopSpec;
extern const FunctionSpec kWorkSpec;
extern const FunctionSpec kPutSpec;

} // namespace fa::worker
