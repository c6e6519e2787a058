// The simulated firmware's record of the traffic it saw.
#include "sim/traffic_recorder.h"

#include <algorithm>

namespace sim {

void TrafficRecorder::SetRecording(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    recording_ = on;
}

bool TrafficRecorder::Recording() const {
    std::lock_guard<std::mutex> g(mu_);
    return recording_;
}

std::vector<Transfer> TrafficRecorder::Transfers() const {
    std::lock_guard<std::mutex> g(mu_);
    return transfers_;
}

void TrafficRecorder::Clear() {
    std::lock_guard<std::mutex> g(mu_);
    transfers_.clear();
    conversations_.clear();
    seen_.clear();
}

std::vector<Conversation> TrafficRecorder::Conversations(std::size_t last) const {
    std::lock_guard<std::mutex> g(mu_);
    const std::size_t from = last == 0 || last >= seen_.size() ? 0 : seen_.size() - last;
    return std::vector<Conversation>(seen_.begin() + static_cast<std::ptrdiff_t>(from), seen_.end());
}

void TrafficRecorder::Request(std::uint64_t id, Channel channel, std::uint32_t command, std::string text) {
    auto it = std::find_if(seen_.rbegin(), seen_.rend(), [&](const Conversation& c) { return c.connection == id; });
    if (it == seen_.rend()) {
        if (seen_.size() >= kKeptConversations) seen_.erase(seen_.begin());
        seen_.push_back({id, channel, {}, 0});
        it = seen_.rbegin();
    }
    if (it->requests.size() >= Conversation::kMaxRequests) {
        ++it->omitted;
        return;
    }
    it->requests.push_back({command, std::move(text), std::nullopt});
}

void TrafficRecorder::Replied(std::uint64_t id, std::uint32_t status) {
    auto it = std::find_if(seen_.rbegin(), seen_.rend(), [&](const Conversation& c) { return c.connection == id; });
    if (it == seen_.rend() || it->omitted > 0 || it->requests.empty()) return;
    it->requests.back().status = status;
}

std::vector<Bytes> TrafficRecorder::FaxConversations() const {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<Bytes> out;
    for (const auto& c : conversations_) out.push_back(c.second);
    return out;
}

std::uint64_t TrafficRecorder::ProtocolErrors() const {
    std::lock_guard<std::mutex> g(mu_);
    return protocol_errors_;
}

std::uint64_t TrafficRecorder::Interleavings() const {
    std::lock_guard<std::mutex> g(mu_);
    return interleavings_;
}

std::uint64_t TrafficRecorder::FaxConnectionsOpened() const {
    std::lock_guard<std::mutex> g(mu_);
    return fax_connections_;
}

void TrafficRecorder::Wrote(std::uint64_t id, bool first, const std::uint8_t* data, std::uint32_t len) {
    if (!recording_ || len == 0) return;
    if (first) conversations_.emplace_back(id, Bytes{});
    for (auto it = conversations_.rbegin(); it != conversations_.rend(); ++it) {
        if (it->first == id) {
            it->second.insert(it->second.end(), data, data + len);
            break;
        }
    }
}

}  // namespace sim
