// VedUzavur, the PLC link: station-addressed reads and writes of relays and
// words by FP element name, carried by a transport chosen from the port.
//
// Every call checks its arguments with the GIL held, then releases the GIL,
// takes the link's mutex (one transaction at a time, as on a serial line),
// opens the link if it is not open and runs the transaction. So the link is
// opened lazily, start() only opens it early, and after close() the next call
// reopens it.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>

#include "callback_device.h"
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
    // Runs `call(transport)` without the GIL, under the mutex, on an open link.
    // A transport whose port failed has closed it: the next call reopens it.
    template <class Call>
    auto transaction(Call call) {
        refuse_inside_device_update("a PLC link");
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> hold(mutex_);
        open_locked();
        try {
            return call(*transport_);
        } catch (const PortError &) {
            open_ = false;
            throw;
        }
    }
    void open_locked();
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
    std::mutex mutex_;
    std::unique_ptr<Transport> transport_;
    bool open_ = false;
};

} // namespace mew
