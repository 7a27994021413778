// The GIL given up around a blocking call, taken back at the end of the scope.
//
// pybind11's gil_scoped_release takes it back in a noexcept destructor. At
// interpreter exit the interpreter ends a thread that wants the GIL by
// unwinding it (pthread_exit), and an unwind out of a noexcept destructor
// aborts the process. Here the unwind travels on; while another exception is
// already travelling (a second one would abort as well), the thread is parked
// instead and ends with the process.
#pragma once

#include "runtime/python_compat.h"

#include <chrono>
#include <exception>
#include <thread>

namespace kvo::rt {

inline bool interpreter_finalizing() { return Py_IsFinalizing(); }

class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()), exceptions_(std::uncaught_exceptions()) {}
    GilReleased(const GilReleased &) = delete;
    GilReleased &operator=(const GilReleased &) = delete;
    ~GilReleased() noexcept(false) {
        if (std::uncaught_exceptions() > exceptions_ && interpreter_finalizing())
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        PyEval_RestoreThread(state_);
    }

private:
    PyThreadState *state_;
    int exceptions_;
};

} // namespace kvo::rt
