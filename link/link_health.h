// The health of a link: how many transactions it ran, how many failed and
// why, how often the serial transport tried again and the port was reopened,
// and when the PLC last answered well. The link records every transaction
// here; readers (the `health` view, the watchdog) take a consistent copy at
// any time, also while a transaction waits for the PLC, because the counters
// have a small mutex of their own that is never held while waiting.
//
// The link is up after a good answer and down after a failed transaction;
// record_good and record_failure report the change so the link can tell the
// logger and the state callback once it has let go of its locks.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "link/link_error.h"
#include "link/failure_cause.h"

namespace mew {

using HealthClock = std::chrono::steady_clock;

enum class Transition { None, WentDown, CameUp };

struct HealthCounters {
    uint64_t transactions = 0;  // run to their end, good or failed
    uint64_t good = 0;
    std::array<uint64_t, kFailureCauses> failures{};
    uint64_t retries = 0;  // tries beyond the first (serial transport)
    uint64_t reopens = 0;  // opens after the first
    bool up = true;        // a new link counts as up until a transaction fails
    bool answered = false; // some transaction has succeeded
    HealthClock::time_point last_good{};
    HealthClock::time_point down_since{};
    int last_station = 0;  // of the last failed transaction, 0 before any
    FailureCause last_cause = FailureCause::Other;
    std::string last_detail;  // the last failure in a few words ("no answer within 0.3 s")

    uint64_t failed() const;
};

class LinkHealth {
public:
    Transition record_good(uint64_t retries);
    Transition record_failure(int station, FailureCause cause, const std::string &message, uint64_t retries);
    void record_reopen();
    HealthCounters snapshot() const;

private:
    mutable std::mutex mutex_;
    HealthCounters counters_;
};

// The cause of a failure: the one the engine named, else the one its message
// implies ("link closed", "stray frame").
FailureCause cause_of(const LinkError &error);

// A failure message without the transaction it names and the count of tries:
// "get_multi_uint16() station 1, D0..D1 (holding registers 0..1): no answer
// within 0.3 s (2 tries)" gives "no answer within 0.3 s".
std::string detail_of(const std::string &message);

} // namespace mew
