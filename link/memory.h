// The memory of a simulated PLC: for every station its own relay areas X, Y,
// R and its data area D, all zero at first. Not thread-safe by itself; the
// simulated PLC guards it with its mutex.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "link/element_name.h"

namespace mew {

class PlcMemory {
public:
    // Callers check the block with block_error first; these check again and
    // throw a LinkError rather than touch memory outside an area.
    std::vector<uint16_t> read_words(int station, Area area, uint32_t first, size_t count);
    void read_words(int station, Area area, uint32_t first, size_t count, uint16_t *out);
    void write_words(int station, Area area, uint32_t first, const std::vector<uint16_t> &values);
    bool read_bit(int station, Area area, uint32_t word, int bit);
    void write_bit(int station, Area area, uint32_t word, int bit, bool value);

    // Copies `count` words between areas of one station (the PLC program's moves).
    void copy_words(int station, Area from, uint32_t from_word, Area to, uint32_t to_word, size_t count);

    // The stations touched so far, in ascending order, and the words of one
    // relay area of one of them (the trace compares them).
    std::vector<int> stations() const;
    const std::vector<uint16_t> &relay_words(int station, Area area);

private:
    struct Station {
        std::vector<uint16_t> x, y, r, d;
        Station();
    };
    uint16_t *area_at(int station, Area area, uint32_t first, size_t count);

    // Stations come into being when first touched: a D area costs 200 kB.
    std::map<int, std::unique_ptr<Station>> stations_;
};

} // namespace mew
