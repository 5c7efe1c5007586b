#pragma once
// The context of one fit, shared by the thread that runs it, the workers of
// its jobs and a caller waiting for it: the console level and where lines go,
// the sender its run log records go to, the flag that ends it early, its
// progress and the warnings and epoch ends its caller reports. The thread
// that runs a fit installs it (FitScope), and the worker pool installs the
// caller's on every worker for the duration of a job, so two fits running at
// once never see each other's settings.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "logging/channel.hpp"
#include "logging/log_message.hpp"
#include "logging/simple.hpp"

namespace zun {

// Why a fit should end before its work is done. Stop: end cleanly with what
// is complete. Cancel: abandon everything.
enum class Interruption : std::uint8_t { None, Stop, Cancel };

struct FitProgress {
    std::uint64_t epoch = 0;  // the epoch under way, or the last one
    std::uint64_t trees_done = 0;  // in that epoch
    std::uint64_t trees_per_epoch = 0;
    std::uint64_t epochs = 0;
};

struct EpochEnd {
    std::uint64_t epoch = 0;
    double error = 0.0;  // mean squared training residual after the epoch
    std::optional<double> validation_error;  // on the validation rows, when the fit has them
};

class FitControl {
public:
    // Direct: lines go to stdout as they come. Queued: they, and the
    // warnings, wait for a caller that writes and issues them itself.
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
    // A warning for the caller to issue, whatever the level; queued console only.
    void warn(std::string text);
    std::vector<std::string> take_warnings();

    // A logged fit installs its channel's sender for the fit's duration.
    void install_sender(logging::Sender sender);
    void clear_sender();
    bool run_log_active() const;
    // False (message dropped) without a sender or when the receiver is gone.
    bool send(logging::LogMessage message) const;

    // A cancel overrides a stop, never the other way round.
    void interrupt(Interruption why);
    Interruption interruption() const { return interruption_.load(std::memory_order_relaxed); }
    const std::atomic<Interruption>& interruption_flag() const { return interruption_; }

    void plan(std::uint64_t epochs, std::uint64_t trees_per_epoch);
    void start_epoch(std::uint64_t epoch);
    void tree_done() { trees_done_.fetch_add(1, std::memory_order_relaxed); }
    FitProgress progress() const;

    // From now on every end_epoch waits until the caller has taken and
    // acknowledged it, so a caller that stops the fit there gets that epoch.
    void report_epochs();
    // Returns once acknowledged or interrupted; at once when not reporting.
    void end_epoch(EpochEnd end);
    std::optional<EpochEnd> pending_epoch_end() const;
    void acknowledge_epoch_end();

    // The fit's thread is done, whichever way.
    void finish();
    bool finished() const;
    // Until finished, an epoch end is pending, or `slice` has passed.
    void wait(std::chrono::milliseconds slice) const;

private:
    const Console console_;
    std::atomic<logging::Level> level_{logging::Level::Off};
    std::atomic<Interruption> interruption_{Interruption::None};
    std::atomic<std::uint64_t> epochs_{0};
    std::atomic<std::uint64_t> trees_per_epoch_{0};
    std::atomic<std::uint64_t> epoch_{0};
    std::atomic<std::uint64_t> trees_done_{0};

    std::mutex output_mutex_;
    std::vector<std::string> lines_;
    std::vector<std::string> warnings_;

    mutable std::mutex sender_mutex_;
    std::optional<logging::Sender> sender_;

    // Guards the hand-over between the fit's thread and its caller.
    mutable std::mutex state_mutex_;
    mutable std::condition_variable changed_;
    bool reporting_epochs_ = false;
    std::optional<EpochEnd> pending_;
    bool finished_ = false;
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

// The interruption flag of the calling thread's fit, read once so that a
// loop checks it with a single relaxed load per round.
class InterruptionCheck {
public:
    InterruptionCheck();
    Interruption operator()() const {
        return flag_ == nullptr ? Interruption::None : flag_->load(std::memory_order_relaxed);
    }

private:
    const std::atomic<Interruption>* flag_;
};

// Throws FitInterrupted when the calling thread's fit is cancelled.
void throw_if_cancelled();

}  // namespace zun
