// The simulated PLC as a Modbus slave: a request PDU in, the answer PDU out,
// through the default element map read backwards (a Modbus table and address
// -> the FP element there). Only the functions the element map uses are
// served (01, 02, 03, 05, 06, 15, 16, 22); any other gets exception 1, an
// address that is no element exception 2, a malformed request exception 3.
// Plain C++ on a PlcMemory; the server (sim_server.h) runs it inside the
// simulated PLC's transaction.
#pragma once

#include <cstdint>
#include <vector>

#include "link/memory.h"

namespace mew::sim_slave {

// The simulated PLC's count name of a request's function ("read_holding_registers"),
// or null for a function it does not serve.
const char *operation(uint8_t function);

// The answer PDU to `pdu` (`size` bytes, the function code first) for station `station`.
std::vector<uint8_t> answer(PlcMemory &memory, int station, const uint8_t *pdu, size_t size);

// An exception response PDU.
std::vector<uint8_t> exception(uint8_t function, uint8_t code);

} // namespace mew::sim_slave
