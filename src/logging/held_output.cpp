#include "logging/held_output.hpp"

#include <utility>

#include "logging/manager.hpp"
#include "logging/simple.hpp"

namespace zun::logging {
namespace {

HeldOutput*& this_thread_buffer() {
    thread_local HeldOutput* buffer = nullptr;
    return buffer;
}

}  // namespace

HeldOutput* held_output() { return this_thread_buffer(); }

HoldOutput::HoldOutput(HeldOutput& buffer) : previous_(std::exchange(this_thread_buffer(), &buffer)) {}

HoldOutput::~HoldOutput() { this_thread_buffer() = previous_; }

void release(HeldOutput held) {
    for (std::string& line : held.lines) {
        emit_line(std::move(line));
    }
    for (LogMessage& message : held.messages) {
        if (!send_message(std::move(message))) {
            log(Level::Warn, "zun::logging::buffers", "Failed to send logging event (channel may be closed)");
        }
    }
}

}  // namespace zun::logging
