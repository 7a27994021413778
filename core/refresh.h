// The decision of a refresh cycle's output step: the whole output image is
// written when any output word differs from the image as last transferred,
// or when the previous cycle failed (what the PLC holds is then unknown);
// otherwise the outputs are read back.
#pragma once

#include <cstddef>

namespace kvo::core {

enum class OutputStep { WriteWholeImage, ReadBack };

constexpr OutputStep output_step(bool pending_change, bool after_failed_cycle) {
    return (pending_change || after_failed_cycle) ? OutputStep::WriteWholeImage : OutputStep::ReadBack;
}

// Whether some word of `words` differs from the word at the same position of
// `old`, over the first `count` positions.
template <class Word>
bool pending_change(const Word *words, const Word *old, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (words[i] != old[i]) return true;
    return false;
}

} // namespace kvo::core
