// The raw baseline: a client that speaks the device's channel contract
// directly, without the library. It opens the device by path (no discovery,
// no access lock) and moves the same requests, the same MFP1 headers and the
// same 4096-byte blocks as the library's operations, each request awaited
// before the next: on POSIX the 16-byte request frames and 8-byte
// completions of a device socket, on Windows overlapped reads and writes on
// the driver's channel handle. What it
// costs is what the channel and the device cost; the library's figures are
// measured against it.
#ifndef TESSALINE_BENCH_RAW_CHANNEL_H
#define TESSALINE_BENCH_RAW_CHANNEL_H

#include <cstdint>
#include <functional>
#include <string>

namespace bench {

class RawChannel {
public:
    RawChannel() = default;
    ~RawChannel() { Close(); }
    RawChannel(const RawChannel&) = delete;
    RawChannel& operator=(const RawChannel&) = delete;

    bool Connect(const std::string& path);
    void Close();

    // One write request of `len` bytes; true when the device took them all.
    bool Write(const void* data, std::uint32_t len);
    // One read request of `len` bytes; true when exactly `len` came.
    bool Read(void* data, std::uint32_t len);
    // One read request of up to `len` bytes, which completes with what the
    // device has (the EWS channel's bytes come as the device writes them);
    // `*moved` gets the count.
    bool ReadSome(void* data, std::uint32_t len, std::uint32_t* moved);

private:
    std::intptr_t channel_ = -1;  // a socket (POSIX) or a handle (Windows); -1: none
};

// Whole conversations, as the library's operations hold them, each on a
// connection of its own. True when every request went through and every
// status the operation judges was 0.

// FAXCMD_SEND_BEGIN, the recipient list (one recipient), the file in blocks,
// the end-of-data header and its reply, FAXCMD_SEND_END.
bool RawSendFax(const std::string& path, const std::uint8_t* data, std::uint32_t size, const char* number);

// FAXCMD_GET_RECEIVED with the name, then the blocks and the closing
// header. The fax goes into the buffer that `buffer_for` gives for the size
// the reply announces (nullptr: the fetch fails).
bool RawGetFax(const std::string& path, const char* name,
               const std::function<std::uint8_t*(std::uint32_t size)>& buffer_for);

// FAXCMD_LIST_RECEIVED and its payload; `*count` gets the number of names.
bool RawCount(const std::string& path, std::uint32_t* count);

}  // namespace bench

#endif
