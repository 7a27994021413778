#include "link/io_trace.h"

#include "link/devices.h"

namespace mew {

void IoTrace::start(PlcMemory &memory, double now, size_t limit) {
    running_ = true;
    start_ = now;
    limit_ = limit;
    dropped_ = 0;
    events_.clear();
    seen_.clear();
    observe(memory, now);  // against an all-off image: what is on now
}

void IoTrace::record(double time, int station, Area area, uint32_t word, uint16_t changed, uint16_t now_on) {
    for (int bit = 0; bit < 16; ++bit) {
        if (!((changed >> bit) & 1u)) continue;
        if (events_.size() >= limit_) {
            ++dropped_;
            continue;
        }
        events_.push_back(TraceEvent{time, station, Relay{station, area, word, bit}.name(), bool((now_on >> bit) & 1u)});
    }
}

void IoTrace::compare(int station, Area area, std::vector<uint16_t> &seen, const std::vector<uint16_t> &words,
                      double now) {
    if (seen.empty()) seen.assign(words.size(), 0);
    for (size_t w = 0; w < words.size(); ++w) {
        if (seen[w] == words[w]) continue;
        record(now - start_, station, area, uint32_t(w), uint16_t(seen[w] ^ words[w]), words[w]);
        seen[w] = words[w];
    }
}

void IoTrace::observe(PlcMemory &memory, double now) {
    if (!running_) return;
    for (int station : memory.stations()) {
        Image &image = seen_[station];
        compare(station, Area::X, image.x, memory.relay_words(station, Area::X), now);
        compare(station, Area::Y, image.y, memory.relay_words(station, Area::Y), now);
    }
}

} // namespace mew
