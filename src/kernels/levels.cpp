// Colour levels in chunks: a vectorisable linear map and clamp, then the power stage.
#include "kernels/levels.hpp"

#include "kernels/dispatch.hpp"
#include "kernels/levels_memo.hpp"
#include "support/steps.hpp"

#include <algorithm>
#include <cmath>

namespace pixalot {
namespace {

/// Elements per step: the bases of a chunk stay in the first-level cache between the map
/// and the power stage, and a memo's verdict (serve or rest) is taken per chunk.
constexpr Index chunk = 512;

/// Below this many elements a call computes directly: the memo's set-up (a 64 KiB table
/// filled with one true pair) costs more than a few chunks of powf can save.
constexpr Index memo_minimum_elements = 16 * chunk;

/// A memo must serve at least a quarter of a chunk to keep its place: a miss costs a
/// lookup on top of the powf it did not save.
constexpr Index memo_serving_share_inverse = 4;

/// Chunks a memo rests after one that it served too little: long enough that data of
/// distinct values pays almost nothing for it, short enough to find repetition again.
constexpr unsigned resting_chunks = 128;

/// Turns between code tables in one call: data that keeps alternating between depths
/// would otherwise keep paying for tables it then misses.
constexpr unsigned code_table_turns = 16;

/// A code table is filled ahead when the call has this many elements per code: then most
/// codes are met, and one tight pass over them all costs less than meeting them one by one.
constexpr Index fill_ahead_elements_per_code = 16;

/// The depths looked for: 8 to 16 bits in steps of two, one table each.
constexpr unsigned lowest_code_depth = 8, highest_code_depth = 16, code_depth_step = 2;
constexpr Index code_depths = (highest_code_depth - lowest_code_depth) / code_depth_step + 1;

/// A depth is taken when at least seven in eight sampled values are its codes: a table
/// that misses more than that costs more in misses than it saves.
constexpr Index code_share_numerator = 7, code_share_denominator = 8;

/// Runs shorter than one step of the vector lookups (sixteen lanes) skip the call through
/// the kernel table: the rows of some layouts are that short.
constexpr Index vector_lookup_step = 16;

/// What the power stage reduces to. The base is always +0.0 or in (0, 1], never NaN:
/// - powf(x, +-0) is 1 for every x, NaN included (C Annex F.10.4.4);
/// - powf(x, 1) is x: pow(+0, y > 0) is +0, and for x in (0, 1] the exact result x is
///   representable, so a powf that is accurate to better than half an ulp at an exact
///   case returns it (glibc's powf is; the test suite checks it on every exponent-range
///   boundary and many samples).
enum class PowerMode { Identity, One, Call };

PowerMode mode_of(float gamma) {
    if (gamma == 1.0f) return PowerMode::Identity;
    if (gamma == 0.0f) return PowerMode::One;
    return PowerMode::Call;
}

/// The smallest depth b of 8, 10, ..., 16 such that nearly all of a sample of the values
/// are codes k / (2^b - 1), or 0 when there is none. Codes of 2^8 - 1 levels are also
/// codes of 2^16 - 1 (65535 = 255 * 257), so the smaller table wins.
unsigned code_depth_of(const float* source, Index stride, Index count) {
    constexpr Index samples = 64;
    const Index step = std::max<Index>(1, count / samples);
    for (unsigned depth = lowest_code_depth; depth <= highest_code_depth; depth += code_depth_step) {
        const auto scale = static_cast<float>((1u << depth) - 1);
        Index seen = 0, codes = 0;
        for (Index k = 0; k < count; k += step) {
            ++seen;
            if (code_of(*stepped(source, k, stride), scale, 1u << depth)) ++codes;
        }
        if (codes * code_share_denominator >= seen * code_share_numerator) return depth;
    }
    return 0;
}

/// Chunks of few hits send a memo to rest for a while; then it probes again.
class Rest {
public:
    bool resting() {
        if (chunks_ == 0) return false;
        --chunks_;
        return true;
    }
    void start() { chunks_ = resting_chunks; }
    void end() { chunks_ = 0; }

private:
    unsigned chunks_ = 0;
};

}  // namespace

/// Memos of results, exact because the element function is a pure function of the element
/// for one call. Images from 8- to 16-bit sources hold few distinct values: the code table
/// serves those of the depth found in the data (found again when the data stops fitting),
/// the hashed memo whatever else repeats. On data whose values are all distinct both step
/// aside, so such data pays almost nothing for them.
class LevelsKernel::PowMemo {
public:
    PowMemo(const LevelsParameters& parameters, Index total_elements)
        : hashed_(std::make_unique<HashedMemo>(parameters)), total_elements_(total_elements) {}

    /// Computes the chunk through a memo, or returns false when both are resting.
    bool run(const LevelsParameters& p, const float* source, Index stride, Index count, float* target) {
        const bool vector = stride == 1 && count >= vector_lookup_step;
        if (codes_ && !codes_rest_.resting()) {
            const Index served = vector ? cpu_kernels().coded_lookups(*codes_, p, source, count, target)
                                              : strided_lookups(*codes_, p, source, stride, count, target);
            if (served * memo_serving_share_inverse < count && !adopt_codes(p, source, stride, count)) codes_rest_.start();
            return true;
        }
        if (hashed_rest_.resting()) return false;
        const Index hits = vector ? cpu_kernels().hashed_lookups(*hashed_, p, source, count, target)
                                        : strided_lookups(*hashed_, p, source, stride, count, target);
        if (hits * memo_serving_share_inverse < count && !adopt_codes(p, source, stride, count)) hashed_rest_.start();
        return true;
    }

    /// Looks for codes across the whole of the call's first run: its first chunk alone
    /// may be a flat border, which fits any depth.
    void sample_first_run(const LevelsParameters& p, const float* source, Index stride, Index count) {
        if (sampled_) return;
        sampled_ = true;
        adopt_codes(p, source, stride, count);
    }

private:
    /// Turns to the code table of the depth the values look like, when that is not the
    /// present one; says whether it did. Tables are kept, so each is filled at most once,
    /// and turns are few, so data that keeps alternating between depths rests the tables
    /// (a chunk that misses a table costs more than one computed directly).
    bool adopt_codes(const LevelsParameters& p, const float* source, Index stride, Index count) {
        if (turns_left_ == 0) return false;
        const unsigned depth = code_depth_of(source, stride, count);
        if (depth == 0 || (codes_ && codes_->depth == depth)) return false;
        --turns_left_;
        std::unique_ptr<CodeTable>& table = tables_[(depth - lowest_code_depth) / code_depth_step];
        if (!table) {
            table = std::make_unique<CodeTable>(depth, *hashed_);
            if (total_elements_ >= (fill_ahead_elements_per_code << depth)) table->fill(p);
        }
        codes_ = table.get();
        codes_rest_.end();
        return true;
    }

    std::unique_ptr<HashedMemo> hashed_;
    std::unique_ptr<CodeTable> tables_[code_depths];
    CodeTable* codes_ = nullptr;
    unsigned turns_left_ = code_table_turns;
    bool sampled_ = false;
    Rest hashed_rest_, codes_rest_;
    Index total_elements_;
};

LevelsKernel::LevelsKernel(const LevelsParameters& parameters, Index total_elements)
    : parameters_(parameters) {
    if (mode_of(parameters.gamma) == PowerMode::Call && total_elements >= memo_minimum_elements) {
        memo_ = std::make_unique<PowMemo>(parameters, total_elements);
    }
}

LevelsKernel::~LevelsKernel() = default;

void LevelsKernel::run(const float* source, Index stride, Index count, float* target) {
    const LevelsParameters p = parameters_;
    const PowerMode mode = mode_of(p.gamma);
    if (mode == PowerMode::One) {
        std::fill_n(target, count, 1.0f);
        return;
    }
    if (memo_) memo_->sample_first_run(p, source, stride, count);
    float bases[chunk];
    for (Index done = 0; done < count; done += chunk) {
        const Index length = std::min(chunk, count - done);
        const float* from = stepped(source, done, stride);
        float* to = target + done;
        if (memo_ && memo_->run(p, from, stride, length, to)) continue;
        // The map first, vectorised over the chunk, then powf on each base.
        float* base_out = mode == PowerMode::Identity ? to : bases;
        if (stride == 1) {
            cpu_kernels().levels_bases(p, from, length, base_out);
        } else {
            for (Index k = 0; k < length; ++k) {
                base_out[k] = levels_base(p, *stepped(from, k, stride));
            }
        }
        if (mode == PowerMode::Identity) continue;
        const float gamma = p.gamma;
        for (Index k = 0; k < length; ++k) to[k] = powf(bases[k], gamma);
    }
}

}  // namespace pixalot
