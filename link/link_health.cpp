#include "link/link_health.h"

namespace mew {

uint64_t HealthCounters::failed() const {
    uint64_t sum = 0;
    for (uint64_t n : failures) sum += n;
    return sum;
}

Transition LinkHealth::record_good(uint64_t retries) {
    std::lock_guard<std::mutex> hold(mutex_);
    HealthCounters &c = counters_;
    ++c.transactions;
    ++c.good;
    c.retries += retries;
    c.answered = true;
    c.last_good = HealthClock::now();
    if (c.up) return Transition::None;
    c.up = true;
    return Transition::CameUp;
}

Transition LinkHealth::record_failure(int station, FailureCause cause, const std::string &message, uint64_t retries) {
    std::lock_guard<std::mutex> hold(mutex_);
    HealthCounters &c = counters_;
    ++c.transactions;
    ++c.failures[size_t(cause)];
    c.retries += retries;
    c.last_station = station;
    c.last_cause = cause;
    c.last_detail = detail_of(message);
    if (!c.up) return Transition::None;
    c.up = false;
    c.down_since = HealthClock::now();
    return Transition::WentDown;
}

void LinkHealth::record_reopen() {
    std::lock_guard<std::mutex> hold(mutex_);
    ++counters_.reopens;
}

HealthCounters LinkHealth::snapshot() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return counters_;
}

FailureCause cause_of(const LinkError &error) {
    if (error.cause() != FailureCause::Other) return error.cause();
    // Errors thrown without a cause still say what happened.
    std::string message = error.what();
    if (message.find("link closed") != std::string::npos) return FailureCause::Closed;
    if (message.find("stray frame") != std::string::npos) return FailureCause::Stray;
    return FailureCause::Other;
}

std::string detail_of(const std::string &message) {
    std::string detail = message;
    // The serial transport opens with "op() station N, ELEMENTS (SPAN): ".
    size_t call = detail.find("() station ");
    size_t colon = detail.find("): ");
    if (call != std::string::npos && colon != std::string::npos && call < colon) detail.erase(0, colon + 3);
    // ... and ends with " (N tries)" or " (1 try)".
    size_t open = detail.rfind(" (");
    auto ends_with = [&](const std::string &end) {
        return detail.size() >= end.size() && detail.compare(detail.size() - end.size(), end.size(), end) == 0;
    };
    if (open != std::string::npos && (ends_with(" tries)") || ends_with(" try)"))) detail.erase(open);
    return detail;
}

} // namespace mew
