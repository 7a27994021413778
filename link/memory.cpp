#include "link/memory.h"

#include <algorithm>
#include <cstring>

#include "link/link_error.h"

namespace mew {

PlcMemory::Station::Station() : x(kRelayWords), y(kRelayWords), r(kRelayWords), d(kDataWords) {}

uint16_t *PlcMemory::area_at(int station, Area area, uint32_t first, size_t count) {
    // Callers checked the block with the GIL; this guard is not reached.
    if (auto error = block_error(Element{ElementKind::DataWord, area, first, -1}, count))
        throw LinkError(*error, ErrorKind::Address);
    auto &slot = stations_[station];
    if (!slot) slot = std::make_unique<Station>();
    std::vector<uint16_t> *words = nullptr;
    switch (area) {
    case Area::X: words = &slot->x; break;
    case Area::Y: words = &slot->y; break;
    case Area::R: words = &slot->r; break;
    case Area::D: words = &slot->d; break;
    }
    return words->data() + first;
}

std::vector<uint16_t> PlcMemory::read_words(int station, Area area, uint32_t first, size_t count) {
    const uint16_t *at = area_at(station, area, first, count);
    return std::vector<uint16_t>(at, at + count);
}

void PlcMemory::read_words(int station, Area area, uint32_t first, size_t count, uint16_t *out) {
    const uint16_t *at = area_at(station, area, first, count);
    std::copy(at, at + count, out);
}

void PlcMemory::write_words(int station, Area area, uint32_t first, const std::vector<uint16_t> &values) {
    uint16_t *at = area_at(station, area, first, values.size());
    std::copy(values.begin(), values.end(), at);
}

bool PlcMemory::read_bit(int station, Area area, uint32_t word, int bit) {
    return (*area_at(station, area, word, 1) >> bit) & 1u;
}

void PlcMemory::write_bit(int station, Area area, uint32_t word, int bit, bool value) {
    uint16_t *at = area_at(station, area, word, 1);
    uint16_t mask = uint16_t(1u << bit);
    *at = value ? uint16_t(*at | mask) : uint16_t(*at & ~mask);
}

std::vector<int> PlcMemory::stations() const {
    std::vector<int> result;
    for (const auto &entry : stations_) result.push_back(entry.first);
    return result;
}

const std::vector<uint16_t> &PlcMemory::relay_words(int station, Area area) {
    auto &slot = stations_[station];
    if (!slot) slot = std::make_unique<Station>();
    return area == Area::X ? slot->x : area == Area::Y ? slot->y : slot->r;
}

void PlcMemory::copy_words(int station, Area from, uint32_t from_word, Area to, uint32_t to_word, size_t count) {
    if (count == 0) return;
    const uint16_t *src = area_at(station, from, from_word, count);
    uint16_t *dst = area_at(station, to, to_word, count);
    std::memmove(dst, src, count * sizeof(uint16_t));
}

} // namespace mew
