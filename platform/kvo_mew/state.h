// kvo_mew's module state: the exception types it defines and the logging
// objects the link keeps (link_log.cpp). It belongs to the module object
// (m_size, traverse, clear); code reaches it through `state`, set when the
// module is executed and reset when it is freed (module.cpp): null then, and
// every user copes with that.
#pragma once

#include <Python.h>

namespace mew {

struct State {
    // The exception types, made at exec.
    PyObject *link_error;
    PyObject *address_error;
    PyObject *line_error;
    PyObject *slave_error;
    PyObject *link_down_error;
    // Made on first use (link_log.cpp).
    PyObject *link_logger;
    PyObject *frames_logger;
    PyObject *is_enabled_for_name;
    PyObject *cache_name;
    PyObject *disabled_name;
    PyObject *logging_is_enabled_for; // logging.Logger.isEnabledFor
};

#define MEW_STATE_OBJECTS(X) \
    X(link_error) X(address_error) X(line_error) X(slave_error) X(link_down_error) X(link_logger) \
    X(frames_logger) X(is_enabled_for_name) X(cache_name) X(disabled_name) X(logging_is_enabled_for)

// The live instance's state (the module supports one), or null.
extern State *state;

} // namespace mew
