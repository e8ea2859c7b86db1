// The kernels that have bodies for more than one instruction set, and the one place that
// chooses between them.
#pragma once
#include "support/steps.hpp"

#include <cstddef>
#include <cstdint>

namespace pixalot {

struct LevelsParameters;
struct HashedMemo;
struct CodeTable;

/// One instruction set's bodies. Every vector body gives exactly the bits of the baseline
/// body beside it, which performs the element-wise definition; the choice changes speed only.
struct CpuKernels {
    /// bases[k] = levels_base(source[k]) for k < count.
    void (*levels_bases)(const LevelsParameters& p, const float* source, Index count, float* bases);
    /// target[k] = memo.lookup(source[k]) for k < count; gives the number of hits.
    Index (*hashed_lookups)(HashedMemo& memo, const LevelsParameters& p, const float* source,
                                  Index count, float* target);
    /// target[k] = table.lookup(source[k]) for k < count; gives the number the table served.
    Index (*coded_lookups)(CodeTable& table, const LevelsParameters& p, const float* source,
                                 Index count, float* target);
    /// per_pixel[k] = values[indices[k]] for k < count.
    void (*gather)(const float* values, const std::uint32_t* indices, Index count, float* per_pixel);
    /// target[k] = clamp_unit(source[k] + addend[k]) for k < count, with non-temporal
    /// stores when `stream` is set and the instruction set has them (see finish_streaming).
    void (*add_clamp)(const float* source, const float* addend, float* target, Index count, bool stream);
};

namespace detail {
/// Filled once when the library is loaded (kernels/dispatch.cpp).
extern const CpuKernels resolved_kernels;
}  // namespace detail

/// The bodies of this processor, chosen from its features when the library is loaded.
/// The environment variable PIXALOT_CPU=baseline, read at that moment, forces the
/// baseline bodies (so that the test suite can check both sets bit for bit). A plain
/// object rather than a function-local static: some kernels run once per short row.
inline const CpuKernels& cpu_kernels() { return detail::resolved_kernels; }

/// Makes streamed stores visible before the result is handed to anyone else.
void finish_streaming();

/// The bodies every processor of the target runs (SSE2 on x86).
CpuKernels baseline_kernels();

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define PIXALOT_HAVE_AVX2_KERNELS 1
/// The AVX2 bodies (their file alone is compiled for AVX2).
CpuKernels avx2_kernels();
#endif

}  // namespace pixalot
