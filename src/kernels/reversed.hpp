// Rows stored backwards (flipped images), put back in order.
#pragma once
#include <cstddef>

namespace pixalot {

/// Copies `groups` groups of `group` values (pixels of their channels, or single values)
/// into `target` in the opposite order. The usual group sizes get loops of their own,
/// where each group's copy is a few moves.
template <std::size_t group>
void copy_reversed(const float* source, std::size_t groups, float* target) {
    for (std::size_t k = 0; k < groups; ++k) {
        const float* from = source + (groups - 1 - k) * group;
        for (std::size_t value = 0; value < group; ++value) target[k * group + value] = from[value];
    }
}

inline void copy_reversed(const float* source, std::size_t groups, std::size_t group, float* target) {
    switch (group) {
        case 1: return copy_reversed<1>(source, groups, target);
        case 3: return copy_reversed<3>(source, groups, target);
        case 4: return copy_reversed<4>(source, groups, target);
        default:
            for (std::size_t k = 0; k < groups; ++k) {
                const float* from = source + (groups - 1 - k) * group;
                for (std::size_t value = 0; value < group; ++value) target[k * group + value] = from[value];
            }
    }
}

}  // namespace pixalot
