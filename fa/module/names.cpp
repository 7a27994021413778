#include "fa/module/state.h"

namespace fa {

bool init_names(Names &names) {
#define FA_NAME_INTERN(ident) \
    if (!names.ident && !(names.ident = PyUnicode_InternFromString(#ident))) return false;
    FA_NAMES(FA_NAME_INTERN)
#undef FA_NAME_INTERN
#define FA_TEXT_INTERN(ident, text) \
    if (!names.ident && !(names.ident = PyUnicode_InternFromString(text))) return false;
    FA_TEXTS(FA_TEXT_INTERN)
#undef FA_TEXT_INTERN
    return true;
}

int visit_names(const Names &names, visitproc visit, void *arg) {
#define FA_NAME_VISIT(ident) Py_VISIT(names.ident);
    FA_NAMES(FA_NAME_VISIT)
#undef FA_NAME_VISIT
#define FA_TEXT_VISIT(ident, text) Py_VISIT(names.ident);
    FA_TEXTS(FA_TEXT_VISIT)
#undef FA_TEXT_VISIT
    return 0;
}

void release_names(Names &names) {
#define FA_NAME_RELEASE(ident) Py_CLEAR(names.ident);
    FA_NAMES(FA_NAME_RELEASE)
#undef FA_NAME_RELEASE
#define FA_TEXT_RELEASE(ident, text) Py_CLEAR(names.ident);
    FA_TEXTS(FA_TEXT_RELEASE)
#undef FA_TEXT_RELEASE
}

} // namespace fa
