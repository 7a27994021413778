// Worker.put: append a task to the worker's list, waiting for room.
//
// With a non-negative time-out the limit is measured from the call. The
// first attempt always gets one try for the lock, a non-blocking one when no
// time is left: a time-out of 0 then still accepts a task while there is
// room (on a real clock the time left is already below zero by the first
// test). Later attempts, after a sleep on a full list, give up once the time
// is over. The dead test comes first in every attempt.
#include "fa/module/classdef.h"
#include "fa/module/module.h"
#include "fa/workers/worker.h"

#include <cmath>

namespace fa::worker {

namespace {

constexpr const char *kDeadMessage = "Worker '%S' has dead. Can't put job to it.";
constexpr const char *kTimeoutMessage = "Put job to worker '%S' timeout.";

// One try for the lock within `left` seconds (none left: a non-blocking try).
bool acquire_within(py::handle lock, double left) {
    if (left <= 0) return truth(lock.attr("acquire")(false));
    // Lock.acquire refuses waits beyond threading.TIMEOUT_MAX (an infinite
    // time-out among them); such a wait is a wait without limit.
    double most = to_double(py::module_::import("threading").attr("TIMEOUT_MAX"));
    if (left > most) return truth(lock.attr("acquire")(true));
    return truth(lock.attr("acquire")(true, left));
}

// Releases a lock this call holds when leaving by an exception.
class PutHold {
public:
    explicit PutHold(py::object lock) : lock_(std::move(lock)) {}
    PutHold(const PutHold &) = delete;
    PutHold &operator=(const PutHold &) = delete;
    ~PutHold() {
        if (!held_) return;
        try {
            lock_.attr("release")();
        } catch (py::error_already_set &) {
            // Already released by someone else; the original error matters.
        }
    }
    void taken() { held_ = true; }
    void release() {
        held_ = false;
        lock_.attr("release")();
    }

private:
    py::object lock_;
    bool held_ = false;
};

py::object put(py::handle self, const Args &a) {
    double timeout = to_double(self.attr("put_task_timeout"));
    py::object check_interval = self.attr("put_task_check_interval");
    double begin = now();
    py::object lock = self.attr(kLock);
    PutHold hold(lock);
    for (bool first = true;; first = false) {
        if (truth(self.attr("dead"))) raise_about(self, "DeadWorkerException", kDeadMessage);
        if (timeout >= 0) {
            double left = begin + timeout - now();
            if ((left < 0 && !first) || !acquire_within(lock, left))
                raise_about(self, "FATimeoutException", kTimeoutMessage);
        } else {
            lock.attr("acquire")();
        }
        hold.taken();
        if (!truth(self.attr("full"))) break;
        hold.release();
        sleep(check_interval);
    }
    self.attr(kTaskList).attr("append")(a[0]);
    hold.release();
    return py::none();
}

} // namespace

const FunctionSpec kPutSpec{"put", put, {{"task"}}, nullptr, "给工人（的工作队列）添加一项工作任务。"};

} // namespace fa::worker
