// Fuzz target: arbitrary device replies to every operation.
//
// The input's bytes are what the device sends (see reply_ops.h for the
// layout). The host's requests go through the library's real channel layer
// to the fuzzing front, which answers each one: a write is taken whole, a
// read or device-control request gets the next bytes of the input (as many
// as it asks for, fewer when the input runs short; once it has run out, the
// request fails), and one chosen request may instead fail, come up short,
// lose its connection or claim more bytes than were asked for. The operations then parse whatever came, under
// AddressSanitizer and UndefinedBehaviorSanitizer, and reply_ops.cpp checks
// what they promise the caller.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_front.h"
#include "fuzz/reply_ops.h"

namespace {

using fuzz::Bytes;
using fuzz::Completion;
using fuzz::Request;

enum Fault : std::uint8_t { kNoFault, kFailCompletion, kShortCount, kDropConnection, kOverstatedCount, kFaults };

class ReplayDevice final : public fuzz::Responder {
public:
    void Reset(const std::uint8_t* data, std::size_t size, std::uint8_t fault, std::uint8_t fault_at) {
        data_ = data;
        size_ = size;
        pos_ = 0;
        fault_ = fault % kFaults;
        fault_at_ = fault_at;
        requests_ = 0;
        served_.clear();
    }
    const Bytes& served() const { return served_; }

    Completion Answer(const Request& request) override {
        Completion c;
        const bool write = request.kind == fuzz::kWrite;
        const std::size_t left = size_ - pos_;
        std::uint32_t n = write ? request.in_len
                                : static_cast<std::uint32_t>(request.out_len < left ? request.out_len : left);
        if (requests_++ == fault_at_) {
            switch (fault_) {
                case kFailCompletion:
                    c.action = Completion::Fail;
                    c.error = 31;
                    return c;
                case kDropConnection:
                    c.action = Completion::Drop;
                    return c;
                case kOverstatedCount:
                    c.action = Completion::Overstate;
                    return c;
                case kShortCount:
                    n /= 2;  // 0 for a request of one byte
                    break;
                default:
                    break;
            }
        }
        if (write) {
            c.count = n;
            return c;
        }
        if (request.out_len > 0 && left == 0) {
            // Nothing more to say: the request fails rather than waits.
            c.action = Completion::Fail;
            c.error = 31;
            return c;
        }
        c.data.assign(data_ + pos_, data_ + pos_ + n);
        served_.insert(served_.end(), c.data.begin(), c.data.end());
        pos_ += n;
        return c;
    }

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
    std::uint8_t fault_ = kNoFault;
    std::uint32_t fault_at_ = 0;
    std::uint32_t requests_ = 0;
    Bytes served_;
};

ReplayDevice g_device;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::Front& front = [] () -> fuzz::Front& {
        fuzz::Front& f = fuzz::TheFront();
        fuzz::PrepareReplyOps(f);
        return f;
    }();
    if (size < fuzz::kReplyInputHeader) return 0;
    const std::uint8_t op = data[0] % fuzz::kReplyOps;
    g_device.Reset(data + fuzz::kReplyInputHeader, size - fuzz::kReplyInputHeader, data[1], data[2]);
    front.SetResponder(&g_device);
    fuzz::RunReplyOp(front, op, data[3], g_device.served());
    return 0;
}
