#include "link/interruption.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>

#include <pthread.h>
#include <time.h>

#include "link/link_error.h"

namespace mew {

namespace {

std::atomic<unsigned long> main_thread{0};
std::atomic<SignalCheck> signal_check{nullptr};

// Interrupted threads; the count lets check() skip the lock when there are none.
std::mutex interrupted_guard;
std::multiset<unsigned long> interrupted;
std::atomic<size_t> interrupted_count{0};

bool is_interrupted(unsigned long ident) {
    if (interrupted_count.load() == 0) return false;
    std::lock_guard<std::mutex> hold(interrupted_guard);
    return interrupted.count(ident) != 0;
}

// The schedule of the signal checks needs no precision finer than a slice:
// the coarse clock costs a fraction of a precise reading.
std::chrono::nanoseconds coarse_now() {
#ifdef CLOCK_MONOTONIC_COARSE
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) == 0)
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
#endif
    return Interruption::Clock::now().time_since_epoch();
}

} // namespace

Interruption::Clock::duration seconds(double value) {
    return std::chrono::duration_cast<Interruption::Clock::duration>(std::chrono::duration<double>(value));
}

std::string Interruption::who() const {
    std::string text = std::string(op_) + "()";
    if (station_ > 0) text += " station " + std::to_string(station_);
    return text + ": ";
}

Interruption::Interruption(const std::atomic<uint64_t> &closes, uint64_t seen, const char *op, int station)
    : closes_(closes),
      seen_(seen),
      op_(op),
      station_(station),
      main_thread_(this_thread_ident() == main_thread.load()),
      // Only the main thread looks at signals: no clock reading elsewhere.
      next_signal_check_(main_thread_ ? coarse_now() + seconds(kSlice) : std::chrono::nanoseconds{}) {}

void Interruption::check() const {
    if (closes_.load() != seen_) throw LinkError(who() + "link closed", ErrorKind::Link, FailureCause::Closed);
    if (is_interrupted(this_thread_ident()))
        throw LinkError(who() + "transaction interrupted", ErrorKind::Link, FailureCause::Interrupted);
    if (main_thread_ && coarse_now() >= next_signal_check_) {
        next_signal_check_ = coarse_now() + seconds(kSlice);
        // The handler's error stays set, for the link to hand to the host.
        SignalCheck signals = signal_check.load();
        if (signals && signals()) throw LinkError("signal", ErrorKind::Raised);
    }
}

Interruption::Clock::time_point Interruption::slice_end(Clock::time_point until) {
    return std::min(until, Clock::now() + seconds(kSlice));
}

void Interruption::sleep_until(Clock::time_point until) const {
    for (;;) {
        check();
        if (Clock::now() >= until) return;
        std::this_thread::sleep_until(slice_end(until));
    }
}

void Interruption::sleep(double value) const { sleep_until(Clock::now() + seconds(value)); }

void interrupt_thread(unsigned long ident) {
    std::lock_guard<std::mutex> hold(interrupted_guard);
    interrupted.insert(ident);
    interrupted_count = interrupted.size();
}

void resume_thread(unsigned long ident) {
    std::lock_guard<std::mutex> hold(interrupted_guard);
    auto found = interrupted.find(ident);
    if (found != interrupted.end()) interrupted.erase(found);
    interrupted_count = interrupted.size();
}

void set_main_thread(unsigned long ident) { main_thread = ident; }

void set_signal_check(SignalCheck check) { signal_check = check; }

// What CPython's threading.get_ident() returns on POSIX threads.
unsigned long this_thread_ident() { return static_cast<unsigned long>(pthread_self()); }

} // namespace mew
