#pragma once
// The run log of one boosted fit: the writer, the channel and the installed
// sender, from the start of the run to the final drain and flush.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "fit_control.hpp"
#include "logging/channel.hpp"
#include "logging/run_logger.hpp"

namespace zun::logging {

class LoggedRun {
public:
    // Starts the run on `writer` (which may throw IoError) and only then
    // installs the channel's sender into the fit's context, so a failed start
    // leaves no sender behind.
    LoggedRun(std::unique_ptr<RunLogger> writer, const std::string& params_json, std::uint64_t n_rows,
              std::uint64_t n_cols, FitControl& control);
    LoggedRun(const LoggedRun&) = delete;
    LoggedRun& operator=(const LoggedRun&) = delete;
    // A run abandoned by an exception stops collecting; nothing is written.
    ~LoggedRun();

    // Drains the channel into the writer, removes the sender and flushes,
    // with the run's notes when given; the flush error, or nullopt on
    // success. Call once.
    std::optional<std::string> finish(const std::optional<std::string>& notes = std::nullopt);

private:
    std::unique_ptr<RunLogger> writer_;
    FitControl& control_;
    std::optional<Receiver> receiver_;
    bool collecting_ = false;
};

}  // namespace zun::logging
