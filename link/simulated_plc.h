// An in-process PLC for tests and dry runs, shared by name: every link whose
// port is "sim://NAME" talks to the same SimulatedPlc NAME. Each station has
// its own memory. Python plays the machine's side through the direct
// get/set (immediate, not counted, never failing); links go through
// transact(), which adds latency, injected failures, counters and the
// optional I/O program (map_io). Devices (devices.h) make the memory behave
// like a machine; they and the I/O trace (io_trace.h) run on the PLC's clock
// (sim_clock.h) and are brought up to date at every transaction and access.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/devices.h"
#include "link/function_ref.h"
#include "link/interruption.h"
#include "link/io_trace.h"
#include "link/memory.h"
#include "link/sim_clock.h"

namespace mew {

class SimServer;

class SimulatedPlc {
public:
    explicit SimulatedPlc(std::string name);
    ~SimulatedPlc();

    const std::string &name() const { return name_; }

    // One link transaction, called without the GIL: sleeps the latency with no
    // lock held, in slices that `interruption` may end, then under the mutex counts `op`, fails if fail_next asked
    // for it, updates the devices (so the input copy sees their sensors),
    // copies the station's input words (map_io), serves, copies the station's
    // output words and updates the devices again (so a valve change is timed
    // by the transaction that brought it).
    void transact(const Interruption &interruption, const char *op, int station,
                  FunctionRef<void(PlcMemory &)> serve);

    // Direct access to the memory under the mutex (the machine's side), with
    // the devices brought up to date before and after.
    void access(const std::function<void(PlcMemory &)> &use);

    // Adds a device after the others; false when the name is taken.
    bool add_device(const std::shared_ptr<Device> &device);
    std::shared_ptr<Device> find_device(const std::string &name) const;
    std::vector<std::string> device_names() const;
    // Runs `use` on device `name` under the mutex at the present time, then
    // updates every device; false when there is no such device.
    bool with_device(const std::string &name, const std::function<void(Device &, PlcMemory &, double)> &use);

    // The devices' clock: steady (default) or manual, moved by advance().
    double now() const;
    bool manual_clock() const;
    void set_manual_clock(bool manual);
    void advance(double seconds);

    void trace_start(size_t limit);
    void trace_stop();
    bool tracing() const;
    std::vector<TraceEvent> trace() const;
    size_t trace_dropped() const;

    // The PLC program the FP register map assumes for `station`: WX0.. into
    // D0.. (x_words words) before each transaction and D<y_shift>.. into WY0..
    // (y_words words) after it. Zero words on both sides removes the program.
    // Both moves must stay inside the memory (io_map_error), checked once
    // here rather than at every transaction.
    static std::optional<std::string> io_map_error(uint32_t x_words, uint32_t y_words, uint32_t y_shift);
    void map_io(int station, uint32_t x_words, uint32_t y_words, uint32_t y_shift);

    // Serves the PLC over Modbus TCP on `host`:`port` (0: a free one) from a
    // thread of its own (sim_server.h): the address served. Throws LinkError
    // when it cannot listen or serves already.
    // `rtu_frames`: RTU frames over TCP instead of Modbus TCP.
    std::string serve(const std::string &host, int port, bool rtu_frames);
    // Stops serving (nothing when it does not); lets the GIL go while it waits.
    void stop_serving();
    // The address served, or empty.
    std::string serving() const;

    double latency() const;
    void set_latency(double seconds);
    void fail_next(uint64_t transactions);
    std::map<std::string, uint64_t> counts() const;
    void reset_counts();

private:
    struct IoMap {
        uint32_t x_words, y_words, y_shift;
    };

    // Takes the mutex; a thread holding the GIL lets it go while it waits.
    std::unique_lock<std::mutex> hold() const;
    // Brings devices and trace to the clock's present time; mutex held.
    void tick();

    const std::string name_;
    mutable std::mutex mutex_;
    SimClock clock_;
    std::vector<std::shared_ptr<Device>> devices_;
    IoTrace trace_;
    PlcMemory memory_;
    std::map<int, IoMap> io_maps_;
    // Set under the mutex; a transaction reads it before taking the mutex.
    std::atomic<double> latency_{0.0};
    uint64_t fail_next_ = 0;
    // Looked up by the operation's C string: no std::string per transaction.
    std::map<std::string, uint64_t, std::less<>> counts_;
    // Its own mutex: the server's thread takes the PLC's while it is stopped.
    mutable std::mutex server_mutex_;
    std::unique_ptr<SimServer> server_;
};

// True while this thread brings a simulated PLC's devices up to date: a
// callback device's function runs then and must not use a simulated PLC or a
// link, whose mutex its own thread may hold. The refusal's message names `what`.
bool inside_device_update();
std::string device_update_refusal(const char *what);

// How a wait that may block lets go of the host's lock meanwhile (the
// bindings: the GIL, which a callback device's function on the thread being
// waited for may need). Without one, the wait just runs.
using HostWait = void (*)(FunctionRef<void()> wait);
void set_host_wait(HostWait wait);
void wait_outside_host(FunctionRef<void()> wait);

// The simulated PLC NAME, created on first use (thread-safe).
std::shared_ptr<SimulatedPlc> simulator(const std::string &name);

// The simulated PLC NAME if one was made, else null.
std::shared_ptr<SimulatedPlc> existing_simulator(const std::string &name);
// The names of the simulated PLCs there are, in order.
std::vector<std::string> simulator_names();

// Forgets every simulated PLC. Links attached to one keep it until they close;
// reopened, they attach to a fresh one of the same name.
void reset_simulators();

} // namespace mew
