#include "link/sim_slave.h"

#include <optional>

#include "link/modbus_map.h"
#include "link/rtu_frame.h"

namespace mew::sim_slave {
namespace {

constexpr uint8_t kIllegalFunction = 1, kIllegalAddress = 2, kIllegalValue = 3;

uint16_t get16(const uint8_t *data) { return uint16_t((data[0] << 8) | data[1]); }

void put16(std::vector<uint8_t> &pdu, uint16_t value) {
    pdu.push_back(uint8_t(value >> 8));
    pdu.push_back(uint8_t(value & 0xFF));
}

// The element at a Modbus address of `table`: its area and its word (and
// bit, on a bit table) there.
struct Place {
    Area area;
    uint32_t word;
    int bit;
};

std::optional<Place> place_of(Table table, uint32_t address) {
    static const ElementMap map = ElementMap::defaults();
    std::optional<Place> found;
    uint32_t best_base = 0;
    for (Area area : {Area::X, Area::Y, Area::R, Area::D}) {
        const AreaMapping &mapping = map[area];
        if (!mapping.mapped || mapping.table != table || address < mapping.base) continue;
        if (found && mapping.base < best_base) continue;
        uint32_t offset = address - mapping.base;
        bool bits = is_bit_table(table);
        uint32_t word = bits ? offset / 16 : offset;
        uint32_t words = area == Area::D ? kDataWords : kRelayWords;
        if (word >= words) continue;
        found = Place{area, word, bits ? int(offset % 16) : -1};
        best_base = mapping.base;
    }
    return found;
}

// Every address of a block has its element: the block's places, or none.
std::optional<std::vector<Place>> places_of(Table table, uint32_t first, uint32_t count) {
    std::vector<Place> places;
    places.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        std::optional<Place> place = first + i < kModbusAddresses ? place_of(table, first + i) : std::nullopt;
        if (!place) return std::nullopt;
        places.push_back(*place);
    }
    return places;
}

std::vector<uint8_t> read_bits(PlcMemory &memory, int station, uint8_t function, const uint8_t *pdu) {
    uint16_t first = get16(pdu + 1), count = get16(pdu + 3);
    if (count < 1 || count > 2000) return exception(function, kIllegalValue);
    auto places = places_of(function == rtu::kReadCoils ? Table::Coils : Table::DiscreteInputs, first, count);
    if (!places) return exception(function, kIllegalAddress);
    std::vector<uint8_t> out{function, uint8_t((count + 7) / 8)};
    out.resize(2 + out[1], 0);
    for (uint16_t i = 0; i < count; ++i) {
        const Place &p = (*places)[i];
        if (memory.read_bit(station, p.area, p.word, p.bit)) out[2 + i / 8] |= uint8_t(1u << (i % 8));
    }
    return out;
}

std::vector<uint8_t> read_registers(PlcMemory &memory, int station, uint8_t function, const uint8_t *pdu) {
    uint16_t first = get16(pdu + 1), count = get16(pdu + 3);
    if (count < 1 || count > 125) return exception(function, kIllegalValue);
    auto places = places_of(Table::HoldingRegisters, first, count);
    if (!places) return exception(function, kIllegalAddress);
    std::vector<uint8_t> out{function, uint8_t(2 * count)};
    for (const Place &p : *places) put16(out, memory.read_words(station, p.area, p.word, 1)[0]);
    return out;
}

std::vector<uint8_t> write_bits(PlcMemory &memory, int station, const uint8_t *pdu, size_t size) {
    uint8_t function = pdu[0];
    uint16_t first = get16(pdu + 1), count = 1;
    std::vector<bool> values;
    if (function == rtu::kWriteSingleCoil) {
        uint16_t value = get16(pdu + 3);
        if (value != 0xFF00 && value != 0) return exception(function, kIllegalValue);
        values.push_back(value == 0xFF00);
    } else {
        count = get16(pdu + 3);
        if (size < 6 || count < 1 || count > 1968 || pdu[5] != (count + 7) / 8 || size != 6u + pdu[5])
            return exception(function, kIllegalValue);
        for (uint16_t i = 0; i < count; ++i) values.push_back((pdu[6 + i / 8] >> (i % 8)) & 1u);
    }
    auto places = places_of(Table::Coils, first, count);
    if (!places) return exception(function, kIllegalAddress);
    for (uint16_t i = 0; i < count; ++i)
        memory.write_bit(station, (*places)[i].area, (*places)[i].word, (*places)[i].bit, values[i]);
    return std::vector<uint8_t>(pdu, pdu + 5);
}

std::vector<uint8_t> write_registers(PlcMemory &memory, int station, const uint8_t *pdu, size_t size) {
    uint8_t function = pdu[0];
    uint16_t first = get16(pdu + 1), count = 1;
    std::vector<uint16_t> values;
    if (function == rtu::kWriteSingleRegister) {
        values.push_back(get16(pdu + 3));
    } else {
        count = get16(pdu + 3);
        if (size < 6 || count < 1 || count > 123 || pdu[5] != 2 * count || size != 6u + pdu[5])
            return exception(function, kIllegalValue);
        for (uint16_t i = 0; i < count; ++i) values.push_back(get16(pdu + 6 + 2 * i));
    }
    auto places = places_of(Table::HoldingRegisters, first, count);
    if (!places) return exception(function, kIllegalAddress);
    for (uint16_t i = 0; i < count; ++i) memory.write_words(station, (*places)[i].area, (*places)[i].word, {values[i]});
    return std::vector<uint8_t>(pdu, pdu + 5);
}

std::vector<uint8_t> mask_write(PlcMemory &memory, int station, const uint8_t *pdu) {
    auto place = place_of(Table::HoldingRegisters, get16(pdu + 1));
    if (!place) return exception(pdu[0], kIllegalAddress);
    uint16_t and_mask = get16(pdu + 3), or_mask = get16(pdu + 5);
    uint16_t old = memory.read_words(station, place->area, place->word, 1)[0];
    memory.write_words(station, place->area, place->word, {uint16_t((old & and_mask) | (or_mask & ~and_mask))});
    return std::vector<uint8_t>(pdu, pdu + 7);
}

} // namespace

const char *operation(uint8_t function) {
    switch (function) {
    case rtu::kReadCoils: return "read_coils";
    case rtu::kReadDiscreteInputs: return "read_discrete_inputs";
    case rtu::kReadHoldingRegisters: return "read_holding_registers";
    case rtu::kWriteSingleCoil: return "write_single_coil";
    case rtu::kWriteSingleRegister: return "write_single_register";
    case rtu::kWriteMultipleCoils: return "write_multiple_coils";
    case rtu::kWriteMultipleRegisters: return "write_multiple_registers";
    case rtu::kMaskWriteRegister: return "mask_write_register";
    default: return nullptr;
    }
}

std::vector<uint8_t> exception(uint8_t function, uint8_t code) { return {uint8_t(function | 0x80), code}; }

std::vector<uint8_t> answer(PlcMemory &memory, int station, const uint8_t *pdu, size_t size) {
    uint8_t function = pdu[0];
    if (!operation(function)) return exception(function, kIllegalFunction);
    size_t fixed = function == rtu::kMaskWriteRegister ? 7 : 5;
    if (size < fixed) return exception(function, kIllegalValue);
    bool multiple = function == rtu::kWriteMultipleCoils || function == rtu::kWriteMultipleRegisters;
    if (!multiple && size != fixed) return exception(function, kIllegalValue);
    switch (function) {
    case rtu::kReadCoils:
    case rtu::kReadDiscreteInputs:
        return read_bits(memory, station, function, pdu);
    case rtu::kReadHoldingRegisters:
        return read_registers(memory, station, function, pdu);
    case rtu::kWriteSingleCoil:
    case rtu::kWriteMultipleCoils:
        return write_bits(memory, station, pdu, size);
    case rtu::kWriteSingleRegister:
    case rtu::kWriteMultipleRegisters:
        return write_registers(memory, station, pdu, size);
    default:
        return mask_write(memory, station, pdu);
    }
}

} // namespace mew::sim_slave
