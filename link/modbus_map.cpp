#include "link/modbus_map.h"

namespace mew {

bool is_bit_table(Table table) { return table == Table::Coils || table == Table::DiscreteInputs; }

bool is_writable(Table table) { return table == Table::Coils || table == Table::HoldingRegisters; }

const char *table_key(Table table) {
    switch (table) {
    case Table::Coils: return "coils";
    case Table::DiscreteInputs: return "discrete_inputs";
    case Table::HoldingRegisters: return "holding_registers";
    case Table::InputRegisters: return "input_registers";
    }
    return "?";
}

const char *table_text(Table table) {
    switch (table) {
    case Table::Coils: return "coils";
    case Table::DiscreteInputs: return "discrete inputs";
    case Table::HoldingRegisters: return "holding registers";
    case Table::InputRegisters: return "input registers";
    }
    return "?";
}

bool parse_table(const std::string &key, Table &table) {
    for (Table t : {Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters, Table::InputRegisters}) {
        if (key == table_key(t)) {
            table = t;
            return true;
        }
    }
    return false;
}

ElementMap ElementMap::defaults() {
    ElementMap map;
    map[Area::X] = {true, Table::DiscreteInputs, 0};
    map[Area::Y] = {true, Table::Coils, 0};
    map[Area::R] = {true, Table::Coils, kDefaultRelayCoilBase};
    map[Area::D] = {true, Table::HoldingRegisters, 0};
    return map;
}

std::string elements_text(const Element &first, size_t words) {
    if (first.kind == ElementKind::Relay) return relay_name(first.area, first.word, first.bit);
    std::string text = word_name(first.area, first.word);
    if (words > 1) text += ".." + word_name(first.area, uint32_t(first.word + words - 1));
    return text;
}

std::string span_text(const Span &span) {
    std::string text = table_text(span.table);
    if (span.count == 1) {
        text.pop_back();  // "coils" -> "coil", "holding registers" -> "holding register"
        return text + " " + std::to_string(span.first);
    }
    return text + " " + std::to_string(span.first) + ".." + std::to_string(span.first + span.count - 1);
}

std::optional<std::string> locate(const ElementMap &map, const Element &first, size_t words, bool write, Span &span) {
    const AreaMapping &area = map[first.area];
    bool relay = first.kind == ElementKind::Relay;
    if (relay) words = 1;
    std::string what = elements_text(first, words);
    if (!area.mapped)
        return what + " has no Modbus address: the element map leaves " + area_letter(first.area) + " out";
    if (write && !is_writable(area.table))
        return what + " cannot be written: the element map puts " + area_letter(first.area) + " on " +
               table_text(area.table) + ", which are read-only";
    uint64_t start, count;
    if (is_bit_table(area.table)) {
        start = uint64_t(area.base) + uint64_t(first.word) * 16 + (relay ? uint64_t(first.bit) : 0);
        count = relay ? 1 : uint64_t(words) * 16;
    } else {
        start = uint64_t(area.base) + first.word;
        count = relay ? 1 : uint64_t(words);
    }
    if (start + count > kModbusAddresses)
        return what + " has no Modbus address: " + area_letter(first.area) + " maps to " + table_text(area.table) +
               " from " + std::to_string(area.base) + " and Modbus addresses end at 65535";
    span = Span{area.table, uint32_t(start), uint32_t(count)};
    return std::nullopt;
}

} // namespace mew
