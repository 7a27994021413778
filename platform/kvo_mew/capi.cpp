// kvo_mew._C_API: the link operations of capi.h over C buffers, for other
// extensions. Each one runs the link's own code path (argument checks,
// transaction with the GIL released), which reports a failure with the Python
// exception the Python method raises set: the function then returns -1.
#include "platform/kvo_mew/capi.h"

#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <algorithm>
#include <exception>
#include <new>

#include "platform/kvo_mew/bindings.h"
#include "platform/kvo_mew/link.h"

namespace py = pybind11;

namespace mew {

namespace {

// The one catch boundary of the C functions, for real C++ failures only
// (bad_alloc, a pybind11 call that threw): 0 when `call` succeeded, or -1
// with the exception set. Not noexcept: the unwind that ends a thread at
// interpreter exit must pass.
template <class Call>
int guarded(Call call) {
    try {
        return call() ? 0 : -1;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "kvo_mew: unexpected C++ error");
    }
    return -1;
}

// The Link of a VedUzavur; null with TypeError set for anything else.
Link *link_of(PyObject *link) {
    Link *own = Link::of(link);
    if (!own) PyErr_Format(PyExc_TypeError, "kvo_mew._C_API needs a kvo_mew.VedUzavur, not %s", Py_TYPE(link)->tp_name);
    return own;
}

int get_multi_uint16(PyObject *link, PyObject *station, PyObject *name, Py_ssize_t count, uint16_t *out) {
    return guarded([&] {
        Link *own = link_of(link);
        return own && own->read_words(station, name, size_t(count), out);
    });
}

int set_multi_uint16(PyObject *link, PyObject *station, PyObject *name, const uint16_t *values, Py_ssize_t count) {
    return guarded([&] {
        Link *own = link_of(link);
        return own && own->write_words(station, name, std::vector<uint16_t>(values, values + count));
    });
}

int get_coil_uint16(PyObject *link, PyObject *station, PyObject *name, uint16_t *out) {
    return guarded([&] {
        Link *own = link_of(link);
        return own && own->read_coil_word(station, name, *out);
    });
}

int set_coil_uint16(PyObject *link, PyObject *station, PyObject *name, uint16_t value) {
    return guarded([&] {
        Link *own = link_of(link);
        return own && own->write_coil_word(station, name, value);
    });
}

KvoMewCApi c_api{KVO_MEW_CAPI_VERSION, nullptr, get_multi_uint16, set_multi_uint16, get_coil_uint16, set_coil_uint16};

} // namespace

void bind_c_api(py::module_ &m) {
    py::object link_type = m.attr("VedUzavur");
    c_api.link_type = reinterpret_cast<PyTypeObject *>(link_type.ptr()); // the module keeps the type alive
    m.add_object("_C_API", py::capsule(&c_api, KVO_MEW_CAPI_NAME));
}

} // namespace mew
