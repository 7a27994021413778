#include "platform/kvo_mew/link_log.h"

#include <cstdio>

namespace mew {
namespace link_log {
namespace {

namespace py = pybind11;

constexpr int kDebug = 10, kInfo = 20, kWarning = 30;

// The loggers live as long as the process: never released, so no Python
// object is touched after the interpreter has gone.
py::handle logger(const char *name, py::object *&slot) {
    if (!slot) slot = new py::object(py::module_::import("logging").attr("getLogger")(name));
    return *slot;
}

py::handle link_logger() {
    static py::object *slot = nullptr;
    return logger("kvo_mew.link", slot);
}

py::handle frames_logger() {
    static py::object *slot = nullptr;
    return logger("kvo_mew.frames", slot);
}

bool enabled(py::handle log, int level) { return log.attr("isEnabledFor")(level).cast<bool>(); }

// Logs `message` at `level` if enabled; builds the text only then.
template <class Text>
void emit(py::handle (*which)(), int level, Text text) {
    try {
        py::handle log = which();
        if (enabled(log, level)) log.attr("log")(level, "%s", text());
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("kvo_mew link logging");
    }
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

} // namespace

bool frames_wanted() {
    try {
        return enabled(frames_logger(), kDebug);
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("kvo_mew link logging");
        return false;
    }
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

} // namespace link_log
} // namespace mew
