// The simulated device's web pages, served on its EWS channel: the home
// page, the settings form, the received faxes and each fax's download, a
// style sheet, a logo, and a JSON status page for programs. The pages are
// drawn from a plain view of the device's state that the firmware fills
// under its lock; nothing here touches the firmware itself.
#ifndef TESSALINE_SIM_EWS_PAGES_H
#define TESSALINE_SIM_EWS_PAGES_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {
namespace ews {

using Bytes = std::vector<std::uint8_t>;

// The settings record's size and the fields the form shows: the text
// fields (their offset and width) and the number fields (their offset).
// The password is never shown, and the device's clock is set elsewhere.
inline constexpr std::size_t kSettingsSize = 308;

struct FaxEntry {
    std::string name;
    const Bytes* data = nullptr;  // the fax, valid while the page is drawn
    std::uint8_t log[80] = {};    // its log entry as it travels
};

struct DeviceView {
    std::string title;
    const std::uint8_t* settings = nullptr;  // kSettingsSize bytes, as the record travels
    std::string device_time;
    std::size_t sent_jobs = 0;
    std::vector<FaxEntry> faxes;
};

struct Reply {
    int status = 200;
    std::string type = "text/html; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;  // besides type, length and framing
    std::string body;
    bool chunked = false;  // sent in the chunked coding, in pieces
};

// The reply to a GET or HEAD of `path` (the target without its query).
Reply Page(const std::string& path, const DeviceView& view);

// POST /settings: applies the form `body` (application/x-www-form-urlencoded)
// to `settings`, a copy of the record. A 303 to /settings with `save` set,
// or a 400 page saying which field is wrong and `save` clear.
Reply SettingsForm(const std::string& body, std::uint8_t (&settings)[kSettingsSize], bool& save);

// A short reply of the device's own (400, 404, 405, 411, 431).
Reply Status(int status, const std::string& text);

// The reply as bytes on the channel: status line, Server, Content-Type,
// the extra headers, Content-Length or the chunked coding, Connection: close
// when `close`; the body unless `head_only`.
std::string Serialize(const Reply& r, bool head_only, bool close);

// The form's decoding: name=value pairs split on '&', '+' as a space and
// %XX as its byte. False for a % not followed by two hexadecimal digits.
bool ParseForm(const std::string& body, std::vector<std::pair<std::string, std::string>>& out);

// The logo: a PNG image, its deflate data in stored blocks (no compression
// library is needed to write it).
const Bytes& LogoPng();

}  // namespace ews
}  // namespace sim

#endif
