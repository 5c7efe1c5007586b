#include "float_format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include "error.hpp"

namespace zun {
namespace {

// A finite value as sign, significant digits d1 d2 ... dn and the decimal
// exponent e of d1.d2...dn x 10^e.
struct ShortestDigits {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

ShortestDigits shortest_digits(double value) {
    // Large enough for "-d.ddddddddddddddddde-ddd".
    std::array<char, 64> buffer{};
    const auto [end, error] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::scientific);
    require(error == std::errc{}, "to_chars failed on a finite double");
    const std::string_view text(buffer.data(), static_cast<std::size_t>(end - buffer.data()));

    ShortestDigits result;
    std::size_t pos = 0;
    if (text[pos] == '-') {
        result.negative = true;
        ++pos;
    }
    const std::size_t exponent_mark = text.find('e', pos);
    require(exponent_mark != std::string_view::npos, "to_chars scientific output lacks an exponent");
    for (std::size_t i = pos; i < exponent_mark; ++i) {
        if (text[i] != '.') {
            result.digits.push_back(text[i]);
        }
    }
    // The exponent is at most three digits with a sign; from_chars does not accept a '+'.
    std::string_view exponent_text = text.substr(exponent_mark + 1);
    if (!exponent_text.empty() && exponent_text.front() == '+') {
        exponent_text.remove_prefix(1);
    }
    const auto parsed =
        std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), result.exponent);
    require(parsed.ec == std::errc{}, "to_chars scientific output has an unreadable exponent");
    return result;
}

// Integer part and fraction part of the digits in positional notation.
struct Positional {
    std::string integer_part;
    std::string fraction_part;
};

Positional to_positional(const ShortestDigits& parts) {
    const auto& digits = parts.digits;
    const int n = static_cast<int>(digits.size());
    if (parts.exponent < 0) {
        return {"0", std::string(static_cast<std::size_t>(-parts.exponent - 1), '0') + digits};
    }
    const int integer_length = parts.exponent + 1;
    if (integer_length >= n) {
        return {digits + std::string(static_cast<std::size_t>(integer_length - n), '0'), ""};
    }
    return {digits.substr(0, static_cast<std::size_t>(integer_length)),
            digits.substr(static_cast<std::size_t>(integer_length))};
}

std::string sign_of(const ShortestDigits& parts) { return parts.negative ? "-" : ""; }

// NaN and the infinities, shared by both forms; empty for finite values.
std::string non_finite_text(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    return {};
}

std::string scientific_text(const ShortestDigits& parts) {
    std::string mantissa = parts.digits.substr(0, 1);
    if (parts.digits.size() > 1) {
        // Appended piece by piece: GCC 12 reports a false overlap (-Wrestrict)
        // for "." + a temporary string at -O3.
        mantissa += '.';
        mantissa.append(parts.digits, 1);
    }
    return sign_of(parts) + mantissa + "e" + std::to_string(parts.exponent);
}

}  // namespace

std::string format_positional(double value) {
    if (!std::isfinite(value)) {
        return non_finite_text(value);
    }
    const ShortestDigits parts = shortest_digits(value);
    const Positional positional = to_positional(parts);
    if (positional.fraction_part.empty()) {
        return sign_of(parts) + positional.integer_part;
    }
    return sign_of(parts) + positional.integer_part + "." + positional.fraction_part;
}

std::string format_debug(double value) {
    if (!std::isfinite(value)) {
        return non_finite_text(value);
    }
    const ShortestDigits parts = shortest_digits(value);
    const double magnitude = std::fabs(value);
    const bool positional_range = magnitude == 0.0 || (magnitude >= 1e-5 && magnitude < 1e16);
    if (!positional_range) {
        return scientific_text(parts);
    }
    const Positional positional = to_positional(parts);
    const std::string fraction = positional.fraction_part.empty() ? "0" : positional.fraction_part;
    return sign_of(parts) + positional.integer_part + "." + fraction;
}

}  // namespace zun
