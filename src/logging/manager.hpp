#pragma once
// The process-wide logging sink: while a logged fit runs it holds the sending
// end of the run log channel, and every producer sends through it. With no
// sender installed every send is a cheap no-op.
#include "logging/channel.hpp"
#include "logging/log_message.hpp"
#include "logging/run_logger.hpp"

namespace zun::logging {

// Replaces any installed sender.
void install_sender(Sender sender);
void clear_sender();
bool is_logging_active();

// True when the message was handed to the channel, or to the thread's held
// output while a sender is installed; false (message dropped) when no sender
// is installed or the receiver is gone.
bool send_message(LogMessage message);

// Hands every queued message to the matching writer operation, in arrival
// order, on the calling thread; stops when the queue is empty.
void drain_messages(Receiver& receiver, RunLogger& writer);

}  // namespace zun::logging
