#include "platform/kvo_mew/link.h"

#include "platform/kvo_mew/arguments.h"
#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/errors.h"
#include "platform/kvo_mew/line_arguments.h"
#include "platform/kvo_mew/link_log.h"
#include "platform/kvo_mew/link_watchdog.h"
#include "link/modbus_map.h"
#include "runtime/native_class.h"
#include "runtime/gil.h"

namespace mew {
namespace {

uint32_t double_word(const std::vector<uint16_t> &words, size_t i) {
    return uint32_t(words[2 * i]) | (uint32_t(words[2 * i + 1]) << 16);  // low word first
}

// A list of the values `value(i)` for i < count (Python ints).
template <class Value>
py::object int_list(size_t count, Value value) {
    py::object list = py::reinterpret_steal<py::object>(PyList_New(Py_ssize_t(count)));
    if (!list) return {};
    for (size_t i = 0; i < count; ++i) {
        PyObject *item = PyLong_FromLongLong((long long)value(i));
        if (!item) return {};
        PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), item);
    }
    return list;
}

py::object done(bool ok) { return ok ? py::none() : py::object(); }

} // namespace

Link *Link::create(py::object port, py::object baudrate, py::kwargs options) {
    std::optional<std::string> port_text = str_of(port);
    if (!port_text) return nullptr;
    std::optional<std::string> port_repr = repr_of(port);
    if (!port_repr) return nullptr;
    std::string port_str;
    if (PyUnicode_Check(port.ptr())) {
        std::optional<std::string> text = utf8_of(port);
        if (!text) return nullptr;
        port_str = *text;
    }
    std::unique_ptr<Transport> transport = make_transport(port_str, *port_repr, baudrate, options);
    if (!transport) return nullptr;
    return new Link(std::move(port), std::move(*port_text), std::move(baudrate), std::move(options),
                    std::move(transport));
}

Link *Link::of(py::handle object) { return kvo::rt::native_if<Link>(object); }

Link::Link(py::object port, std::string port_text, py::object baudrate, py::dict options,
           std::unique_ptr<Transport> transport)
    : port_(std::move(port)), port_text_(std::move(port_text)), baudrate_(std::move(baudrate)),
      options_(std::move(options)), transport_(std::move(transport)) {}

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

py::object Link::start() {
    if (refused_inside_device_update("a PLC link")) return {};
    bool reopened = false;
    std::string open_warning;
    std::optional<LinkError> failure;
    {
        uint64_t seen = closes_.load();
        kvo::rt::GilReleased unlocked;
        Interruption interruption(closes_, seen, "start", 0);
        // Opening is no transaction: its failure is not counted, only raised.
        try {
            std::unique_lock<std::timed_mutex> hold = acquire(interruption);
            reopened = open_locked(interruption);
            open_warning = transport_->take_open_warning();
        } catch (const LinkError &error) {
            failure = error;
        }
    }
    if (!open_warning.empty()) link_log::warning(open_warning);
    if (failure) return set_error(failure->kind(), failure->what());
    if (reopened) link_log::reopened(port_text_);
    return py::none();
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

bool Link::run_locked(const Request &request, Outcome &outcome, Step call) {
    if (refused_inside_device_update("a PLC link")) return false;
    uint64_t seen = closes_.load();
    std::unique_lock<std::timed_mutex> hold(mutex_, std::try_to_lock);
    if (hold.owns_lock() && open_ && transport_->quick()) {
        Interruption interruption(closes_, seen, request.op, request.station);
        serve(request, outcome, call, hold, interruption);
        return true;
    }
    if (hold.owns_lock()) hold.unlock();
    kvo::rt::GilReleased unlocked;
    Interruption interruption(closes_, seen, request.op, request.station);
    serve(request, outcome, call, hold, interruption);
    return true;
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
        outcome.open_warning = transport_->take_open_warning();
        call(*transport_, interruption);
        outcome.transition = health_.record_good(transport_->retries() - retries_before);
    } catch (const LinkError &error) {
        // The one place where the engine's failures end.
        outcome.failed = true;
        outcome.kind = error.kind();
        // A failed port has been closed by its transport (not a failed open:
        // the link was not open then).
        if (error.cause() == FailureCause::Port || transport_->lost()) open_ = false;
        // A signal's exception is set already: nothing to record or log.
        if (error.kind() == ErrorKind::Raised) return;
        outcome.cause = cause_of(error);
        outcome.message = error.what();
        // A transaction closed while it waited for the mutex made no tries.
        uint64_t retries = hold.owns_lock() ? transport_->retries() - retries_before : 0;
        outcome.transition = health_.record_failure(request.station, outcome.cause, outcome.message, retries);
    }
}

bool Link::finish(const Request &request, Outcome &outcome) {
    bool failed = outcome.failed;
    if (failed && outcome.kind == ErrorKind::Raised) return false;
    if (outcome.frames) link_log::frame(port_text_, '<', failed ? "failed (" + std::string(cause_name(outcome.cause)) + ")"
                                                         : outcome.answer.empty() ? "done" : outcome.answer.substr(1));
    if (outcome.reopened) link_log::reopened(port_text_);
    if (!outcome.open_warning.empty()) link_log::warning(outcome.open_warning);
    py::object error;
    if (failed) {
        link_log::failed(port_text_, request.op, request.station, outcome.cause, outcome.message);
        error = python_error(outcome.kind, outcome.message);
        if (!error) return false;
        last_error_ = error;
    }
    if (outcome.transition == Transition::WentDown) {
        link_log::went_down(port_text_, request.station, detail_of(outcome.message));
    } else if (outcome.transition == Transition::CameUp) {
        HealthCounters now = health_.snapshot();
        link_log::came_up(port_text_, std::chrono::duration<double>(now.last_good - now.down_since).count());
    }
    if (outcome.transition != Transition::None && !state_callback_.is_none()) tell_state(outcome.transition == Transition::CameUp);
    // A watchdog may stop watching (or start another) while it is told.
    std::vector<std::shared_ptr<LinkWatchdog>> watching;
    for (auto &weak : watchdogs_)
        if (auto watchdog = weak.lock()) watching.push_back(std::move(watchdog));
    for (auto &watchdog : watching) watchdog->transaction_ended(!failed);
    if (failed) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
        return false;
    }
    return true;
}

void Link::tell_state(bool up) {
    py::object callback = state_callback_;  // the callback may replace itself
    py::object self = py::cast(this, py::return_value_policy::reference);
    PyObject *result = PyObject_CallFunctionObjArgs(callback.ptr(), self.ptr(), up ? Py_True : Py_False, nullptr);
    if (result) {
        Py_DECREF(result);
        return;
    }
    // Reported through sys.unraisablehook, named by the callback now set.
    if (state_callback_.is_none())
        kvo::rt::write_unraisable("state callback");
    else
        kvo::rt::write_unraisable_for(state_callback_);
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

py::object Link::set_state_callback(py::object callback) {
    if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
        return kvo::rt::fail(PyExc_TypeError, "on_state_change must be callable or None, not " +
                                                    std::string(Py_TYPE(callback.ptr())->tp_name));
    state_callback_ = std::move(callback);
    return py::none();
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

py::object Link::close() {
    if (refused_inside_device_update("a PLC link")) return {};
    ++closes_;  // ends the transaction in progress within a slice
    {
        kvo::rt::GilReleased unlocked;
        std::lock_guard<std::timed_mutex> hold(mutex_);
        if (open_) {
            transport_->close();
            open_ = false;
        }
    }
    return py::none();
}

bool Link::is_open() { return open_; }

py::object Link::repr() {
    std::optional<std::string> port = repr_of(port_);
    if (!port) return {};
    std::string text = "<kvo_mew.VedUzavur port=" + *port + (is_open() ? " open>" : " closed>");
    return py::reinterpret_steal<py::object>(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}

bool Link::check(const char *op, int station, const Element &first, size_t count, bool write) const {
    std::optional<std::string> error = transport_->check(op, station, first, count, write);
    if (error) set_error(ErrorKind::Address, *error);
    return !error;
}

py::object Link::get_coil(py::handle station, py::handle name) {
    const char *op = "get_coil";
    std::optional<int> st = station_arg(op, station);
    if (!st) return {};
    std::optional<Element> relay = relay_arg(op, name);
    if (!relay || !check(op, *st, *relay, 1, false)) return {};
    std::optional<bool> bit = transaction({op, *st, *relay, 1}, [&](Transport &t, const Interruption &w) {
        return t.read_bit(w, op, *st, *relay);
    });
    if (!bit) return {};
    return py::bool_(*bit);
}

py::object Link::set_coil(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_coil";
    std::optional<int> st = station_arg(op, station);
    if (!st) return {};
    std::optional<Element> relay = relay_arg(op, name);
    if (!relay) return {};
    std::optional<bool> on = coil_arg(op, value);
    if (!on || !check(op, *st, *relay, 1, true)) return {};
    return done(transaction({op, *st, *relay, 1, nullptr, *on ? 1 : 0}, [&](Transport &t, const Interruption &w) {
        t.write_bit(w, op, *st, *relay, *on);
    }));
}

bool Link::read_coil_word(py::handle station, py::handle name, uint16_t &out) {
    const char *op = "get_coil_uint16";
    std::optional<int> st = station_arg(op, station);
    if (!st) return false;
    std::optional<Element> word = relay_word_arg(op, name);
    return word && read_checked(op, *st, *word, 1, &out);
}

py::object Link::get_coil_uint16(py::handle station, py::handle name) {
    uint16_t value = 0;
    if (!read_coil_word(station, name, value)) return {};
    return py::int_(value);
}

bool Link::write_coil_checked(const char *op, int station, const Element &word, uint16_t value) {
    std::vector<uint16_t> words{value};
    if (!check(op, station, word, 1, true)) return false;
    return transaction({op, station, word, 1, &words},
                       [&](Transport &t, const Interruption &w) { t.write_words(w, op, station, word, words); });
}

py::object Link::set_coil_uint16(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_coil_uint16";
    std::optional<int> st = station_arg(op, station);
    if (!st) return {};
    std::optional<Element> word = relay_word_arg(op, name);
    if (!word) return {};
    std::optional<uint16_t> v = uint16_arg(op, value);
    return done(v && write_coil_checked(op, *st, *word, *v));
}

bool Link::write_coil_word(py::handle station, py::handle name, uint16_t value) {
    const char *op = "set_coil_uint16";
    std::optional<int> st = station_arg(op, station);
    if (!st) return false;
    std::optional<Element> word = relay_word_arg(op, name);
    return word && write_coil_checked(op, *st, *word, value);
}

std::optional<std::vector<uint16_t>> Link::read_block(const char *op, py::handle station, py::handle name,
                                                      size_t words_per_item, py::handle count) {
    std::optional<int> st = station_arg(op, station);
    if (!st) return std::nullopt;
    std::optional<Element> first = word_arg(op, name);
    if (!first) return std::nullopt;
    std::optional<size_t> items = count_arg(op, count);
    if (!items) return std::nullopt;
    size_t words = *items * words_per_item;
    if (!block_arg(op, *first, words)) return std::nullopt;  // before the buffer is made: it bounds its size
    std::vector<uint16_t> read(words);
    if (!read_checked(op, *st, *first, words, read.data())) return std::nullopt;
    return read;
}

bool Link::read_checked(const char *op, int station, const Element &first, size_t words, uint16_t *out) {
    if (!check(op, station, first, words, false)) return false;
    return bool(transaction({op, station, first, words}, [&](Transport &t, const Interruption &w) {
        t.read_words(w, op, station, first, words, out);
        return WordsRead{out, words};
    }));
}

bool Link::read_words(py::handle station, py::handle name, size_t count, uint16_t *out) {
    const char *op = "get_multi_uint16";
    std::optional<int> st = station_arg(op, station);
    if (!st) return false;
    std::optional<Element> first = word_arg(op, name);
    return first && block_arg(op, *first, count) && read_checked(op, *st, *first, count, out);
}

bool Link::write_words(py::handle station, py::handle name, const std::vector<uint16_t> &words) {
    return write_block("set_multi_uint16", station, name, words);
}

bool Link::write_block(const char *op, py::handle station, py::handle name, const std::vector<uint16_t> &words) {
    std::optional<int> st = station_arg(op, station);
    if (!st) return false;
    std::optional<Element> first = word_arg(op, name);
    if (!first || !block_arg(op, *first, words.size()) || !check(op, *st, *first, words.size(), true)) return false;
    return transaction({op, *st, *first, words.size(), &words},
                       [&](Transport &t, const Interruption &w) { t.write_words(w, op, *st, *first, words); });
}

py::object Link::set_uint16(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_uint16";
    std::optional<uint16_t> v = uint16_arg(op, value);
    return done(v && write_block(op, station, name, {*v}));
}

py::object Link::get_multi_uint16(py::handle station, py::handle name, py::handle count) {
    std::optional<std::vector<uint16_t>> words = read_block("get_multi_uint16", station, name, 1, count);
    if (!words) return {};
    return int_list(words->size(), [&](size_t i) { return (*words)[i]; });
}

py::object Link::set_multi_uint16(py::handle station, py::handle name, py::handle values) {
    const char *op = "set_multi_uint16";
    std::optional<std::vector<uint16_t>> words = uint16_list_arg(op, values);
    return done(words && write_block(op, station, name, *words));
}

py::object Link::get_uint32(py::handle station, py::handle name) {
    py::int_ one(1);
    std::optional<std::vector<uint16_t>> words = read_block("get_uint32", station, name, 2, one);
    if (!words) return {};
    return py::int_(double_word(*words, 0));
}

py::object Link::set_uint32(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_uint32";
    std::optional<uint32_t> v = uint32_arg(op, value);
    return done(v && write_block(op, station, name, {uint16_t(*v & 0xFFFFu), uint16_t(*v >> 16)}));
}

py::object Link::get_multi_uint32(py::handle station, py::handle name, py::handle count) {
    std::optional<std::vector<uint16_t>> words = read_block("get_multi_uint32", station, name, 2, count);
    if (!words) return {};
    return int_list(words->size() / 2, [&](size_t i) { return double_word(*words, i); });
}

py::object Link::set_multi_uint32(py::handle station, py::handle name, py::handle values) {
    const char *op = "set_multi_uint32";
    std::optional<std::vector<uint16_t>> words = uint32_list_arg(op, values);
    return done(words && write_block(op, station, name, *words));
}

py::object Link::get_multi_int32(py::handle station, py::handle name, py::handle count) {
    std::optional<std::vector<uint16_t>> words = read_block("get_multi_int32", station, name, 2, count);
    if (!words) return {};
    return int_list(words->size() / 2, [&](size_t i) { return int32_t(double_word(*words, i)); });
}

py::object Link::set_multi_int32(py::handle station, py::handle name, py::handle values) {
    const char *op = "set_multi_int32";
    std::optional<std::vector<uint16_t>> words = int32_list_arg(op, values);
    return done(words && write_block(op, station, name, *words));
}

} // namespace mew
