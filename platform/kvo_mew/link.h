// VedUzavur, the PLC link: station-addressed reads and writes of relays and
// words by FP element name, carried by a transport chosen from the port.
//
// Every call checks its arguments with the GIL held, then releases the GIL,
// takes the link's mutex (one transaction at a time, as on a serial line),
// opens the link if it is not open and runs the transaction. So the link is
// opened lazily, start() only opens it early, and after close() the next call
// reopens it.
//
// Waits, the one for the mutex included, go in slices (interruption.h):
// close() from another thread does not wait for the transaction in progress
// but ends it, and those waiting for the mutex, with LinkError "link closed";
// Ctrl-C on the main thread ends a transaction within a slice or two.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "errors.h"
#include "transport.h"

namespace mew {

namespace py = pybind11;

class Link {
public:
    Link(py::object port, py::object baudrate, py::dict options);
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    void start();
    void close();
    bool is_open();
    py::object port() const { return port_; }
    py::object baudrate() const { return baudrate_; }
    py::dict options() const { return options_; }
    std::string repr();

    py::bool_ get_coil(py::handle station, py::handle name);
    void set_coil(py::handle station, py::handle name, py::handle value);
    py::int_ get_coil_uint16(py::handle station, py::handle name);
    void set_coil_uint16(py::handle station, py::handle name, py::handle value);

    void set_uint16(py::handle station, py::handle name, py::handle value);
    py::list get_multi_uint16(py::handle station, py::handle name, py::handle count);
    void set_multi_uint16(py::handle station, py::handle name, py::handle values);

    py::int_ get_uint32(py::handle station, py::handle name);
    void set_uint32(py::handle station, py::handle name, py::handle value);
    py::list get_multi_uint32(py::handle station, py::handle name, py::handle count);
    void set_multi_uint32(py::handle station, py::handle name, py::handle values);
    py::list get_multi_int32(py::handle station, py::handle name, py::handle count);
    void set_multi_int32(py::handle station, py::handle name, py::handle values);

private:
    // Runs `call(transport, interruption)` without the GIL, under the mutex,
    // on an open link. A transport whose port failed has closed it: the next
    // call reopens it.
    template <class Call>
    auto transaction(const char *op, int station, Call call) {
        uint64_t seen = closes_.load();
        py::gil_scoped_release unlocked;
        Interruption interruption(closes_, seen, op, station);
        std::unique_lock<std::timed_mutex> hold = acquire(interruption);
        open_locked(interruption);
        try {
            return call(*transport_, interruption);
        } catch (const PortError &) {
            open_ = false;
            throw;
        }
    }
    // The mutex, waited for in slices; then a last check, so a transaction
    // that waited through a close() ends too.
    std::unique_lock<std::timed_mutex> acquire(const Interruption &interruption);
    void open_locked(const Interruption &interruption);
    // Lets the transport refuse what it cannot address, before any transaction.
    void check(const char *op, int station, const Element &first, size_t count, bool write) const {
        transport_->check(op, station, first, count, write);
    }
    std::vector<uint16_t> read_block(const char *op, py::handle station, py::handle name, size_t words_per_item,
                                     py::handle count);
    void write_block(const char *op, py::handle station, py::handle name, const std::vector<uint16_t> &words);

    const py::object port_;
    const py::object baudrate_;
    const py::dict options_;
    std::timed_mutex mutex_;
    std::atomic<uint64_t> closes_{0};  // close() calls so far
    std::unique_ptr<Transport> transport_;
    std::atomic<bool> open_{false};    // written under the mutex, read without it
};

} // namespace mew
