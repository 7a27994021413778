// Devices of a simulated machine, wired to the relays of a simulated PLC
// station: they watch their valve outputs and drive their sensor inputs, so
// the simulated PLC answers like a machine rather than like bare memory.
// There is no thread: the simulated PLC updates every device from its clock
// at each transaction and at each direct get/set, in the order the devices
// were added. A relay driven by a device follows the device; writes to it
// from elsewhere last only until the next update.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/memory.h"

namespace mew {

// One relay (X, Y or R) of one station.
struct Relay {
    int station;
    Area area;
    uint32_t word;
    int bit;

    bool read(PlcMemory &memory) const { return memory.read_bit(station, area, word, bit); }
    void write(PlcMemory &memory, bool value) const { memory.write_bit(station, area, word, bit, value); }
    std::string name() const;  // "X1F", "Y0"
};

// What a device shows of itself: its kind, numbers and texts of its state.
struct DeviceInfo {
    std::string kind;
    std::map<std::string, double> numbers;
    std::map<std::string, long> counts;
    std::map<std::string, bool> flags;
    std::map<std::string, std::string> texts;
};

class Device {
public:
    explicit Device(std::string name) : name_(std::move(name)) {}
    virtual ~Device() = default;

    const std::string &name() const { return name_; }

    // Takes the state of the relays when the device is added.
    virtual void attach(PlcMemory &memory, double now) = 0;
    // Brings the device to time `now` (never earlier than the last update)
    // and writes its sensors.
    virtual void update(PlcMemory &memory, double now) = 0;
    virtual DeviceInfo info() const = 0;

private:
    const std::string name_;
};

// A place that holds one part: a feeder's pick position, a nest. Its sensor is
// on while a part is there. With an interval, a new part arrives that long
// after the place became empty (counted only while the demand relay is on,
// when there is one); feed() puts one there at once. A part is taken by a
// vacuum cup, by take(), or while the take relay is on (an ejector's end
// sensor, say).
struct SourceConfig {
    Relay sensor;
    double interval;  // < 0: no parts arrive by themselves
    bool has_demand, has_take;
    Relay demand, take;
};

class PartSource : public Device {
public:
    PartSource(std::string name, SourceConfig config) : Device(std::move(name)), c_(config) {}

    void attach(PlcMemory &memory, double now) override;
    void update(PlcMemory &memory, double now) override;
    DeviceInfo info() const override;

    bool has_part() const { return part_; }
    // Both show the change on the sensor at once.
    bool feed(PlcMemory &memory, double now);  // false when a part is there already
    bool take(PlcMemory &memory, double now);  // false when there is none

private:
    SourceConfig c_;
    bool part_ = false;
    double empty_since_ = -1;  // when the arrival timer started, < 0 when it does not run
    long arrived_ = 0, taken_ = 0;
};

// A pneumatic cylinder. A single-solenoid one extends while its valve is on
// and retracts while it is off; a double-solenoid one extends when only the
// valve is on, retracts when only valve_back is on and otherwise keeps going
// where it went. The rod takes `stroke` seconds from end to end; the sensor of
// the end it leaves goes off `leave` seconds after it starts, the sensor of
// the end it reaches comes on when it arrives. A reversed move goes back from
// where the rod is. A jam makes it never leave (the rod does not move) or never
// arrive (the rod stops halfway).
struct CylinderConfig {
    Relay valve;
    bool has_valve_back, has_retracted, has_extended;
    Relay valve_back, retracted, extended;
    double stroke, leave;
};

enum class Jam { None, Leave, Arrive };

class Cylinder : public Device {
public:
    Cylinder(std::string name, CylinderConfig config) : Device(std::move(name)), c_(config) {}

    void attach(PlcMemory &memory, double now) override;
    void update(PlcMemory &memory, double now) override;
    DeviceInfo info() const override;

    void jam(Jam jam, double now);

private:
    // The move in progress: the rod is at pos0_ (0 retracted, 1 extended) at
    // t0_ and goes in direction dir_; the end sensors were on at t0_ as the
    // latches say. Within one move the rod goes one way only, so a sensor is
    // on while the rod is at its end, or was on at t0_ and the rod is still
    // within the leave distance of that end.
    double position(double t) const;
    bool at_retracted(double t) const;
    bool at_extended(double t) const;
    void begin_move(double now, int dir);
    int commanded(PlcMemory &memory) const;

    CylinderConfig c_;
    Jam jam_ = Jam::None;
    double t0_ = 0, pos0_ = 0, now_ = 0;
    int dir_ = -1;
    bool latch_retracted_ = true, latch_extended_ = false;
};

// A vacuum cup on a valve output with a vacuum sensor. With the valve on and a
// part of `source` under the cup (the source has one and every pick_at relay
// is on), vacuum builds up in `build` seconds: the sensor comes on and the cup
// holds the part (it is taken from the source). Without a part the sensor
// stays off. With the valve off, the vacuum is gone `release` seconds later:
// the sensor goes off and the part drops into `drop_to` when every drop_at
// relay is on and that place is empty, else it is lost.
struct VacuumConfig {
    Relay valve, sensor;
    std::shared_ptr<PartSource> source, drop_to;  // drop_to may be empty
    std::vector<Relay> pick_at, drop_at;
    double build, release;
};

class VacuumCup : public Device {
public:
    VacuumCup(std::string name, VacuumConfig config) : Device(std::move(name)), c_(std::move(config)) {}

    void attach(PlcMemory &memory, double now) override;
    void update(PlcMemory &memory, double now) override;
    DeviceInfo info() const override;

private:
    enum class State { Idle, Building, Holding, Releasing };
    bool part_under_cup(PlcMemory &memory) const;
    void drop(PlcMemory &memory, double now);

    VacuumConfig c_;
    State state_ = State::Idle;
    double since_ = 0;  // Building: when it began; Releasing: when the vacuum is gone
    long picked_ = 0, placed_ = 0, lost_ = 0;
};

} // namespace mew
