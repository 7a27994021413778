// Steps shared by the blocking actions. Every step goes through the
// instance, so a subclass's own accessors and flag check are the ones used.
#pragma once

#include "fa/module/module.h"
#include "fa/module/names.h"

namespace fa {

// Raises AbortByOtherException on a fault, StopException on a stop.
inline void flag_check(py::handle self) { self.attr(names._check_stop_and_exception_flags)(); }

inline bool can_not_go_on(py::handle self) { return truth(self.attr(names.can_not_go_on)()); }

inline bool read_x(py::handle self, py::handle x) { return truth(self.attr(names.x)(x)); }

inline void set_y(py::handle self, py::handle y, py::handle value) { self.attr(names.set_y)(y, value); }

// Seconds since `begin` on the module's clock.
inline double elapsed(double begin) { return now() - begin; }

// The last step of the actions: a stop or fault raises, a pause holds the
// caller until start or reset lifts it.
inline void wait_while_held(py::handle self, py::handle check_interval) {
    while (can_not_go_on(self)) {
        flag_check(self);
        sleep(check_interval);
    }
}

} // namespace fa
