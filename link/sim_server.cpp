#include "link/sim_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "link/byte_stream.h"
#include "link/link_error.h"
#include "link/mbap_line.h"
#include "link/rtu_frame.h"
#include "link/sim_slave.h"
#include "link/simulated_plc.h"

namespace mew {
namespace {

constexpr size_t kMaxPending = 64 * 1024;  // answers a client may leave unread before it is dropped

struct Client {
    Socket socket;
    std::vector<uint8_t> in, out;
};

uint16_t get16(const uint8_t *data) { return uint16_t((data[0] << 8) | data[1]); }

Socket listen_on(const std::string &host, int port, bool rtu_frames, std::string &address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo *found = nullptr;
    int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) throw LinkError(std::string("cannot look up '") + host + "': " + gai_strerror(status));
    std::unique_ptr<addrinfo, void (*)(addrinfo *)> owned(found, freeaddrinfo);
    Socket socket(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int on = 1;
    if (!socket || ::setsockopt(socket.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(socket.fd(), found->ai_addr, found->ai_addrlen) != 0 || ::listen(socket.fd(), 64) != 0)
        throw LinkError(std::strerror(errno));
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    ::getsockname(socket.fd(), reinterpret_cast<sockaddr *>(&bound), &size);
    int bound_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(bound).sin6_port
                                                        : reinterpret_cast<sockaddr_in &>(bound).sin_port);
    bool v6 = host.find(':') != std::string::npos;
    address = (rtu_frames ? "rtu+tcp://" : "tcp://") + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound_port);
    return socket;
}

// The answer PDU to one request of `station`, as one transaction of the PLC.
std::vector<uint8_t> answer_of(SimulatedPlc &plc, int station, const uint8_t *pdu, size_t size,
                               const Interruption &interruption) {
    std::vector<uint8_t> answer;
    const char *op = sim_slave::operation(pdu[0]);
    if (station == 0) {
        answer = sim_slave::exception(pdu[0], 10);  // no station 0: gateway path unavailable
    } else if (!op) {
        answer = sim_slave::exception(pdu[0], 1);  // illegal function
    } else {
        try {
            plc.transact(interruption, op, station, [&](PlcMemory &memory) {
                answer = sim_slave::answer(memory, station, pdu, size);
            });
        } catch (const LinkError &failure) {
            if (failure.cause() == FailureCause::Closed) throw;  // the server stops
            answer = sim_slave::exception(pdu[0], 4);  // fail_next: server device failure
        }
    }
    return answer;
}

// Answers the whole requests at the head of the client's input; false when
// its bytes are no Modbus TCP.
bool serve_requests(SimulatedPlc &plc, Client &client, const Interruption &interruption) {
    std::vector<uint8_t> &in = client.in;
    while (in.size() >= mbap::kHeader) {
        size_t length = get16(in.data() + 4);
        if (length < 2 || length > mbap::kLongest || get16(in.data() + 2) != 0) return false;
        if (in.size() < 6 + length) break;
        int station = in[6];
        std::vector<uint8_t> answer = answer_of(plc, station, in.data() + 7, length - 1, interruption);
        std::vector<uint8_t> &out = client.out;
        out.insert(out.end(), in.begin(), in.begin() + 4);
        out.push_back(uint8_t((answer.size() + 1) >> 8));
        out.push_back(uint8_t((answer.size() + 1) & 0xFF));
        out.push_back(uint8_t(station));
        out.insert(out.end(), answer.begin(), answer.end());
        in.erase(in.begin(), in.begin() + long(6 + length));
    }
    return true;
}

// The size of the RTU request at the head of `data`: 0 while more bytes are
// needed to tell, SIZE_MAX for a function no request of ours has.
size_t rtu_request_size(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    switch (data[1]) {
    case rtu::kReadCoils:
    case rtu::kReadDiscreteInputs:
    case rtu::kReadHoldingRegisters:
    case rtu::kReadInputRegisters:
    case rtu::kWriteSingleCoil:
    case rtu::kWriteSingleRegister:
        return 8;
    case rtu::kWriteMultipleCoils:
    case rtu::kWriteMultipleRegisters:
        return size < 7 ? 0 : 9 + size_t(data[6]);
    case rtu::kMaskWriteRegister:
        return 10;
    default:
        return SIZE_MAX;
    }
}

// The RTU requests at the head of the input, answered like the MBAP ones.
// A bad CRC or an unknown function drops the input (a slave stays silent);
// station 0 (a broadcast) gets no answer.
void serve_rtu_requests(SimulatedPlc &plc, Client &client, const Interruption &interruption) {
    std::vector<uint8_t> &in = client.in;
    for (;;) {
        size_t frame = rtu_request_size(in.data(), in.size());
        if (frame == SIZE_MAX) {
            in.clear();
            return;
        }
        if (frame == 0 || in.size() < frame) return;
        uint16_t crc = rtu::crc16(in.data(), frame - 2);
        if (in[frame - 2] != (crc & 0xFF) || in[frame - 1] != (crc >> 8)) {
            in.clear();
            return;
        }
        int station = in[0];
        std::vector<uint8_t> answer = answer_of(plc, station, in.data() + 1, frame - 3, interruption);
        in.erase(in.begin(), in.begin() + long(frame));
        if (station == 0) continue;
        std::vector<uint8_t> &out = client.out;
        size_t start = out.size();
        out.push_back(uint8_t(station));
        out.insert(out.end(), answer.begin(), answer.end());
        uint16_t answer_crc = rtu::crc16(out.data() + start, out.size() - start);
        out.push_back(uint8_t(answer_crc & 0xFF));
        out.push_back(uint8_t(answer_crc >> 8));
    }
}

// Sends what it can of the client's answers; false when the client is gone.
bool flush(Client &client) {
    while (!client.out.empty()) {
        ssize_t n = ::send(client.socket.fd(), client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            client.out.erase(client.out.begin(), client.out.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && client.out.size() <= kMaxPending;
    }
    return true;
}

// Reads what the client sent; false when it is gone.
bool take_in(Client &client) {
    uint8_t chunk[1024];
    for (;;) {
        ssize_t n = ::recv(client.socket.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            client.in.insert(client.in.end(), chunk, chunk + n);
            if (client.in.size() > 4 * kMaxPending) return false;  // sends and never reads
            if (size_t(n) < sizeof chunk) return true;  // all there was: the next poll tells of more
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

} // namespace

SimServer::SimServer(SimulatedPlc &plc, const std::string &host, int port, bool rtu_frames)
    : plc_(plc), rtu_frames_(rtu_frames), listener_(listen_on(host, port, rtu_frames, address_)) {
    thread_ = std::thread([this] { run(); });
}

SimServer::~SimServer() {
    ++stops_;
    if (thread_.joinable()) thread_.join();
}

void SimServer::run() {
    Interruption interruption(stops_, 0, "serve", 0);
    std::vector<std::unique_ptr<Client>> clients;
    try {
        while (stops_.load() == 0) {
            std::vector<pollfd> watched{{listener_.fd(), POLLIN, 0}};
            for (auto &client : clients)
                watched.push_back({client->socket.fd(), short(POLLIN | (client->out.empty() ? 0 : POLLOUT)), 0});
            if (::poll(watched.data(), watched.size(), int(kSlice * 1000)) < 0 && errno != EINTR) break;
            std::vector<std::unique_ptr<Client>> kept;
            for (size_t i = 0; i < clients.size(); ++i) {
                Client &client = *clients[i];
                bool alive = !(watched[i + 1].revents & (POLLERR | POLLNVAL));
                if (alive && (watched[i + 1].revents & (POLLIN | POLLHUP))) alive = take_in(client);
                if (alive && rtu_frames_) serve_rtu_requests(plc_, client, interruption);
                if (alive && !rtu_frames_) alive = serve_requests(plc_, client, interruption);
                if (alive) alive = flush(client);
                if (alive) kept.push_back(std::move(clients[i]));
            }
            clients.swap(kept);
            if (watched[0].revents & POLLIN) {
                for (;;) {
                    int fd = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (fd < 0) break;
                    Socket accepted(fd);
                    if (clients.size() >= kMaxClients || !set_link_socket_options(fd)) continue;  // refused
                    clients.push_back(std::make_unique<Client>());
                    clients.back()->socket = std::move(accepted);
                }
            }
        }
    } catch (const LinkError &) {
        // stopped in the middle of a transaction
    }
}

} // namespace mew
