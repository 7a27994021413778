#include "platform/kvo_mew/link.h"

#include "platform/kvo_mew/arguments.h"
#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/errors.h"
#include "platform/kvo_mew/link_log.h"
#include "platform/kvo_mew/link_watchdog.h"
#include "platform/kvo_mew/modbus_map.h"

namespace mew {
namespace {

std::string text_of(py::handle value) { return py::repr(value).cast<std::string>(); }

uint32_t double_word(const std::vector<uint16_t> &words, size_t i) {
    return uint32_t(words[2 * i]) | (uint32_t(words[2 * i + 1]) << 16);  // low word first
}

} // namespace

Link::Link(py::object port, py::object baudrate, py::dict options)
    : port_(std::move(port)), port_text_(py::str(port_).cast<std::string>()), baudrate_(std::move(baudrate)),
      options_(std::move(options)) {
    std::string port_text = text_of(port_);
    std::string port_str = PyUnicode_Check(port_.ptr()) ? port_.cast<std::string>() : std::string();
    transport_ = make_transport(port_str, port_text, baudrate_, options_);
}

Link::~Link() {
    if (open_) transport_->close();
}

std::unique_lock<std::timed_mutex> Link::acquire(const Interruption &interruption) {
    std::unique_lock<std::timed_mutex> hold(mutex_, std::try_to_lock);
    // A free mutex costs no clock reading; a held one is waited for in slices.
    if (!hold.owns_lock())
        while (!hold.try_lock_for(seconds(kSlice))) interruption.check();
    interruption.check();
    return hold;
}

bool Link::open_locked(const Interruption &interruption) {
    if (open_) return false;
    transport_->open(interruption);
    open_ = true;
    bool again = opened_once_;
    opened_once_ = true;
    if (again) health_.record_reopen();
    return again;
}

void Link::start() {
    bool reopened;
    {
        uint64_t seen = closes_.load();
        py::gil_scoped_release unlocked;
        Interruption interruption(closes_, seen, "start", 0);
        std::unique_lock<std::timed_mutex> hold = acquire(interruption);
        reopened = open_locked(interruption);
    }
    if (reopened) link_log::reopened(port_text_);
}

bool Link::begin(const Request &request) {
    if (!link_log::frames_wanted()) return false;
    std::string line = "station " + std::to_string(request.station) + " " + request.op + " " +
                       elements_text(request.first, request.words);
    if (request.values) line += ":" + answer_text(*request.values);
    if (request.bit >= 0) line += request.bit ? ": 1" : ": 0";
    link_log::frame(port_text_, '>', line);
    return true;
}

void Link::run_locked(const Request &request, Outcome &outcome, Step call) {
    refuse_inside_device_update("a PLC link");
    uint64_t seen = closes_.load();
    std::unique_lock<std::timed_mutex> hold(mutex_, std::try_to_lock);
    if (hold.owns_lock() && open_ && transport_->quick()) {
        Interruption interruption(closes_, seen, request.op, request.station);
        serve(request, outcome, call, hold, interruption);
        return;
    }
    if (hold.owns_lock()) hold.unlock();
    py::gil_scoped_release unlocked;
    Interruption interruption(closes_, seen, request.op, request.station);
    serve(request, outcome, call, hold, interruption);
}

void Link::serve(const Request &request, Outcome &outcome, Step call, std::unique_lock<std::timed_mutex> &hold,
                 const Interruption &interruption) {
    uint64_t retries_before = 0;
    try {
        if (hold.owns_lock())
            interruption.check();  // what acquire() checks after taking the mutex
        else
            hold = acquire(interruption);
        retries_before = transport_->retries();
        outcome.reopened = open_locked(interruption);
        try {
            call(*transport_, interruption);
        } catch (const PortError &) {
            open_ = false;
            throw;
        }
        outcome.transition = health_.record_good(transport_->retries() - retries_before);
    } catch (const LinkError &error) {
        outcome.failure = std::current_exception();
        outcome.cause = cause_of(error);
        outcome.message = error.what();
        // A transaction closed while it waited for the mutex made no tries.
        uint64_t retries = hold.owns_lock() ? transport_->retries() - retries_before : 0;
        outcome.transition = health_.record_failure(request.station, outcome.cause, outcome.message, retries);
    }
}

void Link::finish(const Request &request, Outcome &outcome) {
    bool failed = bool(outcome.failure);
    if (outcome.frames) link_log::frame(port_text_, '<', failed ? "failed (" + std::string(cause_name(outcome.cause)) + ")"
                                                         : outcome.answer.empty() ? "done" : outcome.answer.substr(1));
    if (outcome.reopened) link_log::reopened(port_text_);
    py::object error;
    if (failed) {
        link_log::failed(port_text_, request.op, request.station, outcome.cause, outcome.message);
        error = python_error(outcome.failure);
        last_error_ = error;
    }
    if (outcome.transition == Transition::WentDown) {
        link_log::went_down(port_text_, request.station, detail_of(outcome.message));
    } else if (outcome.transition == Transition::CameUp) {
        HealthCounters now = health_.snapshot();
        link_log::came_up(port_text_, std::chrono::duration<double>(now.last_good - now.down_since).count());
    }
    if (outcome.transition != Transition::None && !state_callback_.is_none()) {
        try {
            py::object callback = state_callback_;  // the callback may replace itself
            callback(py::cast(this, py::return_value_policy::reference), outcome.transition == Transition::CameUp);
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(state_callback_.is_none() ? py::str("state callback") : py::str(state_callback_));
        }
    }
    // A watchdog may stop watching (or start another) while it is told.
    std::vector<std::shared_ptr<LinkWatchdog>> watching;
    for (auto &weak : watchdogs_)
        if (auto watchdog = weak.lock()) watching.push_back(std::move(watchdog));
    for (auto &watchdog : watching) watchdog->transaction_ended(!failed);
    if (failed) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
        throw py::error_already_set();
    }
}

std::string Link::answer_text(WordsRead read) {
    std::string text;
    char word[8];
    for (size_t i = 0; i < read.count; ++i) {
        uint16_t w = read.words[i];
        std::snprintf(word, sizeof word, " %04X", unsigned(w));
        text += word;
    }
    return text;
}

void Link::set_state_callback(py::object callback) {
    if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
        throw py::type_error("on_state_change must be callable or None, not " +
                             std::string(Py_TYPE(callback.ptr())->tp_name));
    state_callback_ = std::move(callback);
}

void Link::watch(const std::shared_ptr<LinkWatchdog> &watchdog) {
    unwatch(watchdog.get());
    watchdogs_.push_back(watchdog);
}

void Link::unwatch(const LinkWatchdog *watchdog) {
    std::vector<std::weak_ptr<LinkWatchdog>> kept;
    for (auto &weak : watchdogs_) {
        auto alive = weak.lock();
        if (alive && alive.get() != watchdog) kept.push_back(weak);
    }
    watchdogs_.swap(kept);
}

void Link::close() {
    refuse_inside_device_update("a PLC link");
    ++closes_;  // ends the transaction in progress within a slice
    py::gil_scoped_release unlocked;
    std::lock_guard<std::timed_mutex> hold(mutex_);
    if (!open_) return;
    transport_->close();
    open_ = false;
}

bool Link::is_open() { return open_; }

std::string Link::repr() {
    return "<kvo_mew.VedUzavur port=" + text_of(port_) + (is_open() ? " open>" : " closed>");
}

py::bool_ Link::get_coil(py::handle station, py::handle name) {
    const char *op = "get_coil";
    int st = station_arg(op, station);
    Element relay = relay_arg(op, name);
    check(op, st, relay, 1, false);
    return py::bool_(transaction({op, st, relay, 1}, [&](Transport &t, const Interruption &w) { return t.read_bit(w, op, st, relay); }));
}

void Link::set_coil(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_coil";
    int st = station_arg(op, station);
    Element relay = relay_arg(op, name);
    bool on = coil_arg(op, value);
    check(op, st, relay, 1, true);
    transaction({op, st, relay, 1, nullptr, on ? 1 : 0}, [&](Transport &t, const Interruption &w) { t.write_bit(w, op, st, relay, on); });
}

uint16_t Link::read_coil_word(py::handle station, py::handle name) {
    const char *op = "get_coil_uint16";
    int st = station_arg(op, station);
    Element word = relay_word_arg(op, name);
    check(op, st, word, 1, false);
    uint16_t value = 0;
    read_checked(op, st, word, 1, &value);
    return value;
}

py::int_ Link::get_coil_uint16(py::handle station, py::handle name) { return py::int_(read_coil_word(station, name)); }

void Link::write_coil_checked(const char *op, int station, const Element &word, uint16_t value) {
    std::vector<uint16_t> words{value};
    check(op, station, word, 1, true);
    transaction({op, station, word, 1, &words}, [&](Transport &t, const Interruption &w) { t.write_words(w, op, station, word, words); });
}

void Link::set_coil_uint16(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_coil_uint16";
    int st = station_arg(op, station);
    Element word = relay_word_arg(op, name);
    write_coil_checked(op, st, word, uint16_arg(op, value));
}

void Link::write_coil_word(py::handle station, py::handle name, uint16_t value) {
    const char *op = "set_coil_uint16";
    int st = station_arg(op, station);
    write_coil_checked(op, st, relay_word_arg(op, name), value);
}

std::vector<uint16_t> Link::read_block(const char *op, py::handle station, py::handle name, size_t words_per_item,
                                       py::handle count) {
    int st = station_arg(op, station);
    Element first = word_arg(op, name);
    size_t words = count_arg(op, count) * words_per_item;
    block_arg(op, first, words);  // before the buffer is made: it bounds its size
    std::vector<uint16_t> read(words);
    read_checked(op, st, first, words, read.data());
    return read;
}

void Link::read_checked(const char *op, int station, const Element &first, size_t words, uint16_t *out) {
    check(op, station, first, words, false);
    transaction({op, station, first, words}, [&](Transport &t, const Interruption &w) {
        t.read_words(w, op, station, first, words, out);
        return WordsRead{out, words};
    });
}

void Link::read_words(py::handle station, py::handle name, size_t count, uint16_t *out) {
    const char *op = "get_multi_uint16";
    int st = station_arg(op, station);
    Element first = word_arg(op, name);
    block_arg(op, first, count);
    read_checked(op, st, first, count, out);
}

void Link::write_words(py::handle station, py::handle name, const std::vector<uint16_t> &words) {
    write_block("set_multi_uint16", station, name, words);
}

void Link::write_block(const char *op, py::handle station, py::handle name, const std::vector<uint16_t> &words) {
    int st = station_arg(op, station);
    Element first = word_arg(op, name);
    block_arg(op, first, words.size());
    check(op, st, first, words.size(), true);
    transaction({op, st, first, words.size(), &words}, [&](Transport &t, const Interruption &w) { t.write_words(w, op, st, first, words); });
}

void Link::set_uint16(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_uint16";
    write_block(op, station, name, {uint16_arg(op, value)});
}

py::list Link::get_multi_uint16(py::handle station, py::handle name, py::handle count) {
    std::vector<uint16_t> words = read_block("get_multi_uint16", station, name, 1, count);
    py::list result(words.size());
    for (size_t i = 0; i < words.size(); ++i) result[i] = py::int_(words[i]);
    return result;
}

void Link::set_multi_uint16(py::handle station, py::handle name, py::handle values) {
    const char *op = "set_multi_uint16";
    write_block(op, station, name, uint16_list_arg(op, values));
}

py::int_ Link::get_uint32(py::handle station, py::handle name) {
    py::int_ one(1);
    return py::int_(double_word(read_block("get_uint32", station, name, 2, one), 0));
}

void Link::set_uint32(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_uint32";
    uint32_t v = uint32_arg(op, value);
    write_block(op, station, name, {uint16_t(v & 0xFFFFu), uint16_t(v >> 16)});
}

py::list Link::get_multi_uint32(py::handle station, py::handle name, py::handle count) {
    std::vector<uint16_t> words = read_block("get_multi_uint32", station, name, 2, count);
    py::list result(words.size() / 2);
    for (size_t i = 0; i < words.size() / 2; ++i) result[i] = py::int_(double_word(words, i));
    return result;
}

void Link::set_multi_uint32(py::handle station, py::handle name, py::handle values) {
    const char *op = "set_multi_uint32";
    write_block(op, station, name, uint32_list_arg(op, values));
}

py::list Link::get_multi_int32(py::handle station, py::handle name, py::handle count) {
    std::vector<uint16_t> words = read_block("get_multi_int32", station, name, 2, count);
    py::list result(words.size() / 2);
    for (size_t i = 0; i < words.size() / 2; ++i) result[i] = py::int_(int32_t(double_word(words, i)));
    return result;
}

void Link::set_multi_int32(py::handle station, py::handle name, py::handle values) {
    const char *op = "set_multi_int32";
    write_block(op, station, name, int32_list_arg(op, values));
}

} // namespace mew
