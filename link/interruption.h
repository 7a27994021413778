// What may end a link transaction before its time, and the sliced waits that
// let it: every wait of a transaction (the link's mutex, the serial line, the
// simulated PLC's latency, a reopen delay) lasts at most kSlice seconds
// before Interruption::check() runs again. check() ends the transaction
//   - with LinkError "link closed" when the link's close() ran since the
//     transaction began (close() from another thread does not wait for it);
//   - with LinkError "transaction interrupted" while the calling thread's
//     transactions are interrupted (interrupt_thread: how a machine's close
//     ends its updater's transfer without closing the link);
//   - with the signal's error when the host's signal check (set_signal_check:
//     Python's handlers, KeyboardInterrupt for Ctrl-C) says one ran and the
//     transaction runs on the main thread; asked once a slice, so a short
//     transaction never asks. The host's error is left set and a LinkError
//     of kind Raised thrown.
// It ends a transaction by throwing LinkError (link_error.h). Called without the GIL.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace mew {

constexpr double kSlice = 0.05;  // seconds: the longest wait between two checks

class Interruption {
public:
    using Clock = std::chrono::steady_clock;

    // `closes` counts the link's close() calls; it read `seen` when the
    // transaction began. `op` and `station` name the transaction in messages.
    Interruption(const std::atomic<uint64_t> &closes, uint64_t seen, const char *op, int station);

    void check() const;
    // Waits until `until`, checking every slice.
    void sleep_until(Clock::time_point until) const;
    void sleep(double seconds) const;
    // The next moment to check again: `until`, or one slice from now if sooner.
    static Clock::time_point slice_end(Clock::time_point until);

private:
    std::string who() const;

    const std::atomic<uint64_t> &closes_;
    const uint64_t seen_;
    const char *const op_;
    const int station_;
    const bool main_thread_;
    // Signals are looked at once a slice: taking the GIL may wait for it.
    // On the coarse monotonic clock (interruption.cpp).
    mutable std::chrono::nanoseconds next_signal_check_;
};

// The host's check for signals: runs the pending handlers and returns true
// when one left an error (the bindings take the GIL for it). Without one, no
// transaction looks at signals.
using SignalCheck = bool (*)();
void set_signal_check(SignalCheck check);

// The calling thread's identity, the same number as Python's threading.get_ident().
unsigned long this_thread_ident();

// Thread `ident` (threading.get_ident()): its link transactions, the one it
// runs now included, fail at once until resume_thread(ident).
void interrupt_thread(unsigned long ident);
void resume_thread(unsigned long ident);

// The thread whose transactions check for signals (threading.main_thread()).
void set_main_thread(unsigned long ident);

Interruption::Clock::duration seconds(double value);

} // namespace mew
