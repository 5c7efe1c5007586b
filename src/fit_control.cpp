#include "fit_control.hpp"

#include <chrono>
#include <utility>

#include "error.hpp"

namespace zun {
namespace {

FitControl*& this_thread_control() {
    thread_local FitControl* control = nullptr;
    return control;
}

}  // namespace

void FitControl::write_line(std::string line) {
    if (console_ == Console::Direct) {
        logging::write_stdout(line);
        return;
    }
    const std::lock_guard<std::mutex> lock(output_mutex_);
    lines_.push_back(std::move(line));
}

std::vector<std::string> FitControl::take_lines() {
    const std::lock_guard<std::mutex> lock(output_mutex_);
    return std::exchange(lines_, {});
}

void FitControl::warn(std::string text) {
    if (console_ == Console::Direct) {
        return;  // nobody would take it; the fit's Warn line says it
    }
    const std::lock_guard<std::mutex> lock(output_mutex_);
    warnings_.push_back(std::move(text));
}

std::vector<std::string> FitControl::take_warnings() {
    const std::lock_guard<std::mutex> lock(output_mutex_);
    return std::exchange(warnings_, {});
}

void FitControl::install_sender(logging::Sender sender) {
    const std::lock_guard<std::mutex> lock(sender_mutex_);
    sender_.reset();
    sender_.emplace(std::move(sender));
}

void FitControl::clear_sender() {
    const std::lock_guard<std::mutex> lock(sender_mutex_);
    sender_.reset();
}

bool FitControl::run_log_active() const {
    const std::lock_guard<std::mutex> lock(sender_mutex_);
    return sender_.has_value();
}

bool FitControl::send(logging::LogMessage message) const {
    // Held for the whole send, so sends of different threads are serialised.
    const std::lock_guard<std::mutex> lock(sender_mutex_);
    return sender_ && sender_->send(std::move(message));
}

void FitControl::interrupt(Interruption why) {
    Interruption current = interruption_.load(std::memory_order_relaxed);
    while (why > current && !interruption_.compare_exchange_weak(current, why, std::memory_order_relaxed)) {
    }
    // Under the lock, so a fit about to wait in end_epoch cannot miss it.
    const std::lock_guard<std::mutex> lock(state_mutex_);
    changed_.notify_all();
}

void FitControl::plan(std::uint64_t epochs, std::uint64_t trees_per_epoch) {
    epochs_.store(epochs, std::memory_order_relaxed);
    trees_per_epoch_.store(trees_per_epoch, std::memory_order_relaxed);
}

void FitControl::start_epoch(std::uint64_t epoch) {
    trees_done_.store(0, std::memory_order_relaxed);
    epoch_.store(epoch, std::memory_order_relaxed);
}

FitProgress FitControl::progress() const {
    return {epoch_.load(std::memory_order_relaxed), trees_done_.load(std::memory_order_relaxed),
            trees_per_epoch_.load(std::memory_order_relaxed), epochs_.load(std::memory_order_relaxed)};
}

void FitControl::report_epochs() {
    const std::lock_guard<std::mutex> lock(state_mutex_);
    reporting_epochs_ = true;
}

void FitControl::end_epoch(EpochEnd end) {
    std::unique_lock<std::mutex> lock(state_mutex_);
    if (!reporting_epochs_) {
        return;
    }
    pending_ = end;
    changed_.notify_all();
    // Timed slices rather than an untimed wait: that one is a newer symbol of
    // GCC 12's libstdc++ and would raise the wheel's manylinux tag past the
    // glibc 2.34 systems it installs on.
    const auto answered = [this] { return !pending_ || interruption() != Interruption::None; };
    while (!changed_.wait_for(lock, std::chrono::milliseconds(100), answered)) {
    }
}

std::optional<EpochEnd> FitControl::pending_epoch_end() const {
    const std::lock_guard<std::mutex> lock(state_mutex_);
    return pending_;
}

void FitControl::acknowledge_epoch_end() {
    const std::lock_guard<std::mutex> lock(state_mutex_);
    pending_.reset();
    changed_.notify_all();
}

void FitControl::finish() {
    const std::lock_guard<std::mutex> lock(state_mutex_);
    finished_ = true;
    changed_.notify_all();
}

bool FitControl::finished() const {
    const std::lock_guard<std::mutex> lock(state_mutex_);
    return finished_;
}

void FitControl::wait(std::chrono::milliseconds slice) const {
    std::unique_lock<std::mutex> lock(state_mutex_);
    changed_.wait_for(lock, slice, [this] { return finished_ || pending_.has_value(); });
}

FitControl* current_fit_control() { return this_thread_control(); }

FitScope::FitScope(FitControl* control) : previous_(std::exchange(this_thread_control(), control)) {}

FitScope::~FitScope() { this_thread_control() = previous_; }

InterruptionCheck::InterruptionCheck() {
    const FitControl* control = current_fit_control();
    flag_ = control == nullptr ? nullptr : &control->interruption_flag();
}

void throw_if_cancelled() {
    if (InterruptionCheck()() == Interruption::Cancel) {
        throw FitInterrupted();
    }
}

}  // namespace zun
