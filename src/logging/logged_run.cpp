#include "logging/logged_run.hpp"

#include <utility>

#include "error.hpp"
#include "logging/manager.hpp"

namespace zun::logging {

LoggedRun::LoggedRun(std::unique_ptr<RunLogger> writer, const std::string& params_json, std::uint64_t n_rows,
                     std::uint64_t n_cols, FitControl& control)
    : writer_(std::move(writer)), control_(control) {
    require(writer_ != nullptr, "LoggedRun needs a writer");
    writer_->start_run(params_json, n_rows, n_cols);
    auto [sender, receiver] = make_channel();
    receiver_.emplace(std::move(receiver));
    control_.install_sender(std::move(sender));
    collecting_ = true;
}

LoggedRun::~LoggedRun() {
    if (collecting_) {
        control_.clear_sender();
    }
}

std::optional<std::string> LoggedRun::finish(const std::optional<std::string>& notes) {
    require(collecting_, "LoggedRun::finish called twice");
    drain_messages(*receiver_, *writer_);
    if (notes) {
        writer_->log_run_notes(*notes);
    }
    control_.clear_sender();
    collecting_ = false;
    receiver_.reset();
    return writer_->flush();
}

}  // namespace zun::logging
