#include "fa/machine/callback_guard.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "fa/module/module.h"

namespace fa::machine {

namespace {

thread_local std::vector<PyObject *> running_callbacks_of;

} // namespace

CallbackScope::CallbackScope(py::handle owner) : owner_(owner.ptr()) { running_callbacks_of.push_back(owner_); }

CallbackScope::~CallbackScope() {
    auto found = std::find(running_callbacks_of.rbegin(), running_callbacks_of.rend(), owner_);
    if (found != running_callbacks_of.rend()) running_callbacks_of.erase(std::next(found).base());
}

bool inside_callbacks(py::handle owner) {
    return std::find(running_callbacks_of.begin(), running_callbacks_of.end(), owner.ptr()) !=
           running_callbacks_of.end();
}

bool outside_callbacks(py::handle owner, const char *message) {
    if (!inside_callbacks(owner)) return true;
    PyErr_SetString(PyExc_RuntimeError, message);
    return false;
}

} // namespace fa::machine
