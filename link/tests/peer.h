// A test thread playing the other end of a connection (a Modbus server, a
// PLC), and the frames it sends. Joined when the test's PeerThread goes.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "link/interruption.h"

namespace test {

using Bytes = std::vector<uint8_t>;

class PeerThread {
public:
    explicit PeerThread(std::function<void()> play) : thread_(std::move(play)) {}
    ~PeerThread() { thread_.join(); }

private:
    std::thread thread_;
};

// Reads exactly `size` bytes (blocking, with a generous limit); fewer when
// the other end closed or nothing came for 5 s.
inline Bytes read_exactly(int fd, size_t size) {
    Bytes data;
    while (data.size() < size) {
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, 5000) <= 0) break;
        uint8_t chunk[512];
        ssize_t n = ::recv(fd, chunk, std::min(sizeof chunk, size - data.size()), 0);
        if (n <= 0) break;
        data.insert(data.end(), chunk, chunk + n);
    }
    return data;
}

// One Modbus TCP request: its 7-byte header and PDU.
inline Bytes read_mbap_request(int fd) {
    Bytes head = read_exactly(fd, 7);
    if (head.size() < 7) return head;
    Bytes rest = read_exactly(fd, size_t((head[4] << 8) | head[5]) - 1);
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
}

inline uint16_t transaction_of(const Bytes &adu) { return uint16_t((adu[0] << 8) | adu[1]); }

inline void send_all(int fd, const Bytes &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += size_t(n);
    }
}

// An MBAP frame: header (transaction, protocol, length, unit) and `pdu`.
inline Bytes mbap_frame(uint16_t transaction, uint8_t unit, const Bytes &pdu, uint16_t protocol = 0) {
    Bytes frame{uint8_t(transaction >> 8), uint8_t(transaction), uint8_t(protocol >> 8), uint8_t(protocol),
                uint8_t((pdu.size() + 1) >> 8), uint8_t(pdu.size() + 1), unit};
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

// The PDU of a holding register read's answer: registers base, base+1, ...
inline Bytes registers_pdu(uint16_t base, size_t count) {
    Bytes pdu{3, uint8_t(2 * count)};
    for (size_t i = 0; i < count; ++i) {
        pdu.push_back(uint8_t((base + i) >> 8));
        pdu.push_back(uint8_t(base + i));
    }
    return pdu;
}

// An Interruption no one interrupts: the engine's waits run to their end.
struct Uninterrupted {
    std::atomic<uint64_t> closes{0};
    mew::Interruption interruption{closes, 0, "test", 1};
};

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace test
