#pragma once
// The texts and byte strings stored in run log columns: JSON (compact,
// shortest round-trip numbers, whole numbers as 1.0, non-finite as null) and
// concatenated 64-bit little-endian floats.
#include <cstdint>
#include <string>
#include <vector>

#include "logging/records.hpp"

namespace zun::logging {

std::string json_number(double value);
// Shortest text that reads back to the same 32-bit value.
std::string json_number(float value);

// [1.0,2.5,null]
std::string json_array(const std::vector<double>& values);
// [{"score":0.25,"tree_id":3}], one object per candidate in list order.
std::string candidates_json(const std::vector<CombinationCandidate>& candidates);
// [{"sample_id":4,"residual":0.5,"y_hat":null}], keys in this order.
std::string residual_updates_json(const std::vector<ResidualUpdate>& updates);

// The values as 64-bit IEEE 754 little-endian floats, no header.
std::vector<std::uint8_t> f64_bytes(const std::vector<double>& values);
void append_f64_bytes(std::vector<std::uint8_t>& out, const std::vector<double>& values);
std::vector<double> doubles_from_bytes(const std::vector<std::uint8_t>& bytes);

// The `data` column of one feature: its k lower bounds, k upper bounds and
// k grid values (24 k bytes).
std::vector<std::uint8_t> interval_data(const std::vector<double>& lower, const std::vector<double>& upper,
                                        const std::vector<double>& values);

}  // namespace zun::logging
