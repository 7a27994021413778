// A simulated PLC served as a Modbus TCP server ("tcp://HOST:PORT", or
// "rtu+tcp://HOST:PORT": RTU frames over TCP, as a serial device server
// passes them), so
// other programs (a second process's machine, `kvo_kit watch`, an HMI,
// pymodbus) see the same live PLC. Its own thread runs a poll loop over the
// listening socket and every client, without the GIL; each request becomes
// one transaction of the simulated PLC (latency, fail_next, counts, the I/O
// program, devices: a callback device takes the GIL itself), answered by
// sim_slave.h, the unit identifier as the station.
//
// Hostile clients cannot stop it: a client whose bytes are no Modbus TCP (a
// length field outside 2..254, a protocol id other than 0) is disconnected,
// an RTU frame with a bad CRC or an unknown function is dropped unanswered
// with what follows it, as a slave on a line does;
// a silent client costs nothing; clients beyond kMaxClients are refused.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "link/tcp_socket.h"

namespace mew {

class SimulatedPlc;

class SimServer {
public:
    static constexpr size_t kMaxClients = 128;

    // Listens on `host`:`port` (0: a free port) for `plc`, which outlives the
    // server (it owns it). Throws LinkError when it cannot listen.
    // `rtu_frames`: RTU frames (CRC, no MBAP header) instead of Modbus TCP.
    SimServer(SimulatedPlc &plc, const std::string &host, int port, bool rtu_frames);
    // Stops the thread: within a slice, or a transaction's latency slice.
    ~SimServer();
    SimServer(const SimServer &) = delete;
    SimServer &operator=(const SimServer &) = delete;

    // "tcp://127.0.0.1:5020" (or "rtu+tcp://..."), with the port actually bound.
    const std::string &address() const { return address_; }

private:
    void run();

    SimulatedPlc &plc_;
    const bool rtu_frames_;
    std::string address_;  // before the listener, which fills it in
    Socket listener_;
    std::atomic<uint64_t> stops_{0};  // the Interruption's "closes" of the served transactions
    std::thread thread_;
};

} // namespace mew
