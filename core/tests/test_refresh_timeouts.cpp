// The refresh cycle's output decision and the time-out arithmetic of the
// actions.
#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/refresh.h"
#include "core/timeouts.h"

using namespace kvo::core;

TEST_CASE("the output step writes after a change or a failed cycle, else reads back") {
    CHECK(output_step(false, false) == OutputStep::ReadBack);
    CHECK(output_step(true, false) == OutputStep::WriteWholeImage);
    CHECK(output_step(false, true) == OutputStep::WriteWholeImage);
    CHECK(output_step(true, true) == OutputStep::WriteWholeImage);
}

TEST_CASE("a pending change is any differing word") {
    int64_t words[] = {1, 2, 3};
    int64_t same[] = {1, 2, 3};
    int64_t last[] = {1, 2, 4};
    CHECK_FALSE(pending_change(words, same, 3));
    CHECK(pending_change(words, last, 3));
    CHECK_FALSE(pending_change(words, last, 2)); // only the first `count` positions
    CHECK_FALSE(pending_change(words, last, 0));
}

TEST_CASE("a limit not greater than 0 is no limit") {
    const double inf = std::numeric_limits<double>::infinity();
    CHECK_FALSE(is_limited(0.0));
    CHECK_FALSE(is_limited(-1.0));
    CHECK_FALSE(is_limited(std::nan("")));
    CHECK(is_limited(0.001));
    CHECK(is_limited(inf));
    CHECK(deadline(100.0, 0.0) == inf);
    CHECK(deadline(100.0, -2.0) == inf);
    CHECK(deadline(100.0, 2.5) == 102.5);
    CHECK_FALSE(timed_out(100.0, 1e9, 0.0));
    CHECK_FALSE(timed_out(100.0, 1e9, -1.0));
}

TEST_CASE("elapsed, remaining and the moment a limit passes") {
    CHECK(elapsed(100.0, 101.5) == 1.5);
    CHECK(remaining(102.5, 101.5) == 1.0);
    CHECK(remaining(102.5, 102.5) == 0.0);
    CHECK(remaining(102.5, 200.0) == 0.0); // never negative
    CHECK(remaining(std::numeric_limits<double>::infinity(), 1e9) == std::numeric_limits<double>::infinity());
    // Waiting goes on while the elapsed time is at most the limit.
    CHECK_FALSE(timed_out(100.0, 102.0, 2.0));
    CHECK(timed_out(100.0, 102.001, 2.0));
    // A clock that went back is no time-out.
    CHECK_FALSE(timed_out(100.0, 50.0, 2.0));
}
