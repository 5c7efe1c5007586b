#include "logging/column_encoding.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "error.hpp"

namespace zun::logging {
namespace {

// fmt's "{}" already gives the shortest round-trip digits; JSON readers
// should still see a float, so integral texts get ".0".
template <class Float>
std::string shortest_json(Float value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    std::string text = fmt::format("{}", value);
    if (text.find_first_of(".eE") == std::string::npos) {
        text += ".0";
    }
    return text;
}

std::uint64_t to_little_endian(std::uint64_t bits) {
    if constexpr (std::endian::native == std::endian::big) {
        return __builtin_bswap64(bits);
    }
    return bits;
}

}  // namespace

std::string json_number(double value) { return shortest_json(value); }
std::string json_number(float value) { return shortest_json(value); }

std::string json_array(const std::vector<double>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            text += ',';
        }
        text += json_number(values[i]);
    }
    return text + "]";
}

std::string candidates_json(const std::vector<CombinationCandidate>& candidates) {
    std::string text = "[";
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        text += fmt::format("{}{{\"score\":{},\"tree_id\":{}}}", i > 0 ? "," : "", json_number(candidates[i].score),
                            candidates[i].tree_id);
    }
    return text + "]";
}

std::string residual_updates_json(const std::vector<ResidualUpdate>& updates) {
    std::string text = "[";
    for (std::size_t i = 0; i < updates.size(); ++i) {
        const ResidualUpdate& u = updates[i];
        text += fmt::format("{}{{\"sample_id\":{},\"residual\":{},\"y_hat\":{}}}", i > 0 ? "," : "", u.sample_id,
                            json_number(u.residual), u.y_hat ? json_number(*u.y_hat) : "null");
    }
    return text + "]";
}

void append_f64_bytes(std::vector<std::uint8_t>& out, const std::vector<double>& values) {
    const std::size_t start = out.size();
    out.resize(start + 8 * values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint64_t bits = to_little_endian(std::bit_cast<std::uint64_t>(values[i]));
        std::memcpy(out.data() + start + 8 * i, &bits, 8);
    }
}

std::vector<std::uint8_t> f64_bytes(const std::vector<double>& values) {
    std::vector<std::uint8_t> out;
    append_f64_bytes(out, values);
    return out;
}

std::vector<double> doubles_from_bytes(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() % 8 != 0) {
        throw InternalError(fmt::format("a list of 64-bit floats needs a multiple of 8 bytes; got {}", bytes.size()));
    }
    std::vector<double> values(bytes.size() / 8);
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, bytes.data() + 8 * i, 8);
        values[i] = std::bit_cast<double>(to_little_endian(bits));
    }
    return values;
}

std::vector<std::uint8_t> interval_data(const std::vector<double>& lower, const std::vector<double>& upper,
                                        const std::vector<double>& values) {
    std::vector<std::uint8_t> out;
    out.reserve(8 * (lower.size() + upper.size() + values.size()));
    append_f64_bytes(out, lower);
    append_f64_bytes(out, upper);
    append_f64_bytes(out, values);
    return out;
}

}  // namespace zun::logging
