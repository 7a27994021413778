// Time-out arithmetic of the machine's actions, in seconds as doubles read
// from the machine's clock. A limit not greater than 0 means no limit (and
// so does NaN, which is not greater than 0 either).
#pragma once

#include <limits>

namespace kvo::core {

constexpr bool is_limited(double limit) { return limit > 0; }

constexpr double elapsed(double begin, double now) { return now - begin; }

// The moment a limit runs out; infinity when there is no limit.
constexpr double deadline(double begin, double limit) {
    return is_limited(limit) ? begin + limit : std::numeric_limits<double>::infinity();
}

// Seconds left before the deadline, never negative.
constexpr double remaining(double deadline, double now) { return now < deadline ? deadline - now : 0.0; }

// The limit has passed: more than `limit` seconds since `begin`. Waiting
// loops go on while the elapsed time is at most the limit.
constexpr bool timed_out(double begin, double now, double limit) {
    return is_limited(limit) && elapsed(begin, now) > limit;
}

} // namespace kvo::core
