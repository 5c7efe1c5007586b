#pragma once
// Text forms of 64-bit floats built on the shortest decimal digits that read
// back to the same value, so logs and representations never lose precision.
#include <string>

namespace zun {

// Positional notation without exponent; integral values carry no fractional
// part ("1", "-0", "0.0000001"). NaN is "NaN", infinities "inf" and "-inf".
std::string format_positional(double value);

// Positional with at least one fractional digit ("1.0", "0.01") when
// 1e-5 <= |value| < 1e16 or value is zero; otherwise scientific with a bare
// exponent ("1e16", "1.5e-7"). NaN is "NaN", infinities "inf" and "-inf".
std::string format_debug(double value);

}  // namespace zun
