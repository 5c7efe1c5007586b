#pragma once
// The console logger: every diagnostic line is "[target] [LEVEL] text". A
// line made for a fit passes that fit's level and goes to its console (see
// FitControl); outside a fit the process-wide maximum level applies and the
// line goes to standard output.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace zun::logging {

// Most severe first; a message passes when its number <= the maximum level.
enum class Level : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Case-insensitive level name; anything unrecognised gives Info.
Level parse_level(std::string_view text);
// Upper-case name, as printed in a line.
const char* level_name(Level level);

// Installs the logger on the first call; later calls do nothing.
void install_simple_logger();
bool simple_logger_installed();

namespace detail {
// Read without a lock; Off until first set.
extern std::atomic<Level> max_level;
}  // namespace detail

// The process-wide maximum level: the level of the latest boosted fit, used
// by code that runs outside any fit's context.
void set_max_level(Level level);

inline Level max_level() { return detail::max_level.load(std::memory_order_relaxed); }

// Against the level of the fit the calling thread works for, or the
// process-wide maximum outside a fit.
bool enabled(Level level);

// "[" target "] [" LEVEL "] " text "\n"
std::string format_line(Level level, std::string_view target, std::string_view text);

// Hands the line on when the level is enabled: inside a fit to the fit's
// console, outside one to stdout once the logger is installed.
void log(Level level, std::string_view target, std::string_view text);

// Hands a formatted line on: to the thread's held output when it holds one,
// else to the fit's console, else to stdout.
void emit_line(std::string line);

// Writes and flushes one line; lines of different threads never mix.
void write_stdout(const std::string& line);

// Formats only after the level test, so a disabled level costs one comparison.
template <typename... Args>
void log_fmt(Level level, std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    if (!enabled(level)) {
        return;
    }
    log(level, target, fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace zun::logging
