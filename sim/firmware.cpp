// The simulated firmware's sessions: opening and closing the connections of
// the fronts, handing each request to the side of its channel, and the two
// device-control requests (the received-fax event source).
#include "sim/firmware.h"

#include <algorithm>

#include "base/byte_order.h"
#include "sim/firmware_parts.h"

namespace sim {
using namespace fw;

Firmware::Firmware() = default;
Firmware::~Firmware() = default;

void Firmware::SetWakeup(std::function<void()> wake) {
    std::lock_guard<std::mutex> g(mu_);
    state_.wake_ = std::move(wake);
}

Firmware::SessionId Firmware::Open(Channel channel) {
    std::lock_guard<std::mutex> g(mu_);
    auto s = std::make_unique<Session>();
    s->id = next_session_++;
    s->channel = channel;
    if (channel == Channel::Fax) traffic_.FaxOpened();
    SessionId id = s->id;
    sessions_[id] = std::move(s);
    return id;
}

void Firmware::Close(SessionId id) {
    std::lock_guard<std::mutex> g(mu_);
    traffic_.Closed(id);
    sessions_.erase(id);
}

std::size_t Firmware::OpenConnections() const {
    std::lock_guard<std::mutex> g(mu_);
    return sessions_.size();
}

void Firmware::Record(Transfer t) {
    std::lock_guard<std::mutex> g(mu_);
    traffic_.Add(std::move(t));
}

Outcome Firmware::OnWrite(SessionId id, const std::uint8_t* data, std::uint32_t len) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return Outcome::Failed(kErrorGenFailure);
    Session& s = *it->second;
    return s.channel == Channel::Fax ? mfp1_.Write(s, data, len) : ews_.Write(s, data, len);
}

Outcome Firmware::OnRead(SessionId id, std::uint32_t max) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return Outcome::Failed(kErrorGenFailure);
    Session& s = *it->second;
    return s.channel == Channel::Fax ? mfp1_.Read(s, max) : ews_.Read(s, max);
}

std::optional<Outcome> Firmware::RetryPending(SessionId id, Kind kind, std::uint32_t code, std::uint32_t max) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return std::nullopt;
    Session& s = *it->second;
    Outcome o;
    if (kind == Kind::Read) {
        if (s.Available() == 0) return std::nullopt;
        o.data = s.Take(std::min<std::size_t>(max, s.Available()));
        return o;
    }
    if (kind == Kind::Control && code == kIoctlWaitForReceivedFax && !state_.events_.empty()) {
        o.data.assign(16, 0);
        wire::StoreBE32(o.data.data() + 4, state_.events_.front());
        state_.events_.pop_front();
        return o;
    }
    return std::nullopt;
}

Outcome Firmware::OnControl(SessionId id, std::uint32_t code, const Bytes& in, std::uint32_t out_cap) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return Outcome::Failed(kErrorGenFailure);
    Session& s = *it->second;
    if (s.channel != Channel::Fax) return Outcome::Failed(kErrorInvalidFunction);

    // Control requests are scripted by their control code.
    std::optional<std::uint32_t> short_reply;  // ShortTransfer: the bytes a wait's reply is cut to
    if (const Rule* r = script_.FireControl(code)) {
        switch (r->fault) {
            case Fault::FailTransfer: return Outcome::Failed(r->value ? r->value : kErrorGenFailure);
            case Fault::DropConnection: return Outcome::With(Outcome::Drop);
            case Fault::Stall: return Outcome::With(Outcome::Stall);
            case Fault::ShortTransfer: short_reply = r->value; break;
            default: break;
        }
    }

    std::deque<std::uint32_t>& events = state_.events_;
    Outcome o;
    if (code == kIoctlWaitForReceivedFax) {
        if (in.size() != 4 || wire::LoadLE32(in.data()) != 16 || out_cap < 16) {
            traffic_.ProtocolError();
            return Outcome::Failed(kErrorInvalidParameter);
        }
        if (short_reply) {
            // Completes at once, carrying the next event (if any) in a reply
            // cut below its full 16 bytes.
            o.data.assign(16, 0);
            if (!events.empty()) {
                wire::StoreBE32(o.data.data() + 4, events.front());
                events.pop_front();
            }
            o.data.resize(std::min<std::uint32_t>(*short_reply, 15));
            return o;
        }
        if (events.empty()) {
            o.action = Outcome::Pend;
            return o;
        }
        o.data.assign(16, 0);
        wire::StoreBE32(o.data.data() + 4, events.front());
        events.pop_front();
        return o;
    }
    if (code == kIoctlCancelIo) {
        if (in.size() != 4 || wire::LoadLE32(in.data()) != 2) {
            traffic_.ProtocolError();
            return Outcome::Failed(kErrorInvalidParameter);
        }
        o.cancel_others = true;
        return o;
    }
    return Outcome::Failed(kErrorInvalidFunction);
}

}  // namespace sim
