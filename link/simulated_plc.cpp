#include "link/simulated_plc.h"

#include <chrono>
#include <string_view>
#include <thread>

#include "link/link_error.h"
#include "link/sim_server.h"

namespace mew {

namespace {

// Set while this thread brings devices up to date: a callback device's
// function runs then, and must not reach a simulated PLC or a link, whose
// mutex its own thread may hold.
thread_local bool updating_devices = false;

struct UpdatingDevices {
    UpdatingDevices() { updating_devices = true; }
    ~UpdatingDevices() { updating_devices = false; }
};

} // namespace

namespace {

std::atomic<HostWait> host_wait{nullptr};

} // namespace

std::string device_update_refusal(const char *what) {
    return std::string("a callback device's function cannot use ") + what +
           " (it runs while the simulated PLC updates its devices)";
}

bool inside_device_update() { return updating_devices; }

void set_host_wait(HostWait wait) { host_wait = wait; }

void wait_outside_host(FunctionRef<void()> wait) {
    HostWait outside = host_wait.load();
    if (outside)
        outside(wait);
    else
        wait();
}

SimulatedPlc::SimulatedPlc(std::string name) : name_(std::move(name)) {}

SimulatedPlc::~SimulatedPlc() { stop_serving(); }

std::string SimulatedPlc::serve(const std::string &host, int port, bool rtu_frames) {
    std::lock_guard<std::mutex> hold(server_mutex_);
    if (server_)
        throw LinkError("simulated PLC '" + name_ + "' serves " + server_->address() + " already; stop_serving() first");
    server_ = std::make_unique<SimServer>(*this, host, port, rtu_frames);
    return server_->address();
}

void SimulatedPlc::stop_serving() {
    std::unique_ptr<SimServer> stopped;
    {
        std::lock_guard<std::mutex> hold(server_mutex_);
        stopped.swap(server_);
    }
    if (!stopped) return;
    // Its thread may be waiting for the host's lock (a callback device).
    wait_outside_host([&] { stopped.reset(); });
}

std::string SimulatedPlc::serving() const {
    std::lock_guard<std::mutex> hold(server_mutex_);
    return server_ ? server_->address() : std::string();
}

std::unique_lock<std::mutex> SimulatedPlc::hold() const {
    // Python-facing callers refused it already; a transaction's LinkError.
    if (updating_devices) throw LinkError(device_update_refusal("a simulated PLC"));
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (lock.owns_lock()) return lock;
    // The holder may be updating a callback device, which needs the GIL.
    wait_outside_host([&] { lock.lock(); });
    return lock;
}

void SimulatedPlc::transact(const Interruption &interruption, const char *op, int station,
                            FunctionRef<void(PlcMemory &)> serve) {
    double delay = latency_.load();
    if (delay > 0) interruption.sleep(delay);

    auto held = hold();
    auto count = counts_.find(std::string_view(op));
    if (count == counts_.end()) count = counts_.emplace(op, 0).first;
    ++count->second;
    if (fail_next_ > 0) {
        --fail_next_;
        throw LinkError("simulated PLC '" + name_ + "' failed the " + op + " transaction of station " +
                        std::to_string(station) + " (fail_next)");
    }
    tick();
    auto program = io_maps_.find(station);
    if (program != io_maps_.end())
        memory_.copy_words(station, Area::X, 0, Area::D, 0, program->second.x_words);
    serve(memory_);
    if (program != io_maps_.end())
        memory_.copy_words(station, Area::D, program->second.y_shift, Area::Y, 0, program->second.y_words);
    tick();
}

void SimulatedPlc::access(const std::function<void(PlcMemory &)> &use) {
    auto held = hold();
    tick();
    use(memory_);
    tick();
}

void SimulatedPlc::tick() {
    // Nothing to bring up to date: no clock reading either.
    if (devices_.empty() && !trace_.running()) return;
    UpdatingDevices updating;
    double now = clock_.now();
    for (const auto &device : devices_) device->update(memory_, now);
    trace_.observe(memory_, now);
}

bool SimulatedPlc::add_device(const std::shared_ptr<Device> &device) {
    auto held = hold();
    for (const auto &other : devices_)
        if (other->name() == device->name()) return false;
    tick();
    device->attach(memory_, clock_.now());
    devices_.push_back(device);
    tick();
    return true;
}

std::shared_ptr<Device> SimulatedPlc::find_device(const std::string &name) const {
    auto held = hold();
    for (const auto &device : devices_)
        if (device->name() == name) return device;
    return nullptr;
}

std::vector<std::string> SimulatedPlc::device_names() const {
    auto held = hold();
    std::vector<std::string> names;
    for (const auto &device : devices_) names.push_back(device->name());
    return names;
}

bool SimulatedPlc::with_device(const std::string &name,
                               const std::function<void(Device &, PlcMemory &, double)> &use) {
    auto held = hold();
    for (const auto &device : devices_) {
        if (device->name() != name) continue;
        tick();
        use(*device, memory_, clock_.now());
        tick();
        return true;
    }
    return false;
}

double SimulatedPlc::now() const {
    auto held = hold();
    return clock_.now();
}

bool SimulatedPlc::manual_clock() const {
    auto held = hold();
    return clock_.manual();
}

void SimulatedPlc::set_manual_clock(bool manual) {
    auto held = hold();
    tick();
    clock_.set_manual(manual);
}

void SimulatedPlc::advance(double seconds) {
    auto held = hold();
    tick();
    clock_.advance(seconds);
    tick();
}

void SimulatedPlc::trace_start(size_t limit) {
    auto held = hold();
    tick();
    trace_.start(memory_, clock_.now(), limit);
}

void SimulatedPlc::trace_stop() {
    auto held = hold();
    tick();
    trace_.stop();
}

bool SimulatedPlc::tracing() const {
    auto held = hold();
    return trace_.running();
}

std::vector<TraceEvent> SimulatedPlc::trace() const {
    auto held = hold();
    return trace_.events();
}

size_t SimulatedPlc::trace_dropped() const {
    auto held = hold();
    return trace_.dropped();
}

std::optional<std::string> SimulatedPlc::io_map_error(uint32_t x_words, uint32_t y_words, uint32_t y_shift) {
    for (auto [first, words] : {std::pair{Element{ElementKind::RelayWord, Area::X, 0, -1}, x_words},
                                {Element{ElementKind::DataWord, Area::D, 0, -1}, x_words},
                                {Element{ElementKind::DataWord, Area::D, y_shift, -1}, y_words},
                                {Element{ElementKind::RelayWord, Area::Y, 0, -1}, y_words}})
        if (auto error = block_error(first, words)) return error;
    return std::nullopt;
}

void SimulatedPlc::map_io(int station, uint32_t x_words, uint32_t y_words, uint32_t y_shift) {
    auto held = hold();
    if (x_words == 0 && y_words == 0)
        io_maps_.erase(station);
    else
        io_maps_[station] = IoMap{x_words, y_words, y_shift};
}

double SimulatedPlc::latency() const { return latency_.load(); }

void SimulatedPlc::set_latency(double seconds) {
    auto held = hold();
    latency_ = seconds;
}

void SimulatedPlc::fail_next(uint64_t transactions) {
    auto held = hold();
    fail_next_ = transactions;
}

std::map<std::string, uint64_t> SimulatedPlc::counts() const {
    auto held = hold();
    return {counts_.begin(), counts_.end()};
}

void SimulatedPlc::reset_counts() {
    auto held = hold();
    counts_.clear();
}

namespace {

std::mutex registry_mutex;

std::map<std::string, std::shared_ptr<SimulatedPlc>> &registry() {
    // Never destroyed: links may still be closing while the process exits.
    static auto *plcs = new std::map<std::string, std::shared_ptr<SimulatedPlc>>();
    return *plcs;
}

} // namespace

std::shared_ptr<SimulatedPlc> simulator(const std::string &name) {
    std::lock_guard<std::mutex> hold(registry_mutex);
    auto &slot = registry()[name];
    if (!slot) slot = std::make_shared<SimulatedPlc>(name);
    return slot;
}

std::shared_ptr<SimulatedPlc> existing_simulator(const std::string &name) {
    std::lock_guard<std::mutex> hold(registry_mutex);
    auto found = registry().find(name);
    return found == registry().end() ? nullptr : found->second;
}

std::vector<std::string> simulator_names() {
    std::lock_guard<std::mutex> hold(registry_mutex);
    std::vector<std::string> names;
    for (const auto &entry : registry()) names.push_back(entry.first);
    return names;
}

void reset_simulators() {
    std::map<std::string, std::shared_ptr<SimulatedPlc>> dropped;
    {
        std::lock_guard<std::mutex> hold(registry_mutex);
        dropped.swap(registry());
    }
    // The dropped PLCs are released here, outside the registry's lock; the
    // ones a Python object still holds stop serving all the same.
    for (auto &entry : dropped) entry.second->stop_serving();
}

} // namespace mew
