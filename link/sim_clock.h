// The time of a simulated PLC's devices and trace, in seconds. The steady
// clock follows std::chrono::steady_clock; the manual clock stands still
// until advance() moves it, so tests can step a device through its timing
// exactly. Switching keeps the time continuous. Not thread-safe by itself;
// the simulated PLC guards it with its mutex.
#pragma once

#include <chrono>

namespace mew {

class SimClock {
public:
    SimClock() : origin_(std::chrono::steady_clock::now()) {}

    double now() const {
        if (manual_) return offset_;
        return offset_ + std::chrono::duration<double>(std::chrono::steady_clock::now() - origin_).count();
    }

    bool manual() const { return manual_; }

    void set_manual(bool manual) {
        if (manual == manual_) return;
        offset_ = now();
        origin_ = std::chrono::steady_clock::now();
        manual_ = manual;
    }

    // Moves the manual clock on; the steady clock cannot be moved.
    void advance(double seconds) { offset_ += seconds; }

private:
    bool manual_ = false;
    double offset_ = 0.0;
    std::chrono::steady_clock::time_point origin_;
};

} // namespace mew
