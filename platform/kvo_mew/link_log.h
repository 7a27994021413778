// The link's log, through Python's logging (GIL held for every call):
//   kvo_mew.link    WARNING when the link goes down, INFO when it comes up
//                   again or reopens its port, DEBUG for each failed transaction
//   kvo_mew.frames  DEBUG for each request and answer, words in hex
// Each call asks the logger first (logging keeps that answer cached until a
// level changes, and the link reads that cache directly), so a disabled
// logger costs a few dict lookups and formats nothing.
// A failing logger never fails the transaction: its error is reported as
// unraisable.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "link/failure_cause.h"

namespace mew {
namespace link_log {

// Whether kvo_mew.frames is enabled for DEBUG.
bool frames_wanted();
// `line` as a DEBUG record of kvo_mew.frames ("sim://a > station 1 get_multi_uint16 D0..D1").
void frame(const std::string &port, char direction, const std::string &line);

void failed(const std::string &port, const char *op, int station, FailureCause cause, const std::string &message);
void went_down(const std::string &port, int station, const std::string &detail);
void came_up(const std::string &port, double seconds_down);
void reopened(const std::string &port);
// A WARNING of kvo_mew.link: `text` as it is.
void warning(const std::string &text);

} // namespace link_log
} // namespace mew
