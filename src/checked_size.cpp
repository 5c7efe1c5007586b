#include "checked_size.hpp"

#include <cstddef>
#include <limits>
#include <string>

#include <fmt/format.h>

#include "error.hpp"

namespace zun {

std::size_t checked_count(std::span<const std::uint64_t> extents, std::string_view what,
                          std::size_t element_bytes) {
    // No allocation can exceed the largest signed size: pointer differences
    // within it must stay representable.
    constexpr std::uint64_t kLargestAllocation = std::numeric_limits<std::ptrdiff_t>::max();
    std::uint64_t count = 1;
    bool overflow = false;
    for (const std::uint64_t extent : extents) {
        overflow = overflow || __builtin_mul_overflow(count, extent, &count);
    }
    std::uint64_t bytes = 0;
    overflow = overflow || __builtin_mul_overflow(count, std::uint64_t{element_bytes}, &bytes);
    if (overflow || bytes > kLargestAllocation) {
        std::string shape;
        for (const std::uint64_t extent : extents) {
            shape += shape.empty() ? fmt::format("{}", extent) : fmt::format(" x {}", extent);
        }
        throw SizeError(fmt::format("cannot allocate {}: {} elements of {} bytes exceed the address space", what,
                                    shape, element_bytes));
    }
    return static_cast<std::size_t>(count);
}

}  // namespace zun
