// The operations on plain buffers, without Python: each result bit for bit against a
// direct computation with libm's sinf and powf, over the layouts a caller hands in.
#include "kernels/levels.hpp"
#include "kernels/operations.hpp"
#include "kernels/threads.hpp"
#include "support/fault.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

using namespace pixalot;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (ok) return;
    ++failures;
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

float clamp_reference(float x) {
    const float lower = x > 0.0f ? x : 0.0f;
    return lower < 1.0f ? lower : 1.0f;
}

/// A view of `data` with the given lengths and element strides, `first` elements in.
ArrayView view_of_buffer(std::vector<float>& data, Index first, std::vector<Index> lengths,
                         std::vector<Index> strides) {
    return ArrayView{{}, data.data() + first, Shape(std::span<const Index>(lengths)),
                     Strides(std::span<const Index>(strides))};
}

/// The elements of a two-axis view in row-major logical order.
std::vector<float> logical(const ArrayView& view) {
    std::vector<float> values;
    for_each_logical(view, [&](float value) { values.push_back(value); });
    return values;
}

/// Runs a planned operation into a row-major buffer (as the caller allocates one for a
/// layout it does not copy) or into the memory image of the strides it asked for.
template <class Result>
std::vector<float> run(const Result& planned, bool same_memory_order) {
    Index count = 1;
    for (Index length : planned.shape().view()) count *= length;
    std::vector<float> buffer(static_cast<std::size_t>(count));
    planned.write({buffer.data(), same_memory_order});
    if (!same_memory_order) return buffer;
    ArrayView image{{}, buffer.data(), planned.shape(), planned.strides()};
    image.ptr += lowest_address_offset(image.dim, image.strides);
    return logical(image);
}

void color_levels_matches_powf_in_every_layout() {
    const float special[] = {0.0f, -0.0f, 1.0f, 0.5f, -3.0f, 7.0f, std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(), 1e-30f, 0.999f};
    // 96 x 96 8-bit codes and specials: long enough for the memo and code tables to serve.
    const std::size_t side = 96;
    std::vector<float> data(side * side);
    for (std::size_t k = 0; k < data.size(); ++k) {
        data[k] = k % 17 == 0 ? special[k / 17 % 10] : static_cast<float>(k * 7 % 256) / 255.0f;
    }
    struct Layout {
        const char* name;
        std::ptrdiff_t first;
        std::ptrdiff_t row_stride, column_stride;
    };
    const auto s = static_cast<std::ptrdiff_t>(side);
    const Layout layouts[] = {{"row-major", 0, s, 1},
                              {"flipped columns", s - 1, s, -1},
                              {"transposed", 0, 1, s},
                              {"flipped rows", s * (s - 1), -s, 1}};
    const float gammas[] = {2.2f, 1.0f, 0.0f, 0.45f};
    for (const Layout& layout : layouts) {
        const ArrayView view = view_of_buffer(data, layout.first, {side, side}, {layout.row_stride, layout.column_stride});
        const std::vector<float> inputs = logical(view);
        for (float gamma : gammas) {
            const ColorLevelsResult planned(view, 0.1f, 0.9f, 0.05f, 0.95f, gamma);
            for (bool same_memory_order : {true, false}) {
                const std::vector<float> result = run(planned, same_memory_order);
                bool all = true;
                for (std::size_t k = 0; k < inputs.size(); ++k) {
                    const float base = clamp_reference((inputs[k] - 0.1f) / (0.9f - 0.1f) * (0.95f - 0.05f) + 0.05f);
                    all = all && same_bits(result[k], powf(base, gamma));
                }
                check(all, std::string("color_levels, ") + layout.name + ", gamma " + std::to_string(gamma));
            }
        }
    }
}

float sine_entry(std::uint32_t t, std::uint32_t shape_sin, float alpha) {
    return sinf(static_cast<float>(t) * 3.14f / (static_cast<float>(shape_sin) * 0.5f)) * alpha;
}

void sin_patern_matches_the_stripes_definition() {
    const std::size_t rows = 9, columns = 11, channels = 3;
    std::vector<float> data(rows * columns * channels);
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<float>(k % 29) / 28.0f;
    const ArrayView view = view_of_buffer(data, 0, {rows, columns, channels},
                                          {static_cast<std::ptrdiff_t>(columns * channels),
                                           static_cast<std::ptrdiff_t>(channels), 1});
    struct Case {
        std::uint32_t shape_sin;
        bool vertical;
        float bias;
    };
    // Periods below the 99 pixels use the whole table; longer ones only the entries reached.
    const Case cases[] = {{7, true, 0.0f},     {7, false, 0.0f},   {5, true, 1.5f},          {40, false, -2.25f},
                          {65536 + 6, true, 0.5f}, {200, true, 3.7f}, {200, false, -1.5f}, {1000, false, 40.0f}};
    for (const Case& c : cases) {
        const SinPaternResult planned(view, c.shape_sin, 0.3f, c.vertical, c.bias);
        const std::vector<float> result = run(planned, true);
        const auto period = static_cast<std::int16_t>(static_cast<std::uint16_t>(c.shape_sin));
        bool all = true;
        for (std::size_t row = 0; row < rows; ++row) {
            for (std::size_t column = 0; column < columns; ++column) {
                const float line = static_cast<float>(c.vertical ? row : column) * c.bias;
                const auto offset = static_cast<std::int16_t>(line);
                const int phase = c.vertical ? static_cast<int>(column) - offset : offset - static_cast<int>(row);
                const int index = (phase % period + period) % period;
                const float addend = sine_entry(static_cast<std::uint32_t>(index), c.shape_sin, 0.3f);
                for (std::size_t channel = 0; channel < channels; ++channel) {
                    const std::size_t k = (row * columns + column) * channels + channel;
                    all = all && same_bits(result[k], clamp_reference(data[k] + addend));
                }
            }
        }
        check(all, "sin_patern, period " + std::to_string(c.shape_sin) + (c.vertical ? ", vertical" : ", horizontal"));
    }
}

template <class Make>
void check_fault(Make&& make, const std::string& message, const std::string& what) {
    try {
        make();
        check(false, what + ": no fault");
    } catch (const Fault& fault) {
        check(fault.message == message, what + ": fault \"" + fault.message + "\"");
    }
}

void faults_are_met_while_planning() {
    std::vector<float> data(12, 0.5f);
    const ArrayView image = view_of_buffer(data, 0, {2, 2, 3}, {6, 3, 1});
    const ArrayView line = view_of_buffer(data, 0, {12}, {1});
    check_fault([&] { SinPaternResult(image, 0, 1.0f, true, 0.0f); },
                "attempt to calculate the remainder with a divisor of zero", "sin_patern, period 0");
    check_fault([&] { SinPaternResult(image, 40000, 1.0f, false, 0.0f); }, "ndarray: index out of bounds",
                "sin_patern, negative 16-bit period");
    check_fault([&] { SinPaternResult(line, 8, 1.0f, true, 0.0f); },
                "index out of bounds: the len is 1 but the index is 1", "sin_patern, one axis");
    check_fault([&] { gray_or_color(line, 0.1f); },
                "assertion `left == right` failed: The input dimension of `info` must match the array to be sliced.\n"
                "  left: 3\n right: 1",
                "gray_or_color, one axis");
}

void gray_or_color_rounds_each_side_in_float32() {
    // Means 0.25, 0.5 and 0.75 of one pixel each; the tolerance decides.
    std::vector<float> data = {0.25f, 0.5f, 0.75f};
    const ArrayView pixel = view_of_buffer(data, 0, {1, 1, 3}, {3, 3, 1});
    const float tolerances[] = {0.5f, std::nextafter(0.5f, 0.0f), 0.25f, 0.0f};
    const bool gray[] = {true, false, false, false};
    for (std::size_t k = 0; k < 4; ++k) {
        check(gray_or_color(pixel, tolerances[k]) == gray[k], "gray_or_color, tolerance " + std::to_string(tolerances[k]));
    }
}


/// Results of one layout with 1 thread and with `threads`, bit for bit, and the parts really
/// split (the image is above the threshold).
/// `powf_sized`: an image long enough for calls with a powf gamma to split too, in a few
/// layouts (the other operations and gammas split at a quarter of a megapixel).
void split_results_match_one_thread(bool powf_sized) {
    // 8-bit codes, distinct values and specials, so that code tables, the hashed memo and
    // direct powf all serve some part of every split.
    const std::size_t rows = powf_sized ? 1200 : 360, columns = 1000, channels = 3;
    check(rows * columns * channels >= static_cast<std::size_t>(powf_sized ? 3 * levels_powf_part_minimum
                                                                          : parallel_minimum_elements),
          "split test image too small to split");
    const float special[] = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
    std::vector<float> data(rows * columns * channels);
    for (std::size_t k = 0; k < data.size(); ++k) {
        const std::size_t region = k * 4 / data.size();
        data[k] = k % 97 == 0   ? special[k / 97 % 5]
                  : region == 0 ? static_cast<float>(k * 7 % 256) / 255.0f
                  : region == 1 ? static_cast<float>(k) / static_cast<float>(data.size())
                  : region == 2 ? static_cast<float>(k * 13 % 65536) / 65535.0f
                                : 1.5f - static_cast<float>(k % 1000) / 500.0f;
    }
    std::vector<float> finite(data);
    for (float& value : finite) value = std::isfinite(value) ? value : 0.5f;
    const auto c = static_cast<std::ptrdiff_t>(channels), w = static_cast<std::ptrdiff_t>(columns),
               h = static_cast<std::ptrdiff_t>(rows);
    struct Layout {
        const char* name;
        std::ptrdiff_t first;
        std::vector<Index> lengths, strides;
    };
    const Layout layouts[] = {
        {"row-major", 0, {h, w, c}, {w * c, c, 1}},
        {"column-major", 0, {h, w, c}, {1, h, h * w}},
        {"flipped columns", (w - 1) * c, {h, w, c}, {w * c, -c, 1}},
        {"flipped rows", (h - 1) * w * c, {h, w, c}, {-w * c, c, 1}},
        {"every other column", 0, {h, w / 2, c}, {w * c, 2 * c, 1}},
        {"one plane", 1, {h, w}, {w * c, c}},
        {"flat", 0, {h * w * c}, {1}},
        {"reversed flat", h * w * c - 1, {h * w * c}, {-1}},
    };
    // A planned operation gives the bits of one thread with any other count.
    const auto same_for_any_count = [&](const auto& planned, bool same_memory_order, const std::string& what) {
        set_thread_count(1);
        const std::vector<float> alone = run(planned, same_memory_order);
        for (Index threads : {2, 3, 7}) {
            set_thread_count(threads);
            const std::vector<float> split = run(planned, same_memory_order);
            check(std::memcmp(alone.data(), split.data(), alone.size() * sizeof(float)) == 0,
                  what + ", threads " + std::to_string(threads));
        }
    };
    for (const Layout& layout : layouts) {
        const std::string name = layout.name;
        if (powf_sized && name != "row-major" && name != "column-major" && name != "flipped columns") continue;
        const ArrayView view = view_of_buffer(data, layout.first, layout.lengths, layout.strides);
        for (float gamma : {2.2f, 1.0f, 0.0f}) {
            if (powf_sized && gamma != 2.2f) continue;
            for (bool same_memory_order : {true, false}) {
                set_thread_count(1);
                const ColorLevelsResult planned(view, 0.1f, 0.9f, 0.05f, 0.95f, gamma);
                same_for_any_count(planned, same_memory_order,
                                   "color_levels split, " + name + ", gamma " + std::to_string(gamma));
            }
        }
        if (powf_sized) continue;
        if (layout.lengths.size() == 3) {
            // The verdict flips at a tolerance fixed by the means' last bits: the smallest
            // tolerance found gray with one thread must be the smallest with any count.
            // Means of finite values only: a NaN mean is never gray.
            const ArrayView means_view = view_of_buffer(finite, layout.first, layout.lengths, layout.strides);
            set_thread_count(1);
            std::uint32_t low = 0, high = 0x7F800000;  // +0.0 and +inf, as bit patterns
            while (high - low > 1) {
                const std::uint32_t middle = low + (high - low) / 2;
                float tolerance;
                std::memcpy(&tolerance, &middle, sizeof tolerance);
                (gray_or_color(means_view, tolerance) ? high : low) = middle;
            }
            float edge, below;
            std::memcpy(&edge, &high, sizeof edge);
            std::memcpy(&below, &low, sizeof below);
            for (Index threads : {2, 3, 7}) {
                set_thread_count(threads);
                check(gray_or_color(means_view, edge) && !gray_or_color(means_view, below),
                      std::string("gray_or_color split, ") + layout.name + ", threads " + std::to_string(threads));
            }
        }
        if (layout.lengths.size() < 2) continue;
        for (bool vertical : {true, false}) {
            for (std::uint32_t shape_sin : {7u, 40u, 1000u}) {
                set_thread_count(1);
                const SinPaternResult planned(view, shape_sin, 0.3f, vertical, vertical ? 0.5f : -1.5f);
                same_for_any_count(planned, true, "sin_patern split, " + name + ", period " + std::to_string(shape_sin));
            }
        }
    }
    set_thread_count(1);
}

/// A part that throws on a worker: every other part still runs, and the caller gets the
/// fault of the lowest-numbered part that threw, with its message, on its own thread.
void faults_in_parts_reach_the_caller() {
    set_thread_count(4);
    for (int round = 0; round < 50; ++round) {
        std::vector<int> ran(6, 0);
        try {
            run_parts(6, [&](Index k) {
                ran[static_cast<std::size_t>(k)] = 1;
                if (k == 3) throw Fault{"part three"};
                if (k == 5) throw std::runtime_error("part five");
            });
            check(false, "run_parts: no fault");
        } catch (const Fault& fault) {
            check(fault.message == "part three", "run_parts: fault \"" + fault.message + "\"");
        } catch (...) {
            check(false, "run_parts: a later part's fault won");
        }
        check(std::count(ran.begin(), ran.end(), 1) == 6, "run_parts: a part was skipped after a fault");
    }
    // Callers of their own in the pool at once: each gets its own parts' work and faults.
    std::vector<std::thread> callers;
    std::vector<int> wrong(4, 0);
    for (Index caller = 0; caller < 4; ++caller) {
        callers.emplace_back([&, caller] {
            int& wrong_here = wrong[static_cast<std::size_t>(caller)];
            for (int round = 0; round < 200; ++round) {
                std::vector<Index> seen(5, 99);
                try {
                    run_parts(5, [&](Index k) {
                        seen[static_cast<std::size_t>(k)] = k + caller;
                        if (k == caller) throw Fault{std::to_string(caller)};
                    });
                    wrong_here += 1;
                } catch (const Fault& fault) {
                    wrong_here += fault.message != std::to_string(caller);
                }
                for (Index k = 0; k < 5; ++k) wrong_here += seen[static_cast<std::size_t>(k)] != k + caller;
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    check(std::count(wrong.begin(), wrong.end(), 0) == 4, "run_parts: concurrent callers mixed up");
    set_thread_count(1);
}

}  // namespace

int main() {
    color_levels_matches_powf_in_every_layout();
    sin_patern_matches_the_stripes_definition();
    faults_are_met_while_planning();
    gray_or_color_rounds_each_side_in_float32();
    split_results_match_one_thread(false);
    split_results_match_one_thread(true);
    faults_in_parts_reach_the_caller();
    if (failures == 0) std::puts("kernel tests passed");
    return failures == 0 ? 0 : 1;
}
