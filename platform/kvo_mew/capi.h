/* The native channel of kvo_mew: a table of C functions published in the
 * capsule kvo_mew._C_API, through which another extension (kvo_fa's refresh
 * cycle) moves 16-bit words between a link and its own buffers without
 * building Python lists. Each function does what the Python method of the
 * same name does (the same argument checks, the same transaction, counted
 * under the same operation name by the simulated PLC, the same exceptions),
 * only with the words in a C buffer.
 *
 * Rules of use: call with the GIL held, with a link whose type is exactly
 * `link_type` (VedUzavur); the GIL is released inside whenever the
 * transaction may wait (as in the Python methods).
 * A function returns 0, or -1 with the Python exception set. Check `version`
 * before use: a different version may have another layout. */
#pragma once

#include <Python.h>
#include <stdint.h>

#define KVO_MEW_CAPI_NAME "kvo_mew._C_API"
#define KVO_MEW_CAPI_VERSION 1

struct KvoMewCApi {
    int version;
    PyTypeObject *link_type;
    /* get_multi_uint16(station, name, count): `count` words from `name` on into `out`. */
    int (*get_multi_uint16)(PyObject *link, PyObject *station, PyObject *name, Py_ssize_t count, uint16_t *out);
    /* set_multi_uint16(station, name, values): `count` words from `values`. */
    int (*set_multi_uint16)(PyObject *link, PyObject *station, PyObject *name, const uint16_t *values,
                            Py_ssize_t count);
    /* get_coil_uint16(station, name) into `out`. */
    int (*get_coil_uint16)(PyObject *link, PyObject *station, PyObject *name, uint16_t *out);
    /* set_coil_uint16(station, name, value). */
    int (*set_coil_uint16)(PyObject *link, PyObject *station, PyObject *name, uint16_t value);
};
