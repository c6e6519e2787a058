// What the simulated firmware saw: every request and its completion (while
// recording), the bytes a host wrote on the fax channel per connection, and
// the counts of requests that broke the protocol, of fax conversations that
// interleaved and of fax connections opened.
#ifndef TESSALINE_SIM_TRAFFIC_RECORDER_H
#define TESSALINE_SIM_TRAFFIC_RECORDER_H

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/firmware_types.h"

namespace sim {

// One recorded request and its completion.
struct Transfer {
    std::uint64_t connection = 0;
    Channel channel = Channel::Fax;
    Kind kind = Kind::Read;
    std::uint32_t code = 0;
    std::uint32_t asked = 0;   // out_len of a read or control request
    Bytes in;                  // a write's data or a control input
    Bytes out;                 // a read's or control request's returned bytes
    std::uint32_t error = 0;
    bool completed = false;    // false: dropped, stalled and then cancelled, or never answered
};

// One request of a conversation as a person reads it: the command of a fax
// request (or an EWS request's method and path) and the status of its reply
// (an HTTP status on the EWS channel); no status for a request the device
// does not answer (a recipients list, a block of data) or has not answered.
struct RequestSeen {
    std::uint32_t command = 0;
    std::string text;  // EWS: "GET /status.json"
    std::optional<std::uint32_t> status;
};

// The requests of one connection, in order. A long conversation keeps its
// first kMaxRequests requests and counts the rest.
struct Conversation {
    static constexpr std::size_t kMaxRequests = 512;
    std::uint64_t connection = 0;
    Channel channel = Channel::Fax;
    std::vector<RequestSeen> requests;
    std::uint64_t omitted = 0;
};

// Its public side takes the firmware's lock; the firmware records with that
// lock held.
class TrafficRecorder {
public:
    explicit TrafficRecorder(std::mutex& mu) : mu_(mu) {}

    void SetRecording(bool on);
    bool Recording() const;
    std::vector<Transfer> Transfers() const;
    // Forgets the transfers and conversations recorded (the counts stay).
    void Clear();
    // Bytes the host wrote on the fax channel, concatenated per connection in
    // order of the connections' first write.
    std::vector<Bytes> FaxConversations() const;
    std::uint64_t ProtocolErrors() const;
    std::uint64_t Interleavings() const;
    std::uint64_t FaxConnectionsOpened() const;
    // The last `last` conversations (0: all those kept), oldest first. They
    // are kept whether or not the transfers are recorded, within a bound.
    std::vector<Conversation> Conversations(std::size_t last) const;
    static constexpr std::size_t kKeptConversations = 64;

    // -- With the firmware's lock held --------------------------------------
    bool recording() const { return recording_; }
    void Add(Transfer t) {
        if (recording_) transfers_.push_back(std::move(t));
    }
    void ProtocolError() { ++protocol_errors_; }
    void FaxOpened() { ++fax_connections_; }
    // A fax write of connection `id`: counts an interleaving when another
    // connection's conversation was under way.
    void FaxWriteFrom(std::uint64_t id) {
        if (conversation_ != 0 && conversation_ != id) ++interleavings_;
        conversation_ = id;
    }
    void Closed(std::uint64_t id) {
        if (conversation_ == id) conversation_ = 0;
    }
    // A request of connection `id` and, once answered, its reply's status.
    void Request(std::uint64_t id, Channel channel, std::uint32_t command, std::string text = {});
    void Replied(std::uint64_t id, std::uint32_t status);
    // Appends bytes written by connection `id`; `first` starts its record.
    void Wrote(std::uint64_t id, bool first, const std::uint8_t* data, std::uint32_t len);

private:
    std::mutex& mu_;
    bool recording_ = true;
    std::vector<Transfer> transfers_;
    std::uint64_t protocol_errors_ = 0;
    std::uint64_t interleavings_ = 0;
    std::uint64_t fax_connections_ = 0;
    std::uint64_t conversation_ = 0;  // the fax connection whose conversation is under way
    std::vector<std::pair<std::uint64_t, Bytes>> conversations_;
    std::vector<Conversation> seen_;
};

}  // namespace sim

#endif
