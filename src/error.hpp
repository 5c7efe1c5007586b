#pragma once
// The core's exception types. InternalError is a violated precondition
// (the module boundary raises PanicException); FitError is a fit that cannot
// go on for a reason the caller's arguments or data gave, carrying the
// worded guard's exact text (the boundary raises ValueError); IoError a file
// that cannot be used (OSError).
#include <new>
#include <stdexcept>
#include <string>

namespace zun {

class InternalError : public std::logic_error {
public:
    explicit InternalError(const std::string& message) : std::logic_error(message) {}
};

class FitError : public std::runtime_error {
public:
    explicit FitError(const std::string& message) : std::runtime_error(message) {}
};

// A file the caller named cannot be opened or used (a run log path that is a
// directory, lies under a missing directory or a regular file, or holds
// something other than a database). The caller's or the system's doing, not
// a broken invariant, so the boundary raises OSError; the message names the
// path and the reason.
class IoError : public std::runtime_error {
public:
    explicit IoError(const std::string& message) : std::runtime_error(message) {}
};

// A size computed from the caller's counts that no allocation can hold. It
// is an allocation failure, so the boundary raises MemoryError (as NumPy does
// for an impossible array), with this message.
class SizeError : public std::bad_alloc {
public:
    explicit SizeError(const std::string& message) : message_(message) {}
    const char* what() const noexcept override { return message_.what(); }

private:
    std::runtime_error message_;  // its copies share the text and never throw
};

// A fit that ended before its work was done because its caller asked for
// that (FitControl::interrupt). The caller knows why; nothing was wrong.
class FitInterrupted : public std::runtime_error {
public:
    FitInterrupted() : std::runtime_error("the fit was interrupted") {}
};

// Checks a precondition the caller must guarantee.
inline void require(bool condition, const char* message) {
    if (!condition) {
        throw InternalError(message);
    }
}

}  // namespace zun
