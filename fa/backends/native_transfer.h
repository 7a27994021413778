// The native channel between a machine and its kvo_mew link. When the
// machine's link is a genuine VedUzavur and the machine still uses our own
// transfer operations (its type resolves them, and FPMachine's forwarding
// methods, to our functions and its instance does not shadow them: the
// dispatch guard of fa/module/dispatch.h), the refresh cycle moves the words
// between the link and the image lists through kvo_mew's C API
// (platform/kvo_mew/capi.h): the GIL is released while a transaction may
// wait, and no Python list is built besides the image lists. Anything else (another link
// object, an overridden or monkey-patched method) takes the Python path, and
// so does anything unusual in the image lists.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace fa::backends {

// Each step returns 1 when it ran natively, 0 when it did nothing and the
// step must go through Python, -1 when it failed with the Python error set
// (a link failure raises the link's exception).

// do_get_x_uint16() and x_manager.update(words); `changed` is update's result.
int read_inputs_natively(py::handle machine, bool &changed);
// do_set_y_uint16(words), `words` being the machine's _y_words.
int write_outputs_natively(py::handle machine, py::handle words);
// do_get_y_uint16() and the copy of its words into `words` and `words_old`.
int read_outputs_natively(py::handle machine, py::handle words, py::handle words_old);

// Called by the class builders, at import: the link's methods as kvo_mew
// made them are the ones the channel may stand in for.
void load_link_api();

} // namespace fa::backends
