// The I/O trace of a simulated PLC: every change of an input (X) or output (Y)
// relay of any station, with the time it was seen, like a logic analyser. The
// simulated PLC shows it the memory after every transaction, direct access
// and device update. Not thread-safe by itself; the simulated PLC guards it
// with its mutex.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "link/memory.h"

namespace mew {

struct TraceEvent {
    double time;  // seconds since the trace started
    int station;
    std::string relay;  // "X1F", "Y0"
    bool value;
};

class IoTrace {
public:
    // Starts a new trace at `now`: forgets the old events and records every
    // relay that is on already as an event at time 0. At most `limit` events
    // are kept; later ones are counted as dropped.
    void start(PlcMemory &memory, double now, size_t limit);
    void stop() { running_ = false; }
    bool running() const { return running_; }

    // Records the relays that changed since the last look.
    void observe(PlcMemory &memory, double now);

    const std::vector<TraceEvent> &events() const { return events_; }
    size_t dropped() const { return dropped_; }

private:
    struct Image {
        std::vector<uint16_t> x, y;
    };
    void record(double time, int station, Area area, uint32_t word, uint16_t changed, uint16_t now_on);
    void compare(int station, Area area, std::vector<uint16_t> &seen, const std::vector<uint16_t> &words, double now);

    bool running_ = false;
    double start_ = 0;
    size_t limit_ = 0, dropped_ = 0;
    std::vector<TraceEvent> events_;
    std::map<int, Image> seen_;
};

} // namespace mew
