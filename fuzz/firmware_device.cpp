// The well-behaved device behind the fuzzing front: the simulated firmware,
// driven request by request, and what it saw and answered.
#include "fuzz/firmware_device.h"

namespace fuzz {

void FirmwareDevice::Connected() {
    session_ = firmware_.Open(sim::Channel::Fax);
    conversations_.emplace_back();
}

Completion FirmwareDevice::Answer(const Request& request) {
    sim::Outcome o;
    if (request.kind == kWrite) {
        conversations_.back().insert(conversations_.back().end(), request.in, request.in + request.in_len);
        o = firmware_.OnWrite(session_, request.in, request.in_len);
    } else if (request.kind == kRead) {
        o = firmware_.OnRead(session_, request.out_len);
    } else {
        o = firmware_.OnControl(session_, request.code, Bytes(request.in, request.in + request.in_len),
                                request.out_len);
    }
    Completion c;
    switch (o.action) {
        case sim::Outcome::Complete:
            c.count = o.count;
            c.data = std::move(o.data);
            served_.insert(served_.end(), c.data.begin(), c.data.end());
            break;
        case sim::Outcome::Fail:
            c.action = Completion::Fail;
            c.error = o.error;
            break;
        case sim::Outcome::Drop:
            c.action = Completion::Drop;
            break;
        case sim::Outcome::Stall:
        case sim::Outcome::Pend:
            // The host asked for something that is not coming (a read with
            // no reply due, a wait with no event). Failing it at once keeps
            // the run from waiting forever.
            c.action = Completion::Fail;
            c.error = sim::kErrorGenFailure;
            break;
    }
    return c;
}

void FirmwareDevice::Closed() { firmware_.Close(session_); }

}  // namespace fuzz
