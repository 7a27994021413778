// YManager: the output image of a machine, presented over the owner's own
// word lists without copying them, so it always shows the image of the
// moment. It adds no attribute and no operation of its own.
#include "fa/image/xmanager.h"
#include "fa/module/calls.h"
#include "fa/module/classdef.h"
#include "fa/module/classes.h"

namespace fa {

namespace {

py::object init(py::handle self, const Args &a) {
    ImageLists lists;
    py::object no_count = steal(PyLong_FromLong(0));
    if (!no_count || !image_lists(a[0], a[1], no_count, lists)) return {};
    if (!set(self, names()._XManager__x_words, lists.words)) return {};
    if (!set(self, names()._XManager__x_words_old, lists.words_old)) return {};
    return none();
}

const FunctionSpec kInit{"__init__", init, {{"words"}, {"words_old"}}};

} // namespace

py::object build_YManager() { return ClassDef("YManager", "XManager").method(kInit).build(); }

} // namespace fa
