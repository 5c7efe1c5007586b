#pragma once
// The process-wide console logger: every diagnostic line goes to standard
// output as "[target] [LEVEL] text" when its level passes the global maximum.
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
// Read without a lock on every log call; Off until first set.
extern std::atomic<Level> max_level;
}  // namespace detail

void set_max_level(Level level);

inline Level max_level() { return detail::max_level.load(std::memory_order_relaxed); }

inline bool enabled(Level level) {
    return level != Level::Off &&
           static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(max_level());
}

// "[" target "] [" LEVEL "] " text "\n"
std::string format_line(Level level, std::string_view target, std::string_view text);

// Writes the line to stdout when the logger is installed and the level enabled.
void log(Level level, std::string_view target, std::string_view text);

// Hands a formatted line on: to the thread's held output when it holds one,
// else to stdout.
void emit_line(std::string line);

// Formats only after the level test, so a disabled level costs one comparison.
template <typename... Args>
void log_fmt(Level level, std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    if (!enabled(level)) {
        return;
    }
    log(level, target, fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace zun::logging
