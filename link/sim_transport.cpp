// The transport of "sim://NAME" ports: transactions served by the simulated
// PLC NAME, attached when the link opens and let go when it closes.
#include "link/link_error.h"
#include "link/simulated_plc.h"
#include "link/transport.h"

namespace mew {
namespace {

class SimTransport : public Transport {
public:
    explicit SimTransport(std::string name) : name_(std::move(name)) {}

    void open(const Interruption &) override {
        plc_ = existing_simulator(name_);
        if (plc_) return;
        // Most likely a typing mistake in the port: the program's own
        // simulator stays untouched while this link talks to a new one.
        warning_ = unknown_simulator_text();
        plc_ = simulator(name_);
    }
    void close() noexcept override { plc_.reset(); }

    // The simulated PLC's mutex is only held briefly (a waiter holding the
    // GIL lets it go, see SimulatedPlc::hold); its latency is the one wait.
    bool quick() const override { return plc_ && plc_->latency() <= 0; }

    void read_words(const Interruption &interruption, const char *op, int station, const Element &first,
                    size_t count, uint16_t *out) override {
        plc_->transact(interruption, op, station,
                       [&](PlcMemory &memory) { memory.read_words(station, first.area, first.word, count, out); });
    }

    void write_words(const Interruption &interruption, const char *op, int station, const Element &first,
                     const std::vector<uint16_t> &values) override {
        plc_->transact(interruption, op, station,
                       [&](PlcMemory &memory) { memory.write_words(station, first.area, first.word, values); });
    }

    bool read_bit(const Interruption &interruption, const char *op, int station, const Element &relay) override {
        bool value = false;
        plc_->transact(interruption, op, station,
                       [&](PlcMemory &memory) { value = memory.read_bit(station, relay.area, relay.word, relay.bit); });
        return value;
    }

    void write_bit(const Interruption &interruption, const char *op, int station, const Element &relay,
                   bool value) override {
        plc_->transact(interruption, op, station,
                       [&](PlcMemory &memory) { memory.write_bit(station, relay.area, relay.word, relay.bit, value); });
    }

    std::string take_open_warning() override { return std::move(warning_); }

private:
    std::string unknown_simulator_text() const {
        std::string known;
        for (const std::string &name : simulator_names()) known += (known.empty() ? "'" : ", '") + name + "'";
        return "sim://" + name_ + ": no kvo_mew.simulator('" + name_ + "') was made, so the link made one; " +
               (known.empty() ? std::string("there are no other simulators") : "the simulators are " + known);
    }

    const std::string name_;
    std::string warning_;
    std::shared_ptr<SimulatedPlc> plc_;
};

} // namespace

std::unique_ptr<Transport> make_sim_transport(const std::string &name) {
    return std::make_unique<SimTransport>(name);
}

} // namespace mew
