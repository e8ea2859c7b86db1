// Rows stored backwards (flipped images), put back in order.
#pragma once
#include "support/steps.hpp"

#include <cstddef>
#include <type_traits>

namespace pixalot {

/// Copies `groups` groups of `group` values into `target` in the opposite order; `Group`
/// is Index or a constant of it.
template <class Group>
void copy_groups_reversed(const float* source, Index groups, Group group, float* target) {
    const Index size = group;
    for (Index k = 0; k < groups; ++k) {
        const float* from = source + (groups - 1 - k) * size;
        for (Index value = 0; value < size; ++value) target[k * size + value] = from[value];
    }
}

/// Copies `groups` groups of `group` values (pixels of their channels, or single values)
/// into `target` in the opposite order. The usual group sizes are known to the compiler,
/// so each group's copy is a few moves.
inline void copy_reversed(const float* source, Index groups, Index group, float* target) {
    switch (group) {
        case 1: return copy_groups_reversed(source, groups, std::integral_constant<Index, 1>{}, target);
        case 3: return copy_groups_reversed(source, groups, std::integral_constant<Index, 3>{}, target);
        case 4: return copy_groups_reversed(source, groups, std::integral_constant<Index, 4>{}, target);
        default: return copy_groups_reversed(source, groups, group, target);
    }
}

}  // namespace pixalot
