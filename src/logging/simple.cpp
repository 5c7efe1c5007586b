#include "logging/simple.hpp"

#include <array>
#include <cstdio>
#include <mutex>
#include <utility>

#include "fit_control.hpp"
#include "logging/held_output.hpp"

namespace zun::logging {

namespace detail {
std::atomic<Level> max_level{Level::Off};
}  // namespace detail

namespace {

struct NamedLevel {
    std::string_view name;
    Level level;
};

constexpr std::array<NamedLevel, 6> level_names{{
    {"OFF", Level::Off},
    {"ERROR", Level::Error},
    {"WARN", Level::Warn},
    {"INFO", Level::Info},
    {"DEBUG", Level::Debug},
    {"TRACE", Level::Trace},
}};

char to_upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equals_ignoring_case(std::string_view text, std::string_view upper_name) {
    if (text.size() != upper_name.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (to_upper_ascii(text[i]) != upper_name[i]) {
            return false;
        }
    }
    return true;
}

std::atomic<bool> installed{false};
std::once_flag install_once;

// Held for the write and flush of one line, so lines of different threads
// never mix.
std::mutex& stdout_mutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

Level parse_level(std::string_view text) {
    for (const NamedLevel& entry : level_names) {
        if (equals_ignoring_case(text, entry.name)) {
            return entry.level;
        }
    }
    return Level::Info;
}

const char* level_name(Level level) {
    switch (level) {
        case Level::Off: return "OFF";
        case Level::Error: return "ERROR";
        case Level::Warn: return "WARN";
        case Level::Info: return "INFO";
        case Level::Debug: return "DEBUG";
        case Level::Trace: return "TRACE";
    }
    return "UNKNOWN";
}

void install_simple_logger() {
    std::call_once(install_once, [] { installed.store(true, std::memory_order_release); });
}

bool simple_logger_installed() { return installed.load(std::memory_order_acquire); }

void set_max_level(Level level) { detail::max_level.store(level, std::memory_order_relaxed); }

std::string format_line(Level level, std::string_view target, std::string_view text) {
    std::string line;
    line.reserve(target.size() + text.size() + 16);
    line += '[';
    line += target;
    line += "] [";
    line += level_name(level);
    line += "] ";
    line += text;
    line += '\n';
    return line;
}

bool enabled(Level level) {
    const FitControl* control = current_fit_control();
    const Level most = control != nullptr ? control->level() : max_level();
    return level != Level::Off && static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(most);
}

void log(Level level, std::string_view target, std::string_view text) {
    if (!enabled(level) || (current_fit_control() == nullptr && !simple_logger_installed())) {
        return;
    }
    emit_line(format_line(level, target, text));
}

void emit_line(std::string line) {
    if (HeldOutput* held = held_output()) {
        held->lines.push_back(std::move(line));
    } else if (FitControl* control = current_fit_control()) {
        control->write_line(std::move(line));
    } else {
        write_stdout(line);
    }
}

void write_stdout(const std::string& line) {
    const std::lock_guard<std::mutex> lock(stdout_mutex());
    // One write per line, flushed at once so it lands in order with the
    // host interpreter's own output.
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace zun::logging
