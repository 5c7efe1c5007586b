#include "logging/channel.hpp"

namespace zun::logging {

bool Sender::send(LogMessage message) const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->receiver_alive) {
        return false;
    }
    state_->queue.push_back(std::move(message));
    return true;
}

Receiver& Receiver::operator=(Receiver&& other) noexcept {
    if (this != &other) {
        close();
        state_ = std::move(other.state_);
    }
    return *this;
}

Receiver::~Receiver() { close(); }

void Receiver::close() {
    if (!state_) {
        return;
    }
    std::deque<LogMessage> dropped;
    {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        state_->receiver_alive = false;
        dropped.swap(state_->queue);
    }
    state_.reset();
}

std::optional<LogMessage> Receiver::try_receive() {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->queue.empty()) {
        return std::nullopt;
    }
    LogMessage message = std::move(state_->queue.front());
    state_->queue.pop_front();
    return message;
}

std::pair<Sender, Receiver> make_channel() {
    auto state = std::make_shared<detail::ChannelState>();
    return {Sender(state), Receiver(state)};
}

}  // namespace zun::logging
