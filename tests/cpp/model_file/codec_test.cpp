#include "model_file/codec.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

// Largest single allocation request since the last reset. Replacing the
// global allocation functions is the only way to see what a vector reserves
// while decoding forged counts.
namespace {
std::atomic<std::size_t> largest_allocation{0};

// Every replacement below goes through this pair and is kept out of line:
// inlined into a caller, the compiler would see std::free applied to memory
// that came from operator new and report a mismatched deallocation.
[[gnu::noinline]] void* watched_allocate(std::size_t size) {
    std::size_t seen = largest_allocation.load(std::memory_order_relaxed);
    while (size > seen && !largest_allocation.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

[[gnu::noinline]] void watched_release(void* memory) noexcept { std::free(memory); }

void* watched_allocate_or_null(std::size_t size) noexcept {
    try {
        return watched_allocate(size);
    } catch (...) {
        return nullptr;
    }
}
}  // namespace

[[gnu::noinline]] void* operator new(std::size_t size) { return watched_allocate(size); }
[[gnu::noinline]] void* operator new[](std::size_t size) { return watched_allocate(size); }
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return watched_allocate_or_null(size);
}
[[gnu::noinline]] void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return watched_allocate_or_null(size);
}
[[gnu::noinline]] void operator delete(void* memory) noexcept { watched_release(memory); }
[[gnu::noinline]] void operator delete[](void* memory) noexcept { watched_release(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { watched_release(memory); }
[[gnu::noinline]] void operator delete[](void* memory, std::size_t) noexcept { watched_release(memory); }
[[gnu::noinline]] void operator delete(void* memory, const std::nothrow_t&) noexcept { watched_release(memory); }
[[gnu::noinline]] void operator delete[](void* memory, const std::nothrow_t&) noexcept { watched_release(memory); }

namespace zun {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kHalfRange = std::uint64_t{1} << 63;
constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint64_t>::max();
const std::string kEndOfFile = "io error: unexpected end of file";

// ---------------------------------------------------------------------------
// Byte builder, independent of the encoder. It remembers where it put counts
// and optional tags so the corruption tests can aim at them.

class Bytes {
public:
    Bytes& u8(std::uint8_t value) { return little_endian(value, 1); }
    Bytes& u32(std::uint32_t value) { return little_endian(value, 4); }
    Bytes& u64(std::uint64_t value) { return little_endian(value, 8); }
    Bytes& f64(double value) { return u64(std::bit_cast<std::uint64_t>(value)); }
    Bytes& count(std::uint64_t value) {
        count_positions.push_back(data.size());
        return u64(value);
    }
    Bytes& tag(std::uint8_t value) {
        tag_positions.push_back(data.size());
        return u8(value);
    }
    Bytes& absent() { return tag(0); }
    Bytes& present(double value) { return tag(1).f64(value); }

    std::vector<std::uint8_t> data;
    std::vector<std::size_t> count_positions;
    std::vector<std::size_t> tag_positions;

private:
    Bytes& little_endian(std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
        return *this;
    }
};

void put(Bytes& bytes, double value) { bytes.f64(value); }
void put(Bytes& bytes, std::uint64_t value) { bytes.u64(value); }
void put(Bytes& bytes, const Interval& interval) {
    bytes.count(2);
    interval.first == -kInf ? bytes.absent() : bytes.present(interval.first);
    interval.second == kInf ? bytes.absent() : bytes.present(interval.second);
}
template <class T>
void put(Bytes& bytes, const std::vector<T>& list) {
    bytes.count(list.size());
    for (const T& element : list) {
        put(bytes, element);
    }
}
void put(Bytes& bytes, const GridTensor& g) {
    put(bytes, g.splits);
    put(bytes, g.observation_counts);
    put(bytes, g.intervals);
    put(bytes, g.scaling);
    put(bytes, g.backbone_values);
    put(bytes, g.tilt_values);
    put(bytes, g.lambda_plus);
    put(bytes, g.lambda_minus);
}
void put(Bytes& bytes, const std::optional<double>& value) {
    value ? bytes.present(*value) : bytes.absent();
}
void put(Bytes& bytes, const StagePredictor& stage) {
    bytes.count(stage.grid_tensors.size());
    for (const GridTensor& tree : stage.grid_tensors) {
        put(bytes, tree);
    }
    put(bytes, stage.primary_grid_tensor);
    bytes.tag(stage.candidate_indices ? 1 : 0);
    if (stage.candidate_indices) {
        put(bytes, *stage.candidate_indices);
    }
    bytes.u32(static_cast<std::uint32_t>(stage.aggregation_method));
    put(bytes, stage.scaling_plus);
    put(bytes, stage.scaling_minus);
    put(bytes, stage.energy);
}
Bytes layout_of(const std::vector<StagePredictor>& stages) {
    Bytes bytes;
    bytes.count(stages.size());
    for (const StagePredictor& stage : stages) {
        put(bytes, stage);
    }
    return bytes;
}

// ---------------------------------------------------------------------------
// Records.

// A record shaped as a fit leaves it: feature j has thresholds[j] thresholds.
GridTensor grid(const std::vector<std::size_t>& thresholds, double salt) {
    GridTensor g;
    for (std::size_t j = 0; j < thresholds.size(); ++j) {
        const std::size_t m = thresholds[j];
        std::vector<double> splits, backbone, tilt;
        std::vector<std::uint64_t> counts;
        std::vector<Interval> intervals;
        for (std::size_t k = 0; k < m; ++k) {
            splits.push_back(salt + static_cast<double>(j) + 0.25 * static_cast<double>(k));
        }
        for (std::size_t k = 0; k <= m; ++k) {
            counts.push_back(k + 3 * j + 1);
            intervals.emplace_back(k == 0 ? -kInf : splits[k - 1], k == m ? kInf : splits[k]);
            backbone.push_back(1.0 + salt + 0.125 * static_cast<double>(k));
            tilt.push_back(0.0625 * static_cast<double>(k) - static_cast<double>(j));
        }
        g.splits.push_back(splits);
        g.observation_counts.push_back(counts);
        g.intervals.push_back(intervals);
        g.backbone_values.push_back(backbone);
        g.tilt_values.push_back(tilt);
    }
    g.scaling = 1.0 + salt;
    g.lambda_plus = 2.0 + salt;
    g.lambda_minus = 0.5 + salt;
    return g;
}

// A stage without trees, candidates or scalings.
StagePredictor bare_stage(GridTensor primary) {
    StagePredictor stage;
    stage.primary_grid_tensor = std::move(primary);
    return stage;
}

std::vector<StagePredictor> rich_model() {
    return {
        StagePredictor{.grid_tensors = {grid({0, 2}, 0.5), grid({1}, 1.5)},
                       .primary_grid_tensor = grid({2, 0, 3}, 2.5),
                       .candidate_indices = std::vector<std::uint64_t>{0, 1},
                       .aggregation_method = Aggregation::Mean,
                       .scaling_plus = 1.25,
                       .scaling_minus = 0.75,
                       .energy = 3.5},
        StagePredictor{.grid_tensors = {},
                       .primary_grid_tensor = grid({0}, 0.0),
                       .candidate_indices = std::nullopt,
                       .aggregation_method = Aggregation::Combined,
                       .scaling_plus = std::nullopt,
                       .scaling_minus = std::nullopt,
                       .energy = std::nullopt},
        StagePredictor{.grid_tensors = {grid({}, 0.0)},
                       .primary_grid_tensor = grid({1}, 1.0),
                       .candidate_indices = std::vector<std::uint64_t>{},
                       .aggregation_method = Aggregation::GeometricMean,
                       .scaling_plus = -2.0,
                       .scaling_minus = std::nullopt,
                       .energy = 0.0},
    };
}

// Values whose bits a careless codec would change: NaN payloads and signs,
// signed zeros, subnormals, infinities, and bounds that only look unbounded.
std::vector<StagePredictor> special_values_model() {
    const double nan_payload = std::bit_cast<double>(std::uint64_t{0xfff80000deadbeefULL});
    GridTensor g = grid({2}, 0.0);
    g.splits[0][0] = nan_payload;
    g.backbone_values[0][1] = -0.0;
    g.tilt_values[0][2] = std::numeric_limits<double>::denorm_min();
    g.intervals[0][0] = {nan_payload, -0.0};
    g.intervals[0][1] = {kInf, -kInf};
    g.intervals[0][2] = {-kInf, kInf};
    g.scaling = std::numeric_limits<double>::quiet_NaN();
    g.lambda_minus = -kInf;
    return {StagePredictor{.grid_tensors = {g},
                           .primary_grid_tensor = g,
                           .candidate_indices = std::vector<std::uint64_t>{kMaxCount, 0},
                           .aggregation_method = Aggregation::Combined,
                           .scaling_plus = kInf,
                           .scaling_minus = nan_payload,
                           .energy = -0.0}};
}

// ---------------------------------------------------------------------------
// Bitwise comparison: operator== calls NaN unequal and -0.0 equal to 0.0.

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }
bool same_bits(std::uint64_t a, std::uint64_t b) { return a == b; }
bool same_bits(const Interval& a, const Interval& b) {
    return same_bits(a.first, b.first) && same_bits(a.second, b.second);
}
bool same_bits(const GridTensor& a, const GridTensor& b);
bool same_bits(const StagePredictor& a, const StagePredictor& b);
template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](const T& x, const T& y) { return same_bits(x, y); });
}
template <class T>
bool same_bits(const std::optional<T>& a, const std::optional<T>& b) {
    return a.has_value() == b.has_value() && (!a || same_bits(*a, *b));
}
bool same_bits(const GridTensor& a, const GridTensor& b) {
    return same_bits(a.splits, b.splits) && same_bits(a.observation_counts, b.observation_counts) &&
           same_bits(a.intervals, b.intervals) && same_bits(a.scaling, b.scaling) &&
           same_bits(a.backbone_values, b.backbone_values) && same_bits(a.tilt_values, b.tilt_values) &&
           same_bits(a.lambda_plus, b.lambda_plus) && same_bits(a.lambda_minus, b.lambda_minus);
}
bool same_bits(const StagePredictor& a, const StagePredictor& b) {
    return same_bits(a.grid_tensors, b.grid_tensors) && same_bits(a.primary_grid_tensor, b.primary_grid_tensor) &&
           same_bits(a.candidate_indices, b.candidate_indices) && a.aggregation_method == b.aggregation_method &&
           same_bits(a.scaling_plus, b.scaling_plus) && same_bits(a.scaling_minus, b.scaling_minus) &&
           same_bits(a.energy, b.energy);
}

// ---------------------------------------------------------------------------
// Decoding under watch: whatever the counts say, no single allocation may
// exceed 1 MiB, nor a small multiple of the input (every stored element takes
// at least a quarter of the bytes its decoded form occupies).

std::size_t allocation_limit(std::size_t input_bytes) {
    return std::min<std::size_t>(std::size_t{1} << 20, std::max<std::size_t>(256, 4 * input_bytes));
}

DecodeResult decode_watched(std::span<const std::uint8_t> bytes) {
    largest_allocation.store(0);
    DecodeResult result = decode_model(bytes);
    const std::size_t largest = largest_allocation.load();
    EXPECT_LE(largest, allocation_limit(bytes.size())) << "input of " << bytes.size() << " bytes";
    return result;
}

bool is_decoder_description(const std::string& text) {
    return text == kEndOfFile || text.starts_with("tag for enum is not valid, found ") ||
           text.starts_with("invalid value: integer `") || text.starts_with("invalid length ");
}

// ---------------------------------------------------------------------------
// Sizes.

std::size_t grid_bytes(const std::vector<std::size_t>& thresholds) {
    std::size_t size = 64;
    for (const std::size_t m : thresholds) {
        size += 74 + 58 * m;
    }
    return size;
}

TEST(ModelFileSize, ModelWithoutStagesIsEightZeroBytes) {
    EXPECT_EQ(encode_model({}), std::vector<std::uint8_t>(8, 0));
    EXPECT_EQ(encoded_size({}), 8u);
}

TEST(ModelFileSize, BareStageWithOneFeatureWithoutThresholds) {
    // 8 stage count + 8 tree count + 138 grid tensor + 1 + 4 + 3 optional tags.
    const std::vector<StagePredictor> model{bare_stage(grid({0}, 0.0))};
    EXPECT_EQ(encoded_size(model), 162u);
    EXPECT_EQ(encode_model(model).size(), 162u);
}

TEST(ModelFileSize, MatchesTheWorkedFormulaForSeveralShapes) {
    struct Case {
        const char* name;
        std::vector<std::vector<std::size_t>> trees;
        std::vector<std::size_t> primary;
        std::optional<std::size_t> candidates;
        int present_optionals;
    };
    const std::vector<Case> cases = {
        {"no features anywhere", {}, {}, std::nullopt, 0},
        {"one tree, one threshold", {{1}}, {1}, 1, 3},
        {"mixed threshold counts", {{0, 2}, {5}, {}}, {2, 0, 3}, 3, 1},
        {"empty candidate list", {{4, 4}}, {4, 4}, 0, 2},
    };
    std::vector<StagePredictor> model;
    std::size_t expected_model = 8;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StagePredictor stage;
        std::size_t expected = 8 + grid_bytes(c.primary) + 4;
        for (const auto& tree : c.trees) {
            stage.grid_tensors.push_back(grid(tree, 0.5));
            expected += grid_bytes(tree);
        }
        stage.primary_grid_tensor = grid(c.primary, 1.5);
        if (c.candidates) {
            stage.candidate_indices = std::vector<std::uint64_t>(*c.candidates, 7);
            expected += 9 + 8 * *c.candidates;
        } else {
            expected += 1;
        }
        std::optional<double>* optionals[] = {&stage.scaling_plus, &stage.scaling_minus, &stage.energy};
        for (int i = 0; i < 3; ++i) {
            if (i < c.present_optionals) {
                *optionals[i] = 0.5 * i;
            }
            expected += i < c.present_optionals ? 9 : 1;
        }
        const std::vector<StagePredictor> single{stage};
        EXPECT_EQ(encoded_size(single), 8 + expected);
        EXPECT_EQ(encode_model(single).size(), 8 + expected);
        model.push_back(stage);
        expected_model += expected;
    }
    EXPECT_EQ(encoded_size(model), expected_model);
    EXPECT_EQ(encode_model(model).size(), expected_model);
}

// ---------------------------------------------------------------------------
// Layout and round trip.

struct NamedModel {
    const char* name;
    std::vector<StagePredictor> stages;
};

std::vector<NamedModel> sample_models() {
    return {{"empty", {}}, {"rich", rich_model()}, {"special values", special_values_model()}};
}

TEST(ModelFileLayout, EncoderWritesFieldsInDeclaredOrder) {
    for (const NamedModel& model : sample_models()) {
        SCOPED_TRACE(model.name);
        EXPECT_EQ(encode_model(model.stages), layout_of(model.stages).data);
    }
}

TEST(ModelFileLayout, RoundTripKeepsEveryBit) {
    for (const NamedModel& model : sample_models()) {
        SCOPED_TRACE(model.name);
        const std::vector<std::uint8_t> bytes = encode_model(model.stages);
        const DecodeResult decoded = decode_watched(bytes);
        ASSERT_TRUE(decoded.ok()) << decoded.error;
        EXPECT_TRUE(same_bits(decoded.stages, model.stages));
        EXPECT_EQ(encode_model(decoded.stages), bytes);
        EXPECT_EQ(decoded.size, bytes.size());
    }
}

// ---------------------------------------------------------------------------
// Hand-built inputs.

using Writer = std::function<void(Bytes&)>;

// One stage without trees whose primary grid tensor has one feature without
// thresholds; the parts the cases below vary are passed in.
struct StageParts {
    Writer interval_entry = [](Bytes& b) { b.count(2).absent().absent(); };
    std::uint8_t candidates_tag = 0;
    std::uint32_t aggregation = 2;
    std::uint8_t scaling_plus_tag = 0;
};

void put_stage(Bytes& b, const StageParts& parts) {
    b.count(0);                                  // trees
    b.count(1).count(0);                         // splits
    b.count(1).count(1).u64(10);                 // observation counts
    b.count(1).count(1);                         // intervals
    parts.interval_entry(b);
    b.f64(1.0);                                  // scaling
    b.count(1).count(1).f64(2.0);                // backbone values
    b.count(1).count(1).f64(0.5);                // tilt values
    b.f64(1.5).f64(0.25);                        // lambdas
    b.tag(parts.candidates_tag);
    if (parts.candidates_tag == 1) {
        b.count(1).u64(0);
    }
    b.u32(parts.aggregation);
    b.tag(parts.scaling_plus_tag);
    if (parts.scaling_plus_tag == 1) {
        b.f64(3.0);
    }
    b.absent().absent();                         // scaling minus, energy
}

std::vector<std::uint8_t> one_stage(const StageParts& parts) {
    Bytes b;
    b.count(1);
    put_stage(b, parts);
    return b.data;
}

TEST(ModelFileDecode, ReportsEachKindOfMalformedInput) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::string description;
    };
    const std::vector<Case> cases = {
        {"empty input", {}, kEndOfFile},
        {"stage count without stages", Bytes().count(1).data, kEndOfFile},
        {"stage count above the stages present",
         [] {
             Bytes b;
             b.count(2);
             put_stage(b, {});
             return b.data;
         }(),
         kEndOfFile},
        {"scaling_plus tag 2", one_stage({.scaling_plus_tag = 2}), "tag for enum is not valid, found 2"},
        {"candidate_indices tag 255", one_stage({.candidates_tag = 255}), "tag for enum is not valid, found 255"},
        {"interval bound tag 7", one_stage({.interval_entry = [](Bytes& b) { b.count(2).absent().tag(7); }}),
         "tag for enum is not valid, found 7"},
        {"aggregation 3", one_stage({.aggregation = 3}),
         "invalid value: integer `3`, expected variant index 0 <= i < 3"},
        {"aggregation 2^32-1", one_stage({.aggregation = 0xffffffffu}),
         "invalid value: integer `4294967295`, expected variant index 0 <= i < 3"},
        {"interval without entries", one_stage({.interval_entry = [](Bytes& b) { b.count(0); }}),
         "invalid length 0, expected an interval with at least 2 bounds"},
        {"interval with one entry", one_stage({.interval_entry = [](Bytes& b) { b.count(1).present(1.0); }}),
         "invalid length 1, expected an interval with at least 2 bounds"},
        {"data ends inside an interval's extra entries",
         Bytes().count(1).count(0).count(1).count(0).count(1).count(1).u64(10).count(1).count(1)
             .count(kMaxCount).absent().absent().absent().data,
         kEndOfFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodeResult decoded = decode_watched(c.bytes);
        EXPECT_EQ(decoded.error, c.description);
        EXPECT_TRUE(decoded.stages.empty());
    }
}

TEST(ModelFileDecode, IgnoresBytesAfterTheLastStage) {
    std::vector<std::uint8_t> bytes = encode_model(rich_model());
    bytes.insert(bytes.end(), {0xff, 0x02, 0x00, 0x13});
    const DecodeResult decoded = decode_watched(bytes);
    ASSERT_TRUE(decoded.ok()) << decoded.error;
    EXPECT_EQ(decoded.stages, rich_model());
    EXPECT_EQ(decoded.size, bytes.size() - 4);
}

TEST(ModelFileDecode, IntervalEntryUsesItsFirstTwoBounds) {
    struct Case {
        const char* name;
        Writer entry;
        Interval expected;
    };
    const std::vector<Case> cases = {
        {"three present bounds", [](Bytes& b) { b.count(3).present(-1.0).present(4.0).present(99.0); }, {-1.0, 4.0}},
        {"absent bounds are unbounded", [](Bytes& b) { b.count(3).absent().absent().present(5.0); }, {-kInf, kInf}},
        {"many trailing entries", [](Bytes& b) { b.count(5).present(2.0).absent().absent().present(1.0).absent(); },
         {2.0, kInf}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b;
        b.count(1);
        put_stage(b, {.interval_entry = c.entry});
        b.u8(0xaa);  // a trailing byte shows the extra entries were consumed exactly
        const DecodeResult decoded = decode_watched(b.data);
        ASSERT_TRUE(decoded.ok()) << decoded.error;
        ASSERT_EQ(decoded.stages.size(), 1u);
        const GridTensor& g = decoded.stages[0].primary_grid_tensor;
        EXPECT_EQ(g.intervals, (std::vector<std::vector<Interval>>{{c.expected}}));
        EXPECT_EQ(g.scaling, 1.0);
        EXPECT_EQ(g.lambda_minus, 0.25);
    }
}

// ---------------------------------------------------------------------------
// Damaged inputs.

TEST(ModelFileDamage, EveryTruncationEndsTheData) {
    for (const NamedModel& model : sample_models()) {
        SCOPED_TRACE(model.name);
        const std::vector<std::uint8_t> bytes = encode_model(model.stages);
        for (std::size_t length = 0; length < bytes.size(); ++length) {
            const DecodeResult decoded = decode_watched(std::span(bytes).first(length));
            ASSERT_EQ(decoded.error, kEndOfFile) << "prefix of " << length << " bytes";
            ASSERT_TRUE(decoded.truncated) << "prefix of " << length << " bytes";
        }
    }
}

TEST(ModelFileDamage, HugeCountsFailWithoutHugeAllocations) {
    const Bytes layout = layout_of(rich_model());
    ASSERT_EQ(layout.data, encode_model(rich_model()));
    ASSERT_GT(layout.count_positions.size(), 50u);
    for (const std::size_t position : layout.count_positions) {
        for (const std::uint64_t count : {kHalfRange, kMaxCount}) {
            SCOPED_TRACE(fmt::format("count {} at byte {}", count, position));
            std::vector<std::uint8_t> bytes = layout.data;
            for (int i = 0; i < 8; ++i) {
                bytes[position + i] = static_cast<std::uint8_t>(count >> (8 * i));
            }
            const DecodeResult decoded = decode_watched(bytes);
            EXPECT_FALSE(decoded.ok());
            EXPECT_TRUE(is_decoder_description(decoded.error)) << decoded.error;
        }
    }
}

TEST(ModelFileDamage, ReserveStaysWithinOneMebibyteOnLargeInputs) {
    // Each input claims a huge list and then holds plenty of bytes, so only
    // the 1 MiB cap limits what the list reserves before the bad interval
    // right after the count ends the decoding.
    const auto bad_interval = [](Bytes& b) { b.count(0).count(0).count(1).count(1).count(0); };
    struct Case {
        const char* name;
        std::function<void(Bytes&)> build;
    };
    const std::vector<Case> cases = {
        {"stages", [&](Bytes& b) { b.count(kMaxCount).count(0); bad_interval(b); }},
        {"trees", [&](Bytes& b) { b.count(1).count(kMaxCount); bad_interval(b); }},
        {"intervals of a feature",
         [](Bytes& b) { b.count(1).count(0).count(0).count(0).count(1).count(kMaxCount).count(0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b;
        c.build(b);
        b.data.resize(b.data.size() + (std::size_t{4} << 20));
        ASSERT_EQ(allocation_limit(b.data.size()), std::size_t{1} << 20);
        EXPECT_EQ(decode_watched(b.data).error, "invalid length 0, expected an interval with at least 2 bounds");
    }
}

TEST(ModelFileDamage, EveryBadTagIsReported) {
    const Bytes layout = layout_of(special_values_model());
    ASSERT_EQ(layout.data, encode_model(special_values_model()));
    ASSERT_GT(layout.tag_positions.size(), 10u);
    for (const std::size_t position : layout.tag_positions) {
        for (const std::uint8_t tag : {2, 255}) {
            SCOPED_TRACE(fmt::format("tag {} at byte {}", tag, position));
            std::vector<std::uint8_t> bytes = layout.data;
            bytes[position] = tag;
            const DecodeResult decoded = decode_watched(bytes);
            EXPECT_EQ(decoded.error, fmt::format("tag for enum is not valid, found {}", tag));
            EXPECT_FALSE(decoded.truncated) << "more data cannot mend a bad tag";
        }
    }
}

std::vector<std::uint8_t> mutate(std::vector<std::uint8_t> bytes, std::mt19937_64& rng) {
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !bytes.empty(); ++e) {
        const std::size_t at = rng() % bytes.size();
        switch (rng() % 5) {
            case 0:
                bytes[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
                break;
            case 1:
                bytes[at] = static_cast<std::uint8_t>(rng());
                break;
            case 2: {
                const std::uint64_t values[] = {rng(), kHalfRange, kMaxCount, rng() % 4, rng() % 300};
                const std::uint64_t value = values[rng() % 5];
                for (std::size_t i = 0; i < 8 && at + i < bytes.size(); ++i) {
                    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
                }
                break;
            }
            case 3:
                bytes.resize(at);
                break;
            default:
                bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at));
                break;
        }
    }
    return bytes;
}

TEST(ModelFileDamage, RandomMutationsDecodeOrFailCleanly) {
    const std::vector<std::vector<std::uint8_t>> seeds = {
        encode_model(rich_model()), encode_model(special_values_model()),
        encode_model({bare_stage(grid({0}, 0.0))})};
    std::mt19937_64 rng(0x5eed0f2025ULL);
    constexpr int kInputs = 20000;
    int decoded_ok = 0;
    for (int run = 0; run < kInputs; ++run) {
        const std::vector<std::uint8_t> bytes = mutate(seeds[rng() % seeds.size()], rng);
        const DecodeResult decoded = decode_watched(bytes);
        if (decoded.ok()) {
            ++decoded_ok;
            // Whatever decodes must encode to bytes that decode to the same bits.
            const DecodeResult again = decode_model(encode_model(decoded.stages));
            ASSERT_TRUE(again.ok()) << again.error;
            ASSERT_TRUE(same_bits(again.stages, decoded.stages)) << "input " << run;
        } else {
            ASSERT_TRUE(is_decoder_description(decoded.error)) << "input " << run << ": " << decoded.error;
            ASSERT_TRUE(decoded.stages.empty());
        }
    }
    std::cout << "mutated inputs decoded: " << kInputs << " (" << decoded_ok << " ok, " << kInputs - decoded_ok
              << " failed cleanly)\n";
}

}  // namespace
}  // namespace zun
