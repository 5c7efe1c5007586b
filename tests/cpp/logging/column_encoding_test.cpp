#include "logging/column_encoding.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "logging/timestamp.hpp"

namespace zun::logging {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

TEST(JsonNumber, ShortestRoundTripWithAPointAndNullForNonFinite) {
    const std::vector<std::pair<double, std::string>> doubles{
        {1.0, "1.0"},   {0.25, "0.25"}, {-3.0, "-3.0"}, {0.1, "0.1"},   {1e300, "1e+300"},
        {1e-7, "1e-07"}, {123456.0, "123456.0"}, {inf, "null"}, {-inf, "null"},
        {std::numeric_limits<double>::quiet_NaN(), "null"}};
    for (const auto& [value, text] : doubles) {
        EXPECT_EQ(json_number(value), text);
        if (text != "null") {
            EXPECT_EQ(std::stod(text), value) << text << " does not read back";
        }
    }
    // A 32-bit value keeps its own shortest form, not that of its widening.
    EXPECT_EQ(json_number(0.1f), "0.1");
    EXPECT_EQ(json_number(-2.0f), "-2.0");
    EXPECT_EQ(json_number(16777216.0f), "16777216.0");
    EXPECT_EQ(json_number(std::numeric_limits<float>::infinity()), "null");
}

TEST(JsonTexts, ArraysCandidatesAndResidualUpdates) {
    EXPECT_EQ(json_array({}), "[]");
    EXPECT_EQ(json_array({1.0, -0.5, inf}), "[1.0,-0.5,null]");
    EXPECT_EQ(candidates_json({}), "[]");
    EXPECT_EQ(candidates_json({{3, 0.25}, {0, 0.0}}), R"([{"score":0.25,"tree_id":3},{"score":0.0,"tree_id":0}])");
    EXPECT_EQ(residual_updates_json({{0.3f, 7, -1.5f}, {std::nullopt, 0, 2.0f}}),
              R"([{"sample_id":7,"residual":-1.5,"y_hat":0.3},{"sample_id":0,"residual":2.0,"y_hat":null}])");
}

TEST(Bytes, LittleEndianFloatsInBoundsBoundsValuesOrder) {
    const std::vector<std::uint8_t> data = interval_data({-inf, 1.0}, {1.0, inf}, {0.5, 2.0});
    ASSERT_EQ(data.size(), 48u);
    // -inf is 0xFFF0000000000000, written lowest byte first.
    const std::vector<std::uint8_t> minus_infinity{0, 0, 0, 0, 0, 0, 0xF0, 0xFF};
    EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + 8), minus_infinity);
    EXPECT_EQ(doubles_from_bytes(data), (std::vector<double>{-inf, 1.0, 1.0, inf, 0.5, 2.0}));
    EXPECT_TRUE(interval_data({}, {}, {}).empty());
}

TEST(Timestamp, Rfc3339WithTheFractionOnlyWhenNotZero) {
    using namespace std::chrono;
    const sys_days day = year{2025} / January / 31;
    const std::vector<std::pair<nanoseconds, std::string>> cases{
        {hours{8} + minutes{15} + seconds{2} + milliseconds{500}, "2025-01-31T08:15:02.5Z"},
        {seconds{0}, "2025-01-31T00:00:00Z"},
        {hours{23} + minutes{59} + seconds{59} + nanoseconds{1}, "2025-01-31T23:59:59.000000001Z"},
        {seconds{1} + microseconds{120}, "2025-01-31T00:00:01.00012Z"},
    };
    for (const auto& [offset, text] : cases) {
        EXPECT_EQ(rfc3339_utc(system_clock::time_point(duration_cast<system_clock::duration>(day.time_since_epoch() +
                                                                                              offset))),
                  text);
    }
    EXPECT_EQ(rfc3339_utc(sys_days{year{2024} / February / 29}), "2024-02-29T00:00:00Z");
}

}  // namespace
}  // namespace zun::logging
