#pragma once
// The context of one fit: its console level and where its lines go, and the
// sender its run log records go to. The thread that runs a fit installs it
// (FitScope), and the worker pool installs the caller's on every worker for
// the duration of a job, so two fits running at once never see each other's
// settings.
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "logging/channel.hpp"
#include "logging/log_message.hpp"
#include "logging/simple.hpp"

namespace zun {

class FitControl {
public:
    // Direct: lines go to stdout as they come. Queued: they wait for
    // take_lines, for a caller that writes them itself.
    enum class Console { Direct, Queued };

    explicit FitControl(Console console = Console::Direct) : console_(console) {}
    FitControl(const FitControl&) = delete;
    FitControl& operator=(const FitControl&) = delete;

    // Off until set.
    void set_level(logging::Level level) { level_.store(level, std::memory_order_relaxed); }
    logging::Level level() const { return level_.load(std::memory_order_relaxed); }

    // A whole formatted line whose level passed.
    void write_line(std::string line);
    std::vector<std::string> take_lines();

    // A logged fit installs its channel's sender for the fit's duration.
    void install_sender(logging::Sender sender);
    void clear_sender();
    bool run_log_active() const;
    // False (message dropped) without a sender or when the receiver is gone.
    bool send(logging::LogMessage message) const;

private:
    const Console console_;
    std::atomic<logging::Level> level_{logging::Level::Off};
    std::mutex lines_mutex_;
    std::vector<std::string> lines_;
    mutable std::mutex sender_mutex_;
    std::optional<logging::Sender> sender_;
};

// The fit the calling thread works for, or nullptr.
FitControl* current_fit_control();

// Installs `control` on the calling thread until destroyed, then puts back
// the one installed before (OpenMP runs jobs on the caller's thread too).
class FitScope {
public:
    explicit FitScope(FitControl* control);
    FitScope(const FitScope&) = delete;
    FitScope& operator=(const FitScope&) = delete;
    ~FitScope();

private:
    FitControl* previous_;
};

}  // namespace zun
