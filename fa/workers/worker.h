// Pieces of the Worker class shared by its files: the private attribute
// names, the station lock's own-hold bookkeeping, and the method specs
// defined outside worker.cpp.
#pragma once

#include "fa/module/function.h"

namespace fa::worker {

// Private attributes, stored under their class-qualified names.
constexpr const char *kGroup = "_Worker__group";
constexpr const char *kName = "_Worker__name";
constexpr const char *kLock = "_Worker__lock";
constexpr const char *kTaskList = "_Worker__task_list";
constexpr const char *kStopFlag = "_Worker__stop_flag";
constexpr const char *kLockWorking = "_Worker__lock_working";
constexpr const char *kMaxJobCount = "_Worker__max_job_count";
constexpr const char *kTask = "_Worker__task";
constexpr const char *kWorkThread = "_Worker__work_thread";
constexpr const char *kPutTaskTimeout = "_Worker__put_task_timeout";
constexpr const char *kPutTaskCheckInterval = "_Worker__put_task_check_interval";
constexpr const char *kLoopInterval = "_Worker__loop_interval";
// True while the worker's own thread holds the lock (see take_own_hold).
constexpr const char *kOwnHold = "_Worker__own_hold";
// True once the current work thread's start() has returned (see dead).
constexpr const char *kThreadStarted = "_Worker__thread_started";

// The lock guards the task list and, with lock_working, the station while
// `work` runs. `put` holds it too, from any thread, so "the lock is locked"
// does not tell whose hold it is. The worker marks its own hold: the flag is
// set right after its loop acquires the lock and cleared right before that
// hold is released (by the loop, by the default `work`, or by `reset` for a
// worker that died holding it). Releasing on the worker's behalf therefore
// never ends a hold that a concurrent `put` has taken.
void take_own_hold(py::handle self);
// Ends the worker's own hold, if it has one; a hold taken by `put` is left.
void release_own_hold(py::handle self);

// Raises the module exception `cls` with `format` (one %S) filled with the
// worker's name as read through the instance.
[[noreturn]] void raise_about(py::handle self, const char *cls, const char *format);

extern const FunctionSpec kLoopSpec;
extern const FunctionSpec kWorkSpec;
extern const FunctionSpec kPutSpec;

} // namespace fa::worker
