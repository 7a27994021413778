#include "link/devices.h"

#include <algorithm>

namespace mew {

std::string Relay::name() const {
    static const char digits[] = "0123456789ABCDEF";
    const char letter = area == Area::X ? 'X' : area == Area::Y ? 'Y' : 'R';
    return std::string(1, letter) + (word ? std::to_string(word) : std::string()) + digits[bit & 15];
}

// ---- PartSource

void PartSource::attach(PlcMemory &memory, double now) { update(memory, now); }

void PartSource::update(PlcMemory &memory, double now) {
    if (part_ && c_.has_take && c_.take.read(memory)) {
        part_ = false;
        ++taken_;
        empty_since_ = now;
    }
    if (!part_ && c_.interval >= 0) {
        bool wanted = !c_.has_demand || c_.demand.read(memory);
        if (!wanted) {
            empty_since_ = -1;
        } else {
            if (empty_since_ < 0) empty_since_ = now;
            if (now - empty_since_ >= c_.interval) {
                part_ = true;
                ++arrived_;
                empty_since_ = -1;
            }
        }
    }
    c_.sensor.write(memory, part_);
}

bool PartSource::feed(PlcMemory &memory, double now) {
    if (part_) return false;
    part_ = true;
    ++arrived_;
    empty_since_ = -1;
    c_.sensor.write(memory, true);
    return true;
}

bool PartSource::take(PlcMemory &memory, double now) {
    if (!part_) return false;
    part_ = false;
    ++taken_;
    empty_since_ = now;  // the next part's timer starts now
    c_.sensor.write(memory, false);
    return true;
}

DeviceInfo PartSource::info() const {
    DeviceInfo info{"source"};
    info.flags["part"] = part_;
    info.counts["arrived"] = arrived_;
    info.counts["taken"] = taken_;
    info.texts["sensor"] = c_.sensor.name();
    return info;
}

// ---- Cylinder

namespace {
constexpr double kJamStop = 0.5;  // where a rod that never arrives stops
}

int Cylinder::commanded(PlcMemory &memory) const {
    bool out = c_.valve.read(memory);
    if (!c_.has_valve_back) return out ? 1 : -1;
    bool back = c_.valve_back.read(memory);
    if (out != back) return out ? 1 : -1;
    return dir_;  // a double-solenoid valve keeps its last position
}

double Cylinder::position(double t) const {
    if (jam_ == Jam::Leave) return pos0_;
    double travelled = (t - t0_) / c_.stroke;
    if (dir_ > 0) return std::min(pos0_ + travelled, jam_ == Jam::Arrive ? std::max(pos0_, kJamStop) : 1.0);
    return std::max(pos0_ - travelled, jam_ == Jam::Arrive ? std::min(pos0_, kJamStop) : 0.0);
}

bool Cylinder::at_retracted(double t) const {
    double p = position(t);
    return p <= 0.0 || (latch_retracted_ && p <= c_.leave / c_.stroke);
}

bool Cylinder::at_extended(double t) const {
    double p = position(t);
    return p >= 1.0 || (latch_extended_ && 1.0 - p <= c_.leave / c_.stroke);
}

void Cylinder::begin_move(double now, int dir) {
    bool retracted = at_retracted(now), extended = at_extended(now);
    pos0_ = position(now);
    latch_retracted_ = retracted;
    latch_extended_ = extended;
    t0_ = now;
    dir_ = dir;
}

void Cylinder::attach(PlcMemory &memory, double now) {
    // At rest at the end its valve points to.
    dir_ = commanded(memory);
    pos0_ = dir_ > 0 ? 1.0 : 0.0;
    latch_retracted_ = dir_ < 0;
    latch_extended_ = dir_ > 0;
    t0_ = now_ = now;
    update(memory, now);
}

void Cylinder::update(PlcMemory &memory, double now) {
    now_ = now = std::max(now, now_);
    int dir = commanded(memory);
    if (dir != dir_) begin_move(now, dir);
    if (c_.has_retracted) c_.retracted.write(memory, at_retracted(now));
    if (c_.has_extended) c_.extended.write(memory, at_extended(now));
}

void Cylinder::jam(Jam jam, double now) {
    now_ = now = std::max(now, now_);
    begin_move(now, dir_);  // the rod stays where it is now
    jam_ = jam;
}

DeviceInfo Cylinder::info() const {
    DeviceInfo info{"cylinder"};
    info.numbers["position"] = position(now_);
    info.numbers["stroke"] = c_.stroke;
    info.numbers["leave"] = c_.leave;
    info.texts["direction"] = dir_ > 0 ? "extend" : "retract";
    info.texts["jam"] = jam_ == Jam::None ? "none" : jam_ == Jam::Leave ? "leave" : "arrive";
    info.texts["valve"] = c_.valve.name();
    if (c_.has_valve_back) info.texts["valve_back"] = c_.valve_back.name();
    if (c_.has_retracted) info.texts["retracted"] = c_.retracted.name();
    if (c_.has_extended) info.texts["extended"] = c_.extended.name();
    return info;
}

// ---- VacuumCup

bool VacuumCup::part_under_cup(PlcMemory &memory) const {
    if (!c_.source->has_part()) return false;
    return std::all_of(c_.pick_at.begin(), c_.pick_at.end(), [&](const Relay &r) { return r.read(memory); });
}

void VacuumCup::drop(PlcMemory &memory, double now) {
    bool there = std::all_of(c_.drop_at.begin(), c_.drop_at.end(), [&](const Relay &r) { return r.read(memory); });
    if (c_.drop_to && there && c_.drop_to->feed(memory, now))
        ++placed_;
    else
        ++lost_;
}

void VacuumCup::attach(PlcMemory &memory, double now) {
    state_ = State::Idle;
    update(memory, now);
}

void VacuumCup::update(PlcMemory &memory, double now) {
    bool valve = c_.valve.read(memory);
    if (state_ == State::Holding && !valve) {
        state_ = State::Releasing;
        since_ = now + c_.release;
    }
    if (state_ == State::Releasing) {
        if (valve) {
            state_ = State::Holding;
        } else if (now >= since_) {
            drop(memory, now);
            state_ = State::Idle;
        }
    }
    if (state_ == State::Building && !(valve && part_under_cup(memory))) state_ = State::Idle;
    if (state_ == State::Idle && valve && part_under_cup(memory)) {
        state_ = State::Building;
        since_ = now;
    }
    if (state_ == State::Building && now - since_ >= c_.build) {
        c_.source->take(memory, now);
        ++picked_;
        state_ = State::Holding;
    }
    c_.sensor.write(memory, state_ == State::Holding || state_ == State::Releasing);
}

DeviceInfo VacuumCup::info() const {
    static const char *const names[] = {"idle", "building", "holding", "releasing"};
    DeviceInfo info{"vacuum"};
    info.texts["state"] = names[int(state_)];
    info.flags["holding"] = state_ == State::Holding || state_ == State::Releasing;
    info.counts["picked"] = picked_;
    info.counts["placed"] = placed_;
    info.counts["lost"] = lost_;
    info.texts["valve"] = c_.valve.name();
    info.texts["sensor"] = c_.sensor.name();
    info.texts["source"] = c_.source->name();
    if (c_.drop_to) info.texts["drop_to"] = c_.drop_to->name();
    return info;
}

} // namespace mew
