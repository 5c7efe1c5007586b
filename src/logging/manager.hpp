#pragma once
// The run log's send side and its drain. While a logged fit runs, the fit's
// context (FitControl) holds the sending end of the run log channel and every
// producer working for that fit sends through it. Outside a logged fit every
// send is a cheap no-op.
#include "logging/channel.hpp"
#include "logging/log_message.hpp"
#include "logging/run_logger.hpp"

namespace zun::logging {

// True when the calling thread works for a fit whose run log is being written.
bool is_logging_active();

// True when the message was handed to the fit's channel, or to the thread's
// held output while the run log is being written; false (message dropped)
// outside a logged fit or when the receiver is gone.
bool send_message(LogMessage message);

// Hands every queued message to the matching writer operation, in arrival
// order, on the calling thread; stops when the queue is empty.
void drain_messages(Receiver& receiver, RunLogger& writer);

}  // namespace zun::logging
