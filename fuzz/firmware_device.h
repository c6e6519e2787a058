// A well-behaved device behind the fuzzing front: the simulated firmware,
// driven request by request. It keeps what the host wrote on each connection
// and what the device sent back, for the fuzz targets' checks and for
// making seed inputs out of real replies.
#ifndef TESSALINE_FUZZ_FIRMWARE_DEVICE_H
#define TESSALINE_FUZZ_FIRMWARE_DEVICE_H

#include <vector>

#include "fuzz/fuzz_front.h"
#include "sim/firmware.h"

namespace fuzz {

class FirmwareDevice final : public Responder {
public:
    sim::Firmware& firmware() { return firmware_; }

    // Forgets what was recorded.
    void Clear() {
        conversations_.clear();
        served_.clear();
    }
    // The bytes the host wrote, one entry per connection, in order.
    const std::vector<Bytes>& conversations() const { return conversations_; }
    // Every byte the device returned to reads and control requests, in order.
    const Bytes& served() const { return served_; }

    void Connected() override;
    Completion Answer(const Request& request) override;
    void Closed() override;

private:
    sim::Firmware firmware_;
    sim::Firmware::SessionId session_ = 0;
    std::vector<Bytes> conversations_;
    Bytes served_;
};

}  // namespace fuzz

#endif
