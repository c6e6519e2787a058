// What the tool's commands share: checks of the caller's arguments.
#include "tools/command_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace cli {

// A zero-terminated text field of `width` bytes, never read past the field.
std::string Field(const char* p, std::size_t width) {
    const void* nul = std::memchr(p, 0, width);
    return std::string(p, nul ? static_cast<const char*>(nul) - p : width);
}

int NoObject(const char* what) {
    std::fprintf(stderr, "tessaline: cannot create the %s object\n", what);
    return FAXSTATUS_MEMALLOC;
}

bool FitsField(const std::string& value, std::size_t width, const std::string& name, std::string& error) {
    if (value.size() + 1 <= width && value.find('\0') == std::string::npos) return true;
    error = name + " is at most " + std::to_string(width - 1) + " characters";
    return false;
}

bool ToFaxName(std::string& name, FAX_FILENAME& out, std::string& error) {
    name = FromTextForm(name);
    if (!FitsField(name, sizeof(out.faxPath), "a fax name", error)) return false;
    std::memset(&out, 0, sizeof(out));
    std::memcpy(out.faxPath, name.data(), name.size());
    return true;
}

void CancelFaxIo() {
    // Called from the timer's thread: the guard is made first so that the
    // object goes before the thread leaves its apartment.
    const HostThread thread;
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->CancelIO(&s);
}

std::string LogPagesText(unsigned pages) {
    return pages >= kLogPagesCap ? std::to_string(kLogPagesCap) + " or more" : std::to_string(pages);
}

void AddLogEntry(JsonObject& data, const FAX_LOG_ENTRY& e) {
    const FAX_TIME& t = e.SendTime;
    JsonObject when;
    when.Num("hour", t.hour).Num("min", t.min).Num("sec", t.sec).Num("DOW", t.DOW).Num("day", t.day)
        .Num("month", t.month).Num("year", t.year);
    data.Raw("SendTime", when.Text()).Num("Duration", e.Duration).Num("FAXSTATUS", e.FAXSTATUS)
        .Num("FaxType", e.FaxType).Num("Pages", e.Pages).Num("log_pages", e.Pages)
        .Bool("log_pages_capped", e.Pages >= kLogPagesCap).Num("Thumbnail", e.Thumbnail)
        .Str("CIS", Field(e.CIS, sizeof(e.CIS))).Str("FileName", Field(e.FileName, sizeof(e.FileName)));
}

bool ParseNumber(const std::string& text, std::uint32_t& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno || *end || v < -2147483648LL || v > 4294967295LL) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

const ChannelView kChannels[2] = {{"fax", &GUID_DEVINTERFACE_FAX_CHANNEL, "TESSALINE_FAX_DEVICE"},
                                  {"ews", &GUID_DEVINTERFACE_EWS_CHANNEL, "TESSALINE_EWS_DEVICE"}};

int FinishDevices(const Output& out, bool any, JsonObject data, const std::string& human) {
    if (!out.json && !any) std::fputs(human.c_str(), stdout);
    // The listing is what was found, present or not: printed either way.
    return out.Finish(any ? FAXSTATUS_OK : FAXSTATUS_NO_DEVICE, JsonObject(),
                      [&] { std::fputs(human.c_str(), stdout); }, {}, std::move(data));
}

std::string ChannelWhere(const TSL_DEVICE_CLASS& cls, const char* variable) {
    if (const char* named = std::getenv(variable); named && *named)
        return std::string("the device named by ") + variable + " (" + named + ")";
    return DiscoveryWhere(cls);
}

}  // namespace cli
