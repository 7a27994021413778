#include "platform/kvo_mew/link_watchdog.h"

#include <cstdio>

#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/link.h"

namespace mew {
namespace {

double seconds_between(HealthClock::time_point from, HealthClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

bool truth(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

} // namespace

LinkWatchdog::LinkWatchdog(py::object machine, double limit, py::object link)
    : machine_(std::move(machine)), limit_(limit), link_object_(std::move(link)),
      link_(link_object_.cast<Link &>()), armed_since_(HealthClock::now()) {}

void LinkWatchdog::transaction_ended(bool good) {
    if (good && !tripped_) return;  // the common case: nothing to look at
    evaluate();
}

bool LinkWatchdog::check() { return evaluate(); }

bool LinkWatchdog::raising() const { return !thread_.is_none() && truth(thread_.attr("is_alive")()); }

bool LinkWatchdog::evaluate() {
    if (closed_ || busy_) return false;
    busy_ = true;
    struct Done {
        bool &flag;
        ~Done() { flag = false; }
    } done{busy_};
    try {
        if (raising()) return false;
        HealthClock::time_point now = HealthClock::now();
        HealthCounters health = link_.health_counters();
        if (tripped_) {
            bool back = health.answered && health.last_good > tripped_at_;
            bool cleared = recorded_ && !truth(machine_.attr("_exception_flag"));
            if (!back && !cleared) return false;
            tripped_ = false;
            armed_since_ = now;
        }
        HealthClock::time_point since = armed_since_;
        if (health.answered && health.last_good > since) since = health.last_good;
        double silent = seconds_between(since, now);
        if (silent <= limit_) return false;
        // A stopped or closed machine has no station waiting, and a faulted one
        // has already ended them.
        if (truth(machine_.attr("is_stopped")()) || truth(machine_.attr("_exception_flag"))) return false;
        fire(silent, health);
        return true;
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("kvo_mew.LinkWatchdog");
        return false;
    }
}

void LinkWatchdog::fire(double seconds, const HealthCounters &health) {
    char head[64];
    std::snprintf(head, sizeof head, "PLC link down for %.1f s: ", seconds);
    std::string detail = health.failed() ? health.last_detail : std::string("no transaction has ended");
    std::string message = head + link_.port_text() + " station " + std::to_string(health.last_station) + ": " + detail;
    py::object error = link_down_error_type()(message);
    error.attr("port") = link_object_.attr("port");
    error.attr("station") = health.last_station;
    error.attr("seconds") = seconds;
    error.attr("cause") = health.failed() ? py::object(py::str(cause_name(health.last_cause))) : py::none();
    error.attr("last_error") = link_.last_error();
    fault_ = error;
    tripped_ = true;
    recorded_ = false;
    tripped_at_ = HealthClock::now();
    auto self = shared_from_this();
    py::cpp_function target([self, error] { self->raise_fault(error); });
    thread_ = py::module_::import("threading").attr("Thread")(py::arg("target") = target);
    thread_.attr("start")();
}

void LinkWatchdog::raise_fault(py::object error) {
    try {
        machine_.attr("raise_exception")(error);
        // A subscriber took the fault: offer it again after another limit.
        tripped_ = false;
        armed_since_ = HealthClock::now();
    } catch (py::error_already_set &e) {
        if (e.value().ptr() == error.ptr()) {
            recorded_ = true;
        } else {
            e.discard_as_unraisable("kvo_mew.LinkWatchdog fault subscriber");
            tripped_ = false;
            armed_since_ = HealthClock::now();
        }
    }
}

void LinkWatchdog::close() {
    if (!closed_) {
        closed_ = true;
        link_.unwatch(this);
    }
    if (thread_.is_none()) return;
    py::object current = py::module_::import("threading").attr("current_thread")();
    if (!current.is(thread_)) thread_.attr("join")();
}

} // namespace mew
