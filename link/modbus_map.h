// The element map of the Modbus transport: which Modbus table and address
// each FP element name becomes.
//
//   an area on a bit table (coils, discrete inputs):
//       relay  word w, bit b  -> bit   base + w*16 + b
//       word   w              -> bits  base + w*16 .. base + w*16 + 15, bit 0 first
//   an area on a register table (holding, input registers):
//       word   w              -> register base + w
//       relay  word w, bit b  -> bit b of register base + w
//
// Default: X on discrete inputs from 0, Y on coils from 0, R on coils from
// 32768, D on holding registers from 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "link/element_name.h"

namespace mew {

enum class Table { Coils, DiscreteInputs, HoldingRegisters, InputRegisters };

constexpr uint32_t kModbusAddresses = 65536;  // addresses 0..65535 in every table
constexpr uint32_t kDefaultRelayCoilBase = 32768;

bool is_bit_table(Table table);
bool is_writable(Table table);
// The key of the table in a Python element map ("holding_registers").
const char *table_key(Table table);
// The table as a person reads it ("holding registers").
const char *table_text(Table table);
// Parses a table key; false when it names no table.
bool parse_table(const std::string &key, Table &table);

struct AreaMapping {
    bool mapped = false;
    Table table = Table::Coils;
    uint32_t base = 0;  // first Modbus address of the area's word 0
};

struct ElementMap {
    AreaMapping areas[4];  // indexed by Area

    AreaMapping &operator[](Area area) { return areas[int(area)]; }
    const AreaMapping &operator[](Area area) const { return areas[int(area)]; }
    static ElementMap defaults();
};

// Addresses of one table: `count` bits or registers from `first` on.
struct Span {
    Table table;
    uint32_t first;
    uint32_t count;
};

// The span of a relay (`words` ignored: one bit, or the register that holds
// it) or of `words` words from the word element `first` on, into `span`.
// Returns why there is none: the area is not mapped, `write` asks for a
// read-only table, or the span leaves the Modbus address range.
std::optional<std::string> locate(const ElementMap &map, const Element &first, size_t words, bool write, Span &span);

// "D10", "D10..D13", "X1F": the elements a span stands for, for messages.
std::string elements_text(const Element &first, size_t words);

// "holding registers 10..13", "coil 5": a span as Modbus addresses, for messages.
std::string span_text(const Span &span);

} // namespace mew
