// kvo_mew: the PLC link of kvo_fa machines and an in-process simulated PLC.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "errors.h"

namespace py = pybind11;

PYBIND11_MODULE(kvo_mew, m) {
    m.doc() =
        "PLC link for kvo_fa machines.\n"
        "\n"
        "VedUzavur(port, baudrate=9600, **kwargs) reads and writes relays (X, Y, R), relay words\n"
        "(WX, WY, WR) and data words (D, DT) of a PLC station by FP element name. A port\n"
        "\"sim://NAME\" talks to the in-process simulated PLC NAME (see simulator()).\n"
        "The link opens lazily on its first call; after close() the next call reopens it.\n"
        "\n"
        "Failures raise LinkError; unknown names, elements of the wrong kind, addresses outside\n"
        "the PLC's memory and bad stations raise AddressError (a LinkError); bad values raise\n"
        "TypeError or ValueError. A refused call changes nothing.";

    // Registered base first: the later translator (AddressError) is tried first.
    py::register_local_exception<mew::LinkError>(m, "LinkError", PyExc_Exception);
    py::register_local_exception<mew::AddressError>(m, "AddressError", m.attr("LinkError"));
    m.attr("LinkError").attr("__doc__") = "A PLC link failure: no transport for the port, or a failed transaction.";
    m.attr("AddressError").attr("__doc__") =
        "An element name the PLC does not know, an element of the wrong kind for the operation, "
        "an address outside the PLC's memory, or a station out of range.";

    mew::bind_link(m);
    mew::bind_simulator(m);
}
