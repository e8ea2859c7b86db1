// The memos of colour-levels results and the element function they remember; the vector
// lookups in avx2.cpp share these definitions and leave their misses to levels_memo.cpp.
#pragma once
#include "kernels/clamp.hpp"
#include "kernels/levels.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

namespace pixalot {

// Internal linkage: the AVX2 file includes these too, and a copy compiled there must never
// be the one that baseline code ends up calling.
namespace {

/// The linear map and clamp of one element, before the power stage.
inline float levels_base(const LevelsParameters& p, float value) {
    return clamp_unit((value - p.in_low) / p.in_span * p.out_span + p.out_low);
}

inline std::uint32_t bits_of(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline float float_of(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

/// The code k of a value of an image of `scale` = 2^b - 1 levels: the value times the
/// scale, rounded, when the value is float32(k) / scale bit for bit; nothing otherwise.
/// Values far from every code (NaN fails the range comparison too) are tried as `beyond`.
inline std::optional<std::uint32_t> code_of(float value, float scale, std::uint32_t beyond) {
    const float scaled = value * scale;
    const std::uint32_t code =
        scaled >= 0.0f && scaled < scale + 0.5f ? static_cast<std::uint32_t>(scaled + 0.5f) : beyond;
    if (bits_of(static_cast<float>(code) / scale) != bits_of(value)) return std::nullopt;
    return code;
}

}  // namespace

/// 8192 slots of 8 bytes: 64 KiB, which the second-level cache holds beside a chunk's data.
constexpr unsigned memo_slot_bits = 13;
constexpr Index memo_slots = Index{1} << memo_slot_bits;
/// Knuth's multiplier, 2^32 divided by the golden ratio: consecutive codes spread apart.
constexpr std::uint32_t hash_multiplier = 2654435761u;

/// Codes filled per pass when a table is filled ahead: a stack buffer of inputs and bases.
constexpr Index fill_chunk = 512;

/// A direct-mapped memo keyed by a hash of the input's bits (Knuth's multiplicative hash).
/// Each entry holds an input's bits in its low half and its result's in the high half, so
/// one 64-bit load (one gather lane) brings both. Every entry always holds a true pair
/// (they start as +0.0 and its result), so no bit pattern needs to mean "empty".
struct HashedMemo {
    std::uint64_t entries[memo_slots];

    explicit HashedMemo(const LevelsParameters& p);

    /// The element, from the memo (counting a hit) or computed and remembered in place of
    /// the slot's entry.
    float lookup(const LevelsParameters& p, float value, Index& hits);
};

/// The results of the codes k of an image of 2^b - 1 levels, whose values are
/// k / (2^b - 1) rounded to float32 (the float32 quotient, and the float64 one rounded to
/// float32, are the same for every such k). A value's code is the value times 2^b - 1,
/// rounded, and the value is served only when it is that code's quotient bit for bit;
/// anything else (a value nudged off its code, NaN, -0.0, values beyond [0, 1]) goes to
/// the hashed memo. A code's result is computed ahead for calls long enough to meet most
/// codes, else the first time the code is met.
struct CodeTable {
    /// Marks a code not met yet. A true result with these bits (only a NaN gamma with
    /// this payload could give one) is merely computed again each time.
    static constexpr std::uint32_t unknown = 0xFFFFFFFFu;

    unsigned depth;
    float scale;          // 2^depth - 1
    std::uint32_t beyond; // 2^depth: one past the last code, where values far from any code go
    std::unique_ptr<float[]> results;  // beyond + 1 entries
    HashedMemo* fallback;

    CodeTable(unsigned bits, HashedMemo& hashed);

    /// Computes every code's result ahead, for calls long enough to meet most codes: one
    /// tight pass costs far less than meeting the codes one by one in the lookups.
    void fill(const LevelsParameters& p);

    /// The element, served by the table (counted) or by the hashed memo.
    float lookup(const LevelsParameters& p, float value, Index& served);
};

/// The lookups of `count` elements `stride` apart; gives the number served (or hits).
Index strided_lookups(HashedMemo& memo, const LevelsParameters& p, const float* source,
                            Index stride, Index count, float* target);
Index strided_lookups(CodeTable& table, const LevelsParameters& p, const float* source,
                            Index stride, Index count, float* target);

}  // namespace pixalot
