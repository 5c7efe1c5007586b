#include "model_file/codec.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "error.hpp"

namespace zun {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------
// Encoding. One traversal of the layout drives both passes, so the size pass
// and the write pass cannot disagree about which values are stored.

class SizeCounter {
public:
    void u8(std::uint8_t) { size_ += 1; }
    void u32(std::uint32_t) { size_ += 4; }
    void u64(std::uint64_t) { size_ += 8; }
    void f64(double) { size_ += 8; }
    std::size_t size() const { return size_; }

private:
    std::size_t size_ = 0;
};

class ByteWriter {
public:
    explicit ByteWriter(std::size_t size) : bytes_(size) {}

    void u8(std::uint8_t value) { put(value, 1); }
    void u32(std::uint32_t value) { put(value, 4); }
    void u64(std::uint64_t value) { put(value, 8); }
    void f64(double value) { put(std::bit_cast<std::uint64_t>(value), 8); }

    std::vector<std::uint8_t> finish() && {
        if (position_ != bytes_.size()) {
            throw InternalError(fmt::format("model encoding wrote {} bytes into a buffer of {} bytes",
                                            position_, bytes_.size()));
        }
        return std::move(bytes_);
    }

private:
    void put(std::uint64_t value, std::size_t width) {
        if (bytes_.size() - position_ < width) {
            throw InternalError(fmt::format("model encoding needs more than the computed {} bytes",
                                            bytes_.size()));
        }
        for (std::size_t i = 0; i < width; ++i) {
            bytes_[position_ + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
        position_ += width;
    }

    std::vector<std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

template <class Sink>
void emit(Sink& sink, double value) {
    sink.f64(value);
}

template <class Sink>
void emit(Sink& sink, std::uint64_t value) {
    sink.u64(value);
}

template <class Sink>
void emit(Sink& sink, const std::optional<double>& value) {
    sink.u8(value ? 1 : 0);
    if (value) {
        sink.f64(*value);
    }
}

// Infinite bounds are stored as absent, which keeps the common unbounded
// interval at two tag bytes; NaN is not infinite and is stored as it is.
template <class Sink>
void emit(Sink& sink, const Interval& interval) {
    const auto [low, high] = interval;
    sink.u64(2);
    emit(sink, low <= -kInfinity ? std::nullopt : std::optional<double>(low));
    emit(sink, high >= kInfinity ? std::nullopt : std::optional<double>(high));
}

template <class Sink>
void emit(Sink& sink, const GridTensor& grid_tensor);

template <class Sink>
void emit(Sink& sink, const StagePredictor& stage);

template <class Sink, class T>
void emit(Sink& sink, const std::vector<T>& list) {
    sink.u64(static_cast<std::uint64_t>(list.size()));
    for (const T& element : list) {
        emit(sink, element);
    }
}

template <class Sink>
void emit(Sink& sink, const GridTensor& grid_tensor) {
    emit(sink, grid_tensor.splits);
    emit(sink, grid_tensor.observation_counts);
    emit(sink, grid_tensor.intervals);
    emit(sink, grid_tensor.scaling);
    emit(sink, grid_tensor.backbone_values);
    emit(sink, grid_tensor.tilt_values);
    emit(sink, grid_tensor.lambda_plus);
    emit(sink, grid_tensor.lambda_minus);
}

template <class Sink>
void emit(Sink& sink, const StagePredictor& stage) {
    emit(sink, stage.grid_tensors);
    emit(sink, stage.primary_grid_tensor);
    sink.u8(stage.candidate_indices ? 1 : 0);
    if (stage.candidate_indices) {
        emit(sink, *stage.candidate_indices);
    }
    sink.u32(static_cast<std::uint32_t>(stage.aggregation_method));
    emit(sink, stage.scaling_plus);
    emit(sink, stage.scaling_minus);
    emit(sink, stage.energy);
}

// ---------------------------------------------------------------------------
// Decoding. The reader keeps the first failure; once failed every read
// returns zero without consuming, so the loops below stop at the next check.

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool failed() const { return !error_.empty(); }
    // The first failure was the data ending, so more data could mend it.
    bool ran_out() const { return ran_out_; }
    std::string error() && { return std::move(error_); }
    std::size_t position() const { return position_; }
    std::size_t remaining() const { return bytes_.size() - position_; }

    void fail(std::string description) {
        if (!failed()) {
            error_ = std::move(description);
        }
    }

    std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
    std::uint64_t u64() { return take(8); }
    double f64() { return std::bit_cast<double>(take(8)); }

private:
    std::uint64_t take(std::size_t width) {
        if (failed()) {
            return 0;
        }
        if (remaining() < width) {
            fail("io error: unexpected end of file");
            ran_out_ = true;
            return 0;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value |= static_cast<std::uint64_t>(bytes_[position_ + i]) << (8 * i);
        }
        position_ += width;
        return value;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    std::string error_;
    bool ran_out_ = false;
};

// Fewest bytes a stored element can take: the bound that stops a forged count
// from reserving more elements than the data could hold.
constexpr std::size_t kMinNumberBytes = 8;
constexpr std::size_t kMinListBytes = 8;                           // the count
constexpr std::size_t kMinIntervalBytes = 8 + 1 + 1;               // count and two tags
constexpr std::size_t kMinGridTensorBytes = 5 * 8 + 3 * 8;         // five counts, three floats
constexpr std::size_t kMinStageBytes = 8 + kMinGridTensorBytes + 1 + 4 + 3;
constexpr std::uint64_t kMaxReserveBytes = 1 << 20;

std::size_t reserve_for(std::uint64_t count, std::size_t remaining, std::size_t min_encoded_bytes,
                        std::size_t element_bytes) {
    const std::uint64_t by_memory = kMaxReserveBytes / element_bytes;
    const std::uint64_t by_data = remaining / min_encoded_bytes;
    return static_cast<std::size_t>(std::min({count, by_memory, by_data}));
}

template <class T, class ReadElement>
std::vector<T> read_list(Reader& reader, std::size_t min_encoded_bytes, ReadElement read_element) {
    const std::uint64_t count = reader.u64();
    std::vector<T> list;
    if (reader.failed()) {
        return list;
    }
    list.reserve(reserve_for(count, reader.remaining(), min_encoded_bytes, sizeof(T)));
    for (std::uint64_t i = 0; i < count && !reader.failed(); ++i) {
        list.push_back(read_element(reader));
    }
    return list;
}

std::vector<double> read_f64_list(Reader& reader) {
    return read_list<double>(reader, kMinNumberBytes, [](Reader& r) { return r.f64(); });
}

std::vector<std::uint64_t> read_u64_list(Reader& reader) {
    return read_list<std::uint64_t>(reader, kMinNumberBytes, [](Reader& r) { return r.u64(); });
}

std::vector<std::vector<double>> read_f64_lists(Reader& reader) {
    return read_list<std::vector<double>>(reader, kMinListBytes, read_f64_list);
}

std::vector<std::vector<std::uint64_t>> read_u64_lists(Reader& reader) {
    return read_list<std::vector<std::uint64_t>>(reader, kMinListBytes, read_u64_list);
}

bool read_presence(Reader& reader) {
    const std::uint8_t tag = reader.u8();
    if (tag > 1) {
        reader.fail(fmt::format("tag for enum is not valid, found {}", tag));
    }
    return tag == 1;
}

std::optional<double> read_optional_f64(Reader& reader) {
    if (!read_presence(reader)) {
        return std::nullopt;
    }
    return reader.f64();
}

Interval read_interval(Reader& reader) {
    const std::uint64_t count = reader.u64();
    if (!reader.failed() && count < 2) {
        reader.fail(fmt::format("invalid length {}, expected an interval with at least 2 bounds", count));
    }
    const double low = read_optional_f64(reader).value_or(-kInfinity);
    const double high = read_optional_f64(reader).value_or(kInfinity);
    // Entries past the two bounds carry nothing this layout uses.
    for (std::uint64_t i = 2; i < count && !reader.failed(); ++i) {
        read_optional_f64(reader);
    }
    return {low, high};
}

std::vector<Interval> read_interval_list(Reader& reader) {
    return read_list<Interval>(reader, kMinIntervalBytes, read_interval);
}

std::vector<std::vector<Interval>> read_interval_lists(Reader& reader) {
    return read_list<std::vector<Interval>>(reader, kMinListBytes, read_interval_list);
}

GridTensor read_grid_tensor(Reader& reader) {
    GridTensor grid_tensor;
    grid_tensor.splits = read_f64_lists(reader);
    grid_tensor.observation_counts = read_u64_lists(reader);
    grid_tensor.intervals = read_interval_lists(reader);
    grid_tensor.scaling = reader.f64();
    grid_tensor.backbone_values = read_f64_lists(reader);
    grid_tensor.tilt_values = read_f64_lists(reader);
    grid_tensor.lambda_plus = reader.f64();
    grid_tensor.lambda_minus = reader.f64();
    return grid_tensor;
}

std::optional<std::vector<std::uint64_t>> read_candidate_indices(Reader& reader) {
    if (!read_presence(reader)) {
        return std::nullopt;
    }
    return read_u64_list(reader);
}

Aggregation read_aggregation(Reader& reader) {
    const std::uint32_t variant = reader.u32();
    if (variant > static_cast<std::uint32_t>(Aggregation::Combined)) {
        reader.fail(fmt::format("invalid value: integer `{}`, expected variant index 0 <= i < 3", variant));
        return Aggregation::Combined;
    }
    return static_cast<Aggregation>(variant);
}

StagePredictor read_stage(Reader& reader) {
    StagePredictor stage;
    stage.grid_tensors = read_list<GridTensor>(reader, kMinGridTensorBytes, read_grid_tensor);
    stage.primary_grid_tensor = read_grid_tensor(reader);
    stage.candidate_indices = read_candidate_indices(reader);
    stage.aggregation_method = read_aggregation(reader);
    stage.scaling_plus = read_optional_f64(reader);
    stage.scaling_minus = read_optional_f64(reader);
    stage.energy = read_optional_f64(reader);
    return stage;
}

}  // namespace

std::size_t encoded_size(const std::vector<StagePredictor>& stages) {
    SizeCounter counter;
    emit(counter, stages);
    return counter.size();
}

std::vector<std::uint8_t> encode_model(const std::vector<StagePredictor>& stages) {
    ByteWriter writer(encoded_size(stages));
    emit(writer, stages);
    return std::move(writer).finish();
}

DecodeResult decode_model(std::span<const std::uint8_t> bytes) {
    Reader reader(bytes);
    std::vector<StagePredictor> stages = read_list<StagePredictor>(reader, kMinStageBytes, read_stage);
    if (reader.failed()) {
        const bool truncated = reader.ran_out();
        return DecodeResult{{}, std::move(reader).error(), 0, truncated};
    }
    return DecodeResult{std::move(stages), {}, reader.position(), false};
}

}  // namespace zun
