#pragma once
// Sizes computed from a caller's counts, checked before anything is
// allocated: a product that wraps around, or one that no single allocation
// can hold, is a SizeError naming what was asked for, instead of a small
// buffer written past its end or a failure deep inside the standard library.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

namespace zun {

// The product of `extents` as an element count, when that many elements of
// `element_bytes` bytes fit in one allocation; otherwise throws SizeError.
std::size_t checked_count(std::span<const std::uint64_t> extents, std::string_view what,
                          std::size_t element_bytes = sizeof(double));

inline std::size_t checked_count(std::initializer_list<std::uint64_t> extents, std::string_view what,
                                 std::size_t element_bytes = sizeof(double)) {
    return checked_count(std::span<const std::uint64_t>(extents.begin(), extents.size()), what, element_bytes);
}

}  // namespace zun
