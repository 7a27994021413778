// The element map (FP names to Modbus tables and addresses) and the
// simulated PLC's memory.
#include <doctest/doctest.h>

#include "link/link_error.h"
#include "link/memory.h"
#include "link/modbus_map.h"

using namespace mew;

namespace {

Element element(const char *name) {
    std::string error;
    std::optional<Element> parsed = parse_element(name, error);
    REQUIRE_MESSAGE(parsed, error);
    return *parsed;
}

Span span_of(const ElementMap &map, const char *name, size_t words = 1, bool write = false) {
    Span span{};
    std::optional<std::string> error = locate(map, element(name), words, write, span);
    REQUIRE_MESSAGE(!error, *error);
    return span;
}

std::string refusal(const ElementMap &map, const char *name, size_t words, bool write) {
    Span span{};
    std::optional<std::string> error = locate(map, element(name), words, write, span);
    REQUIRE(error);
    return *error;
}

} // namespace

TEST_CASE("the default element map") {
    ElementMap map = ElementMap::defaults();
    struct Case {
        const char *name;
        size_t words;
        Table table;
        uint32_t first, count;
    };
    for (Case c : {Case{"X1F", 1, Table::DiscreteInputs, 31, 1}, {"WX2", 3, Table::DiscreteInputs, 32, 48},
                   {"Y0", 1, Table::Coils, 0, 1}, {"R100", 1, Table::Coils, 32768 + 160, 1},
                   {"WR1", 1, Table::Coils, 32768 + 16, 16}, {"D10", 4, Table::HoldingRegisters, 10, 4},
                   {"DT65535", 1, Table::HoldingRegisters, 65535, 1}}) {
        std::string name = c.name;
        CAPTURE(name);
        Span span = span_of(map, c.name, c.words);
        CHECK(span.table == c.table);
        CHECK(span.first == c.first);
        CHECK(span.count == c.count);
    }
    CHECK(span_text(span_of(map, "D10", 4)) == "holding registers 10..13");
    CHECK(span_text(span_of(map, "Y5")) == "coil 5");
    CHECK(elements_text(element("D10"), 4) == "D10..D13");
}

TEST_CASE("a relay on a register table is a bit of its register") {
    ElementMap map = ElementMap::defaults();
    map[Area::R] = {true, Table::HoldingRegisters, 1000};
    Span span = span_of(map, "R23");
    CHECK(span.table == Table::HoldingRegisters);
    CHECK(span.first == 1002);
    CHECK(span.count == 1);
}

TEST_CASE("what the element map refuses") {
    ElementMap map = ElementMap::defaults();
    CHECK(refusal(map, "WX0", 1, true) ==
          "WX0 cannot be written: the element map puts X on discrete inputs, which are read-only");
    CHECK(refusal(map, "D65535", 2, false).find("Modbus addresses end at 65535") != std::string::npos);
    map[Area::R].mapped = false;
    CHECK(refusal(map, "R0", 1, false) == "R0 has no Modbus address: the element map leaves R out");
    CHECK(refusal(map, "WR999", 1, false).find("WR999") == 0);
}

TEST_CASE("table keys parse back to their table") {
    for (Table table : {Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters, Table::InputRegisters}) {
        Table parsed = Table::Coils;
        REQUIRE(parse_table(table_key(table), parsed));
        CHECK(parsed == table);
    }
    Table unchanged = Table::InputRegisters;
    CHECK_FALSE(parse_table("registers", unchanged));
    CHECK(unchanged == Table::InputRegisters);
}

TEST_CASE("the simulated PLC's memory: each station its own, zero at first") {
    PlcMemory memory;
    CHECK(memory.read_words(1, Area::D, 0, 3) == std::vector<uint16_t>{0, 0, 0});
    memory.write_words(1, Area::D, 99998, {7, 8});
    CHECK(memory.read_words(1, Area::D, 99999, 1)[0] == 8);
    CHECK(memory.read_words(2, Area::D, 99999, 1)[0] == 0);
    memory.write_bit(1, Area::Y, 3, 15, true);
    CHECK(memory.read_bit(1, Area::Y, 3, 15));
    CHECK(memory.read_words(1, Area::Y, 3, 1)[0] == 0x8000);
    memory.write_bit(1, Area::Y, 3, 15, false);
    CHECK(memory.read_words(1, Area::Y, 3, 1)[0] == 0);
    memory.write_words(1, Area::X, 0, {1, 2, 3});
    memory.copy_words(1, Area::X, 0, Area::D, 10, 3);
    CHECK(memory.read_words(1, Area::D, 10, 3) == std::vector<uint16_t>{1, 2, 3});
    CHECK(memory.stations() == std::vector<int>{1, 2});
    // A block past an area's end throws rather than touches memory.
    CHECK_THROWS_AS(memory.read_words(1, Area::X, 999, 2), LinkError);
    CHECK_THROWS_AS(memory.write_words(1, Area::D, 99999, {1, 2}), LinkError);
}
