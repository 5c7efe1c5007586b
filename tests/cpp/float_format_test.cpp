#include "float_format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace zun {
namespace {

struct Case {
    double value;
    std::string positional;
    std::string debug;
};

std::vector<Case> cases() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    return {
        {nan, "NaN", "NaN"},
        {-nan, "NaN", "NaN"},
        {inf, "inf", "inf"},
        {-inf, "-inf", "-inf"},
        {0.0, "0", "0.0"},
        {-0.0, "-0", "-0.0"},
        {1.0, "1", "1.0"},
        {-3.5, "-3.5", "-3.5"},
        {100.0, "100", "100.0"},
        {123.456, "123.456", "123.456"},
        {0.1, "0.1", "0.1"},
        {0.01, "0.01", "0.01"},
        {0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"},
        // Lower edge of the positional range of the debug form.
        {1e-5, "0.00001", "0.00001"},
        {-1e-5, "-0.00001", "-0.00001"},
        {9.999e-6, "0.000009999", "9.999e-6"},
        {1e-7, "0.0000001", "1e-7"},
        {1.5e-7, "0.00000015", "1.5e-7"},
        // Upper edge: the largest double below 1e16 is still positional.
        {1e15, "1000000000000000", "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998", "9999999999999998.0"},
        {9007199254740993.5, "9007199254740994", "9007199254740994.0"},
        {1e16, "10000000000000000", "1e16"},
        {-1e16, "-10000000000000000", "-1e16"},
        {1e20, "100000000000000000000", "1e20"},
        {123456789012345680.0, "123456789012345680", "1.2345678901234568e17"},
        {-2e300, "-2" + std::string(300, '0'), "-2e300"},
        {5e-324, "0." + std::string(323, '0') + "5", "5e-324"},
        {1.7976931348623157e308, "17976931348623157" + std::string(292, '0'), "1.7976931348623157e308"},
        {2.2250738585072014e-308, "0." + std::string(307, '0') + "22250738585072014", "2.2250738585072014e-308"},
    };
}

TEST(FloatFormat, TableOfCases) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.debug);
        EXPECT_EQ(format_positional(c.value), c.positional);
        EXPECT_EQ(format_debug(c.value), c.debug);
    }
}

// Both forms must read back to the very same bits over the whole range of
// exponents, not just the hand-picked cases.
TEST(FloatFormat, BothFormsRoundTripOnRandomBitPatterns) {
    std::mt19937_64 generator(20240611);
    int checked = 0;
    for (int i = 0; i < 20000; ++i) {
        const double value = std::bit_cast<double>(generator());
        if (!std::isfinite(value)) {
            continue;
        }
        for (const std::string& text : {format_positional(value), format_debug(value)}) {
            const double parsed = std::strtod(text.c_str(), nullptr);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(parsed), std::bit_cast<std::uint64_t>(value)) << text;
        }
        ++checked;
    }
    EXPECT_GT(checked, 19000);
}

TEST(FloatFormat, ShapeOfEachForm) {
    std::mt19937_64 generator(7);
    for (int i = 0; i < 5000; ++i) {
        const double value = std::bit_cast<double>(generator());
        if (!std::isfinite(value)) {
            continue;
        }
        const std::string positional = format_positional(value);
        const std::string debug = format_debug(value);
        SCOPED_TRACE(debug);
        EXPECT_EQ(positional.find_first_of("eE+"), std::string::npos);
        const double magnitude = std::fabs(value);
        const bool positional_range = magnitude >= 1e-5 && magnitude < 1e16;
        EXPECT_EQ(debug.find('e') == std::string::npos, positional_range);
        EXPECT_EQ(debug.find('+'), std::string::npos);
        if (positional_range) {
            const auto point = debug.find('.');
            ASSERT_NE(point, std::string::npos);
            EXPECT_LT(point + 1, debug.size());
        }
    }
}

}  // namespace
}  // namespace zun
