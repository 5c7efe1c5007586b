#pragma once
// An unbounded multi-producer, single-consumer queue of run log messages.
// Senders never block beyond a short lock and never lose a message while the
// receiver lives; messages of one sender keep their order.
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "logging/log_message.hpp"

namespace zun::logging {

namespace detail {
struct ChannelState {
    std::mutex mutex;
    std::deque<LogMessage> queue;
    bool receiver_alive = true;
};
}  // namespace detail

class Receiver;

// Copies send into the same channel.
class Sender {
public:
    // False when the receiver is gone; the message is then dropped.
    bool send(LogMessage message) const;

private:
    explicit Sender(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
    friend std::pair<Sender, Receiver> make_channel();

    std::shared_ptr<detail::ChannelState> state_;
};

class Receiver {
public:
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&&) noexcept;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    // Closes the channel: later sends fail, queued messages are dropped.
    ~Receiver();

    // The oldest message, or nullopt when the queue is empty; never waits.
    std::optional<LogMessage> try_receive();

private:
    explicit Receiver(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
    friend std::pair<Sender, Receiver> make_channel();
    void close();

    std::shared_ptr<detail::ChannelState> state_;
};

std::pair<Sender, Receiver> make_channel();

}  // namespace zun::logging
