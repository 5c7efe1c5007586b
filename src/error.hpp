#pragma once
// The one exception type of the core: a violated precondition. The module
// boundary turns it into PanicException; nothing else in the core throws.
#include <stdexcept>
#include <string>

namespace zun {

class InternalError : public std::logic_error {
public:
    explicit InternalError(const std::string& message) : std::logic_error(message) {}
};

// Checks a precondition the caller must guarantee.
inline void require(bool condition, const char* message) {
    if (!condition) {
        throw InternalError(message);
    }
}

}  // namespace zun
