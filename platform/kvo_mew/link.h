// VedUzavur, the PLC link: station-addressed reads and writes of relays and
// words by FP element name, carried by a transport chosen from the port.
//
// Every call checks its arguments with the GIL held, then releases the GIL,
// takes the link's mutex (one transaction at a time, as on a serial line),
// opens the link if it is not open and runs the transaction. A transaction
// that cannot wait (the link free and open, its transport quick: a simulated
// PLC without latency) keeps the GIL instead: letting it go and taking it
// back would cost more than the transaction. So the link is
// opened lazily, start() only opens it early, and after close() the next call
// reopens it.
//
// Each transaction is recorded in the link's health (link_health.h). What
// the outside hears of it (the log, the state callback, the watchdogs) is
// collected while the mutex is held and told after it is let go, with the
// GIL again, on the thread that ran the transaction.
//
// Waits, the one for the mutex included, go in slices (interruption.h):
// close() from another thread does not wait for the transaction in progress
// but ends it, and those waiting for the mutex, with LinkError "link closed";
// Ctrl-C on the main thread ends a transaction within a slice or two.
//
// Errors: the Python-facing members return a new reference, or null with the
// Python exception set (errors.h). The engine below them, without the GIL,
// throws LinkError; serve() catches it and records the failure, and finish()
// raises it as the Python exception of its kind.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/kvo_mew/callback_device.h"
#include "platform/kvo_mew/errors.h"
#include "link/function_ref.h"
#include "link/link_health.h"
#include "link/transport.h"

namespace mew {

namespace py = pybind11;

class LinkWatchdog;
struct HealthView;

class Link {
public:
    // A new link, or null with the exception set (no transport for the port,
    // bad serial settings).
    static Link *create(py::object port, py::object baudrate, py::kwargs options);
    // The Link of a VedUzavur (or of a subclass); null, with nothing set, for
    // anything else or a VedUzavur whose constructor has not run.
    static Link *of(py::handle object);
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    py::object start();
    py::object close();
    bool is_open();
    py::object port() const { return port_; }
    py::object baudrate() const { return baudrate_; }
    py::dict options() const { return options_; }
    py::object repr();

    py::object get_coil(py::handle station, py::handle name);
    py::object set_coil(py::handle station, py::handle name, py::handle value);
    py::object get_coil_uint16(py::handle station, py::handle name);
    py::object set_coil_uint16(py::handle station, py::handle name, py::handle value);

    py::object set_uint16(py::handle station, py::handle name, py::handle value);
    py::object get_multi_uint16(py::handle station, py::handle name, py::handle count);
    py::object set_multi_uint16(py::handle station, py::handle name, py::handle values);

    py::object get_uint32(py::handle station, py::handle name);
    py::object set_uint32(py::handle station, py::handle name, py::handle value);
    py::object get_multi_uint32(py::handle station, py::handle name, py::handle count);
    py::object set_multi_uint32(py::handle station, py::handle name, py::handle values);
    py::object get_multi_int32(py::handle station, py::handle name, py::handle count);
    py::object set_multi_int32(py::handle station, py::handle name, py::handle values);

    // The same operations with the words in C++ buffers, for kvo_mew's C API
    // (capi.cpp): get_multi_uint16, set_multi_uint16, get_coil_uint16 and
    // set_coil_uint16 with the same checks, transactions and errors; false
    // with the exception set when they fail.
    bool read_words(py::handle station, py::handle name, size_t count, uint16_t *out);
    bool write_words(py::handle station, py::handle name, const std::vector<uint16_t> &words);
    bool read_coil_word(py::handle station, py::handle name, uint16_t &out);
    bool write_coil_word(py::handle station, py::handle name, uint16_t value);

    // The health view: a copy of the counters, the last error and the time
    // since the last good answer (GIL held).
    HealthCounters health_counters() const { return health_.snapshot(); }
    py::object last_error() const { return last_error_; }
    // The same as VedUzavur.health shows them (bind_link.cpp).
    HealthView health() const;
    // Called as callback(link, up) when the link goes down or comes up again;
    // None for no callback.
    py::object state_callback() const { return state_callback_; }
    py::object set_state_callback(py::object callback);
    // Watchdogs hear of every transaction's end; the link keeps them weakly.
    void watch(const std::shared_ptr<LinkWatchdog> &watchdog);
    void unwatch(const LinkWatchdog *watchdog);
    // The port as text, for messages ("/dev/ttyUSB0", "sim://cell").
    const std::string &port_text() const { return port_text_; }

private:
    // What one transaction asked for, to log it.
    struct Request {
        const char *op;
        int station;
        Element first;
        size_t words;                                   // words, or 1 for a relay
        const std::vector<uint16_t> *values = nullptr;  // words written
        int bit = -1;                                   // relay value written, -1 for none
    };
    // What a transaction did, collected under the mutex and told after it.
    struct Outcome {
        bool frames = false;  // the frame logger wants the request and answer
        bool reopened = false;
        std::string open_warning;  // the transport's, from opening the link
        Transition transition = Transition::None;
        bool failed = false;
        ErrorKind kind = ErrorKind::Link;
        FailureCause cause = FailureCause::Other;
        std::string message;
        std::string answer;  // the answer as the frame log shows it
    };
    using Step = FunctionRef<void(Transport &, const Interruption &)>;

    // Runs `call(transport, interruption)` without the GIL, under the mutex,
    // on an open link, then tells the log, the state callback and the
    // watchdogs. A transport whose port failed has closed it: the next call
    // reopens it. False, or an empty result, with the exception set when the
    // transaction failed or was refused.
    template <class Call>
    auto transaction(const Request &request, Call call) {
        using Result = decltype(call(*transport_, std::declval<const Interruption &>()));
        Outcome outcome;
        outcome.frames = begin(request);
        if constexpr (std::is_void_v<Result>) {
            return run_locked(request, outcome, [&](Transport &t, const Interruption &w) { call(t, w); }) &&
                   finish(request, outcome);
        } else {
            Result result{};
            bool ran = run_locked(request, outcome, [&](Transport &t, const Interruption &w) {
                result = call(t, w);
                if (outcome.frames) outcome.answer = answer_text(result);
            });
            if (!ran || !finish(request, outcome)) return std::optional<Result>();
            return std::optional<Result>(result);
        }
    }
    bool begin(const Request &request);
    // False, with the exception set, when the transaction may not run here.
    bool run_locked(const Request &request, Outcome &outcome, Step call);
    // The part of run_locked under the mutex (taken here unless `hold` has it).
    void serve(const Request &request, Outcome &outcome, Step call, std::unique_lock<std::timed_mutex> &hold,
               const Interruption &interruption);
    // Raises the failure, if any, as the Python exception it stores as the
    // last error: false with it set.
    bool finish(const Request &request, Outcome &outcome);
    // Calls the state callback; its exception goes to sys.unraisablehook.
    void tell_state(bool up);
    // Words read into a caller's buffer, as a transaction's result.
    struct WordsRead {
        const uint16_t *words;
        size_t count;
    };
    static std::string answer_text(const std::vector<uint16_t> &words) { return answer_text({words.data(), words.size()}); }
    static std::string answer_text(WordsRead read);
    static std::string answer_text(bool bit) { return bit ? " 1" : " 0"; }
    // The mutex, waited for in slices; then a last check, so a transaction
    // that waited through a close() ends too.
    std::unique_lock<std::timed_mutex> acquire(const Interruption &interruption);
    // Opens the link if it is closed; true when that was a reopening.
    bool open_locked(const Interruption &interruption);
    // Lets the transport refuse what it cannot address, before any
    // transaction: false with AddressError set.
    bool check(const char *op, int station, const Element &first, size_t count, bool write) const;
    std::optional<std::vector<uint16_t>> read_block(const char *op, py::handle station, py::handle name,
                                                    size_t words_per_item, py::handle count);
    // Reads a block already checked by block_arg into `out`.
    bool read_checked(const char *op, int station, const Element &first, size_t words, uint16_t *out);
    bool write_coil_checked(const char *op, int station, const Element &word, uint16_t value);
    bool write_block(const char *op, py::handle station, py::handle name, const std::vector<uint16_t> &words);
    // The transport comes from create().
    Link(py::object port, std::string port_text, py::object baudrate, py::dict options,
         std::unique_ptr<Transport> transport);

    const py::object port_;
    const std::string port_text_;
    const py::object baudrate_;
    const py::dict options_;
    std::timed_mutex mutex_;
    std::atomic<uint64_t> closes_{0};  // close() calls so far
    std::unique_ptr<Transport> transport_;
    std::atomic<bool> open_{false};    // written under the mutex, read without it
    bool opened_once_ = false;
    LinkHealth health_;
    // Touched with the GIL held only.
    py::object last_error_ = py::none();
    py::object state_callback_ = py::none();
    std::vector<std::weak_ptr<LinkWatchdog>> watchdogs_;
};

} // namespace mew
