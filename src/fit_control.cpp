#include "fit_control.hpp"

#include <utility>

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
    const std::lock_guard<std::mutex> lock(lines_mutex_);
    lines_.push_back(std::move(line));
}

std::vector<std::string> FitControl::take_lines() {
    const std::lock_guard<std::mutex> lock(lines_mutex_);
    return std::exchange(lines_, {});
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

FitControl* current_fit_control() { return this_thread_control(); }

FitScope::FitScope(FitControl* control) : previous_(std::exchange(this_thread_control(), control)) {}

FitScope::~FitScope() { this_thread_control() = previous_; }

}  // namespace zun
