#include "platform/kvo_mew/link_log.h"

#include <cstdio>

#include "platform/kvo_mew/state.h"
#include "runtime/errors.h"
#include "runtime/python_compat.h"

namespace mew {
namespace link_log {
namespace {

constexpr int kDebug = 10, kInfo = 20, kWarning = 30;

// The loggers are kept in the module state (state.h) from their first use.
// Null with the exception set if logging could not give one; null without
// one once the module is gone (nothing is logged then).
PyObject *logger(const char *name, PyObject *State::*slot) {
    if (!state) return nullptr;
    if (!(state->*slot)) {
        PyObject *logging = PyImport_ImportModule("logging");
        PyObject *log = logging ? PyObject_CallMethod(logging, "getLogger", "s", name) : nullptr;
        Py_XDECREF(logging);
        if (!state) { // logging ran Python code
            Py_XDECREF(log);
            return nullptr;
        }
        if (!(state->*slot)) state->*slot = log;
        else Py_XDECREF(log);
    }
    return state->*slot;
}

PyObject *link_logger() { return logger("kvo_mew.link", &State::link_logger); }

PyObject *frames_logger() { return logger("kvo_mew.frames", &State::frames_logger); }

// The names and logging's own method that cached_answer looks for, made on
// first use; false (no error set) when they cannot be had.
bool logging_objects_ready() {
    if (!state) return false;
    if (state->logging_is_enabled_for) return true;
    PyObject *method_name = PyUnicode_InternFromString("isEnabledFor");
    PyObject *cache_name = PyUnicode_InternFromString("_cache");
    PyObject *disabled_name = PyUnicode_InternFromString("disabled");
    PyObject *logging = PyImport_ImportModule("logging");
    PyObject *logger_class = logging ? PyObject_GetAttrString(logging, "Logger") : nullptr;
    PyObject *method = logger_class && method_name ? PyObject_GetAttr(logger_class, method_name) : nullptr;
    Py_XDECREF(logger_class);
    Py_XDECREF(logging);
    PyErr_Clear();
    bool ready = state && method && cache_name && disabled_name && !state->logging_is_enabled_for;
    if (ready) {
        state->is_enabled_for_name = method_name;
        state->cache_name = cache_name;
        state->disabled_name = disabled_name;
        state->logging_is_enabled_for = method;
    } else {
        Py_XDECREF(method_name);
        Py_XDECREF(cache_name);
        Py_XDECREF(disabled_name);
        Py_XDECREF(method);
    }
    return state && state->logging_is_enabled_for;
}

// logging's own Logger.isEnabledFor answers from the logger's `_cache`
// (level -> bool), which logging clears whenever a level changes or
// logging.disable() is called, after looking at `disabled`. Reading both
// from the logger's __dict__ gives the same answer without a call into
// Python on every transaction: 1 or 0, or -1 when the logger must be asked
// (an isEnabledFor of its own, no cached answer yet, anything unusual).
int cached_answer(PyObject *log, int level) {
    if (!logging_objects_ready()) return -1;
    PyObject *method_name = state->is_enabled_for_name, *cache_name = state->cache_name;
    PyObject *disabled_name = state->disabled_name, *logging_method = state->logging_is_enabled_for;
    if (kvo::compat::type_lookup(Py_TYPE(log), method_name) != logging_method) return -1;
    PyObject *dict = kvo::compat::instance_dict(log);
    if (!dict || PyDict_GetItemWithError(dict, method_name)) {  // none, or shadowed on the instance
        PyErr_Clear();
        return -1;
    }
    PyObject *disabled = PyDict_GetItemWithError(dict, disabled_name);
    if (disabled == Py_True) return 0;
    PyObject *cache = disabled == Py_False ? PyDict_GetItemWithError(dict, cache_name) : nullptr;
    if (!cache || !PyDict_CheckExact(cache)) {
        PyErr_Clear();
        return -1;
    }
    PyObject *key = PyLong_FromLong(level);  // a small int: no allocation
    PyObject *answer = key ? PyDict_GetItemWithError(cache, key) : nullptr;
    Py_XDECREF(key);
    PyErr_Clear();
    return answer == Py_True ? 1 : answer == Py_False ? 0 : -1;
}

// 1 or 0, or -1 with the exception set.
int enabled(PyObject *log, int level) {
    if (!log) return PyErr_Occurred() ? -1 : 0;
    int cached = cached_answer(log, level);
    if (cached >= 0) return cached;
    PyObject *answer = PyObject_CallMethod(log, "isEnabledFor", "i", level);
    int on = answer ? PyObject_IsTrue(answer) : -1;
    Py_XDECREF(answer);
    return on;
}

// Logging has no caller to raise to: its errors go to sys.unraisablehook.
void log_failed() { kvo::rt::write_unraisable("kvo_mew link logging"); }

// Logs `message` at `level` if enabled; builds the text only then.
template <class Text>
void emit(PyObject *(*which)(), int level, Text text) {
    PyObject *log = which();
    int on = enabled(log, level);
    if (on <= 0) {
        if (on < 0) log_failed();
        return;
    }
    std::string line = text();
    PyObject *message = PyUnicode_FromStringAndSize(line.data(), Py_ssize_t(line.size()));
    PyObject *done = message ? PyObject_CallMethod(log, "log", "isO", level, "%s", message) : nullptr;
    Py_XDECREF(message);
    if (!done) log_failed();
    Py_XDECREF(done);
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

} // namespace

bool frames_wanted() {
    int on = enabled(frames_logger(), kDebug);
    if (on < 0) log_failed();
    return on > 0;
}

void frame(const std::string &port, char direction, const std::string &line) {
    emit(frames_logger, kDebug, [&] { return port + " " + direction + " " + line; });
}

void failed(const std::string &port, const char *op, int station, FailureCause cause, const std::string &message) {
    emit(link_logger, kDebug, [&] {
        return port + " station " + std::to_string(station) + ": " + op + "() failed (" + cause_name(cause) +
               "): " + message;
    });
}

void went_down(const std::string &port, int station, const std::string &detail) {
    emit(link_logger, kWarning,
         [&] { return "link down: " + port + " station " + std::to_string(station) + ": " + detail; });
}

void came_up(const std::string &port, double seconds_down) {
    emit(link_logger, kInfo, [&] { return "link up: " + port + " answers again after " + seconds_text(seconds_down); });
}

void reopened(const std::string &port) {
    emit(link_logger, kInfo, [&] { return "link reopened: " + port; });
}

void warning(const std::string &text) {
    emit(link_logger, kWarning, [&] { return text; });
}

} // namespace link_log
} // namespace mew
