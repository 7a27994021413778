#include "fa/module/names.h"

namespace fa {

Names names;

bool init_names() {
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

} // namespace fa
