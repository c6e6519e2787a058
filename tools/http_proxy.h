// The HTTP side of `tessaline web`, free of sockets and of the device: the
// parser of a browser's request head, the checks that decide what the proxy
// answers itself, the request head the device is sent, the parser of the
// device's response head and the framing that tells where its body ends,
// and the readers of heads and bodies over a source that yields exactly the
// bytes asked for (the EWS channel's reads wait for every byte they ask for,
// so a head is read in reads no longer than what its end still needs, and a
// body by the lengths it announces).
#ifndef TESSALINE_TOOLS_HTTP_PROXY_H
#define TESSALINE_TOOLS_HTTP_PROXY_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace web {

// The longest request or response head taken, blank line included.
inline constexpr std::size_t kMaxHead = 64 * 1024;
// The longest request body the proxy holds before it takes the channel.
inline constexpr std::uint64_t kMaxRequestBody = 16ull << 20;

struct Header {
    std::string name;
    std::string value;
};

enum class BodyKind { None, Length, Chunked };

// A browser's request, as the device is to see it: the end-to-end headers
// only (hop-by-hop headers, Expect and the framing headers are taken out).
struct Request {
    std::string method;
    std::string target;  // origin form ("/path?query") or "*"
    int minor = 1;       // HTTP/1.minor
    std::vector<Header> headers;
    BodyKind body = BodyKind::None;
    std::uint64_t length = 0;  // BodyKind::Length
    bool expect_continue = false;
    bool keep_alive = true;  // false after "Connection: close", and for HTTP/1.0
};

// Parses a request head (request line, header lines, blank line; `head`
// may or may not hold the final CRLF CRLF). Returns 0 when the request may
// go to the device, else the status the proxy answers with itself:
//   400 a malformed line or header, a missing or repeated Host, a bad
//       Content-Length, Content-Length with Transfer-Encoding
//   405 CONNECT
//   413 a body longer than kMaxRequestBody
//   417 an Expect other than 100-continue
//   421 a Host that is not this machine's loopback name
//   501 an absolute-form target, Upgrade, a transfer coding other than chunked
//   505 an HTTP version other than 1.0 and 1.1
// `why` says what was wrong, for the log and the answer's body.
int ParseRequestHead(std::string_view head, Request& out, std::string& why);

// Whether a Host header names this machine's loopback: localhost, 127.0.0.1
// or [::1], any case, with or without a port.
bool HostAllowed(std::string_view host);

// Whether `name` (any case) is a hop-by-hop header, by the fixed list or
// because the message's Connection header names it.
bool IsHopByHop(std::string_view name, const std::vector<std::string>& connection_tokens);

// The head the device is sent: the request line in origin form with
// HTTP/1.1, the end-to-end headers, and Content-Length when there is a body
// (the proxy gathers a chunked body and sends it with its length).
std::string DeviceRequestHead(const Request& r, std::uint64_t body_length);

// The device's response, from its head.
struct Response {
    int status = 0;
    std::string reason;
    std::vector<Header> headers;  // end-to-end only, Content-Length included
    BodyKind body = BodyKind::None;
    std::uint64_t length = 0;
    bool device_closes = false;  // the device said "Connection: close"
};

// Parses a response head, for a request of `method`. Returns 0, or 502 for
// a head that is broken or a response whose end cannot be told from its
// framing (no Content-Length and no chunked coding where a body may follow,
// or both at once), with `why` set. A 1xx status parses as such (the
// caller reads the next head after it); 101 is refused, as the proxy never
// asks to switch protocols.
int ParseResponseHead(std::string_view head, const std::string& method, Response& out, std::string& why);

// The head the browser is sent for `r`: HTTP/1.1, the end-to-end headers,
// Transfer-Encoding: chunked when `chunked` (and without Content-Length),
// "Connection: close" when `close`.
std::string ClientResponseHead(const Response& r, bool chunked, bool close);

// A short answer of the proxy's own, with a text body (none for HEAD),
// closing the connection when `close`. `extra` holds whole header lines.
std::string OwnResponse(int status, const std::string& text, bool head_request, bool close,
                        const std::string& extra = "");
const char* ReasonPhrase(int status);

// A source of bytes that gives exactly what is asked for or fails: the EWS
// channel, a browser's socket behind a buffer, a string in the tests.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual bool Read(std::uint8_t* data, std::size_t count) = 0;
};

enum class ReadResult {
    Ok,
    Closed,     // the source ended before the first byte (only ReadHead)
    Failed,     // the source failed or ended within the message
    TooLong,    // a head longer than its limit
    Malformed,  // a chunk line or trailer that is not HTTP
};

// Reads a head up to and including its blank line, at most `max` bytes,
// never a byte past it: each read asks for no more than the head's end
// still needs (four bytes while no part of CR LF CR LF is pending, fewer
// within it), so a head of N bytes takes about N/4 reads instead of N.
// Empty lines before the head are skipped a byte at a time (a client may
// send CRLF after a body).
ReadResult ReadHead(ByteSource& in, std::string& head, std::size_t max = kMaxHead);

// Reads a body framed as `kind` (with `length` for BodyKind::Length) and
// hands its data to `sink` in pieces of at most `piece` bytes; the chunked
// coding's size lines and trailer are read and dropped. Stops with
// TooLong once more than `max_total` data bytes would arrive.
ReadResult ReadBody(ByteSource& in, BodyKind kind, std::uint64_t length,
                    const std::function<void(const std::uint8_t*, std::size_t)>& sink,
                    std::size_t piece = 16 * 1024, std::uint64_t max_total = UINT64_MAX);

// The chunked coding's framing of one piece of data, and of its end.
std::string ChunkHeader(std::size_t size);
inline constexpr std::string_view kLastChunk = "0\r\n\r\n";

}  // namespace web

#endif
