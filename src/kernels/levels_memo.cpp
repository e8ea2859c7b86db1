// The memos of colour-levels results: the hashed memo, the code tables, and their lookups
// one element at a time (the vector lookups, in avx2.cpp, leave their misses to these).
#include "kernels/levels_memo.hpp"

#include "kernels/dispatch.hpp"
#include "support/steps.hpp"

#include <algorithm>
#include <cmath>

namespace pixalot {

float levels_element(const LevelsParameters& parameters, float value) {
    return powf(levels_base(parameters, value), parameters.gamma);
}

HashedMemo::HashedMemo(const LevelsParameters& p) {
    const float zero_result = levels_element(p, 0.0f);
    std::fill_n(entries, memo_slots, std::uint64_t{bits_of(zero_result)} << 32 | bits_of(0.0f));
}

CodeTable::CodeTable(unsigned bits, HashedMemo& hashed)
    : depth(bits), scale(static_cast<float>((1u << bits) - 1)), beyond(1u << bits),
      results(std::make_unique_for_overwrite<float[]>(std::size_t{beyond} + 1)),
      fallback(&hashed) {
    std::fill_n(results.get(), std::size_t{beyond} + 1, float_of(unknown));
}

void CodeTable::fill(const LevelsParameters& p) {
    float inputs[fill_chunk], bases[fill_chunk];
    const Index codes = (Index{1} << depth) + 1;  // through `beyond`
    for (Index first = 0; first < codes; first += fill_chunk) {
        const Index length = std::min(fill_chunk, codes - first);
        for (Index k = 0; k < length; ++k) inputs[k] = static_cast<float>(first + k) / scale;
        cpu_kernels().levels_bases(p, inputs, length, bases);
        for (Index k = 0; k < length; ++k) results.get()[first + k] = powf(bases[k], p.gamma);
    }
}

float HashedMemo::lookup(const LevelsParameters& p, float value, Index& hits) {
    const std::uint32_t bits = bits_of(value);
    std::uint64_t& entry = entries[(bits * hash_multiplier) >> (32 - memo_slot_bits)];
    if (static_cast<std::uint32_t>(entry) == bits) {
        ++hits;
        return float_of(static_cast<std::uint32_t>(entry >> 32));
    }
    const float result = levels_element(p, value);
    entry = (std::uint64_t{bits_of(result)} << 32) | bits;
    return result;
}

float CodeTable::lookup(const LevelsParameters& p, float value, Index& served) {
    const std::optional<std::uint32_t> code = code_of(value, scale, beyond);
    if (!code) {
        Index unused = 0;
        return fallback->lookup(p, value, unused);
    }
    ++served;
    float& result = results[*code];
    if (bits_of(result) == unknown) result = levels_element(p, value);
    return result;
}

namespace {

template <class Table>
Index lookups(Table& table, const LevelsParameters& p, const float* source, Index stride,
                    Index count, float* target) {
    Index served = 0;
    for (Index k = 0; k < count; ++k) {
        target[k] = table.lookup(p, *stepped(source, k, stride), served);
    }
    return served;
}

}  // namespace

Index strided_lookups(HashedMemo& memo, const LevelsParameters& p, const float* source,
                            Index stride, Index count, float* target) {
    return lookups(memo, p, source, stride, count, target);
}

Index strided_lookups(CodeTable& table, const LevelsParameters& p, const float* source,
                            Index stride, Index count, float* target) {
    return lookups(table, p, source, stride, count, target);
}

}  // namespace pixalot
