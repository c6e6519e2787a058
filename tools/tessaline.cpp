// tessaline: the fax device from the command line.
//
// A host like any other: it creates the automation objects through
// DllGetClassObject and calls their methods. Output is for people by
// default; --json prints one JSON object per command instead. The exit status
// is 0 for FAXSTATUS_OK, the FAXSTATUS value (1 to 11) otherwise, and 64 for a
// usage error.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <tessaline/tessaline.h>

#include "platform/device_directory.h"
#include "transport/fax_device.h"

namespace {

constexpr int kUsageError = 64;

// ---------------------------------------------------------------------------
// Output

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                // Device text is in an 8-bit code page: control characters and
                // bytes above 0x7F are written as code points, so the output is
                // always valid JSON whatever the device sent.
                if (c < 0x20 || c >= 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// One JSON object, its members in the order they were added.
class JsonObject {
public:
    JsonObject& Raw(const std::string& key, const std::string& json) {
        members_.emplace_back(key, json);
        return *this;
    }
    JsonObject& Str(const std::string& key, const std::string& value) { return Raw(key, JsonString(value)); }
    JsonObject& Num(const std::string& key, long long value) { return Raw(key, std::to_string(value)); }
    JsonObject& Bool(const std::string& key, bool value) { return Raw(key, value ? "true" : "false"); }
    std::string Text() const {
        std::string out = "{";
        for (std::size_t i = 0; i < members_.size(); ++i) {
            if (i) out += ",";
            out += JsonString(members_[i].first) + ":" + members_[i].second;
        }
        return out + "}";
    }

private:
    std::vector<std::pair<std::string, std::string>> members_;
};

std::string JsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
}

// A zero-terminated text field of `width` bytes, never read past the field.
std::string Field(const char* p, std::size_t width) {
    const void* nul = std::memchr(p, 0, width);
    return std::string(p, nul ? static_cast<const char*>(nul) - p : width);
}

const char* StatusName(FAXSTATUS s) {
    static const char* const names[] = {
        "FAXSTATUS_OK",         "FAXSTATUS_BUSY",     "FAXSTATUS_CMD_FAIL", "FAXSTATUS_NO_RESPONSE",
        "FAXSTATUS_INVALIDARGE", "FAXSTATUS_NULLPOINTER", "FAXSTATUS_BADSTATUS", "FAXSTATUS_NO_DEVICE",
        "FAXSTATUS_READ",       "FAXSTATUS_WRITE",    "FAXSTATUS_MEMALLOC", "FAXSTATUS_DISKFULL"};
    return s >= 0 && s <= 11 ? names[s] : "FAXSTATUS_UNKNOWN";
}

const char* EventName(std::int64_t e) {
    static const char* const names[] = {"e_NoFaxesAvailable", "e_ReceivedFaxAvailable", "e_FaxForwarded",
                                        "e_FaxPrinted", "e_FaxReceiveModeChanged"};
    return e >= 0 && e <= 4 ? names[e] : "unknown";
}

const char* RingName(std::int64_t v) {
    static const char* const names[] = {"e_FaxRingAll", "e_FaxRingSingle", "e_FaxRingDouble", "e_FaxRingTriple",
                                        "e_FaxRingDoubleAndTriple"};
    return v >= 0 && v <= 4 ? names[v] : "unknown";
}

const char* AnswerName(std::int64_t v) {
    static const char* const names[] = {"e_Manual", "e_Auto", "e_FaxTel", "e_TAM"};
    return v >= 0 && v <= 3 ? names[v] : "unknown";
}

std::string ChannelWhere(const plat::InterfaceClass& cls, const char* variable) {
    if (const char* named = std::getenv(variable); named && *named)
        return std::string("the device named by ") + variable + " (" + named + ")";
    return "a device socket in " + plat::ClassDirectory(cls);
}

// What a failing status means, and what to check.
std::string Advice(FAXSTATUS s, const std::string& command) {
    switch (s) {
        case FAXSTATUS_BUSY:
            return "the device is busy; try again later";
        case FAXSTATUS_CMD_FAIL:
            if (command == "get") return "the device refused the request, or the local file could not be written";
            if (command == "send") return "the device did not accept the job, or the file could not be read";
            if (command == "wait") return "the wait was cancelled, or the driver failed it";
            return "the device refused the request or answered with a reply of the wrong size";
        case FAXSTATUS_INVALIDARGE:
            return "an argument was refused: check its length";
        case FAXSTATUS_NULLPOINTER:
            if (command == "cancel")
                return "the fax channel could not be opened: looked for " +
                       ChannelWhere(GUID_DEVINTERFACE_FAX_CHANNEL, "TESSALINE_FAX_DEVICE") +
                       "; is the device (or tessaline-simd) running?";
            return "a required argument was missing";
        case FAXSTATUS_NO_DEVICE:
            if (command == "ews")
                return "the EWS channel cannot be reached: looked for " +
                       ChannelWhere(GUID_DEVINTERFACE_EWS_CHANNEL, "TESSALINE_EWS_DEVICE") +
                       "; is the device (or tessaline-simd) running?";
            return "the device cannot be reached: looked for " +
                   ChannelWhere(GUID_DEVINTERFACE_FAX_CHANNEL, "TESSALINE_FAX_DEVICE") +
                   "; is the device (or tessaline-simd) running, and is no other program holding the fax "
                   "channel's access lock? Run 'tessaline devices' to see what discovery finds";
        case FAXSTATUS_READ:
            if (command == "send")
                return "the fax file could not be opened or read, or reading from the device failed";
            return "reading from the device failed, or it answered with an unexpected status";
        case FAXSTATUS_WRITE:
            return "writing to the device failed";
        case FAXSTATUS_MEMALLOC:
            return "out of memory";
        case FAXSTATUS_DISKFULL:
            return "the device's storage is full";
        default:
            return "unexpected status";
    }
}

struct Output {
    bool json = false;
    std::string command;

    // Prints the outcome of a command and gives its exit status.
    int Finish(FAXSTATUS status, JsonObject data, const std::function<void()>& human) const {
        if (json) {
            JsonObject o;
            o.Str("command", command).Num("status", status).Str("status_name", StatusName(status));
            std::string text = o.Text();
            std::string more = data.Text();
            if (more.size() > 2) text = text.substr(0, text.size() - 1) + "," + more.substr(1);
            if (status != FAXSTATUS_OK) {
                JsonObject err;
                err.Str("error", Advice(status, command));
                text = text.substr(0, text.size() - 1) + "," + err.Text().substr(1);
            }
            std::printf("%s\n", text.c_str());
        } else if (status == FAXSTATUS_OK) {
            human();
        } else {
            std::fprintf(stderr, "tessaline %s: %s (%d): %s\n", command.c_str(), StatusName(status),
                         static_cast<int>(status), Advice(status, command).c_str());
        }
        std::fflush(stdout);
        return status == FAXSTATUS_OK ? 0 : static_cast<int>(status);
    }
};

int Usage(const std::string& message) {
    std::fprintf(stderr, "tessaline: %s\nRun 'tessaline --help' for usage.\n", message.c_str());
    return kUsageError;
}

// ---------------------------------------------------------------------------
// Objects

template <class T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
};

template <class T>
bool Create(REFCLSID clsid, REFIID iid, Ref<T>& out) {
    IClassFactory* factory = nullptr;
    if (FAILED(DllGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) return false;
    HRESULT hr = factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&out.p));
    factory->Release();
    return SUCCEEDED(hr);
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

bool ToFaxName(const std::string& name, FAX_FILENAME& out, std::string& error) {
    if (!FitsField(name, sizeof(out.faxPath), "a fax name", error)) return false;
    std::memset(&out, 0, sizeof(out));
    std::memcpy(out.faxPath, name.data(), name.size());
    return true;
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

// ---------------------------------------------------------------------------
// Commands

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* synopsis;
    const char* help;
    int (*run)(const Output& out, const Args& args);
};

int RunCount(const Output& out, const Args& args) {
    if (!args.empty()) return Usage("count takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    unsigned int count = 0;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetReceivedFaxCount(&count, &s);
    return out.Finish(s, JsonObject().Num("count", count), [&] { std::printf("%u\n", count); });
}

int RunList(const Output& out, const Args& args) {
    if (!args.empty()) return Usage("list takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAX_FILENAME names[MAX_RECEIVED_FAXES];
    std::memset(names, 0, sizeof(names));
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetReceivedFaxList(names, MAX_RECEIVED_FAXES, &s);
    std::vector<std::string> list;
    for (const FAX_FILENAME& n : names) {
        std::string name = Field(n.faxPath, sizeof(n.faxPath));
        if (name.empty()) break;  // entries are filled from the first
        list.push_back(name);
    }
    std::vector<std::string> json;
    for (const auto& n : list) json.push_back(JsonString(n));
    return out.Finish(s, JsonObject().Raw("faxes", JsonArray(json)), [&] {
        for (const auto& n : list) std::printf("%s\n", n.c_str());
    });
}

int RunGet(const Output& out, const Args& args) {
    std::string name, path;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" || args[i] == "--output") {
            if (++i >= args.size()) return Usage("-o needs a path");
            path = args[i];
        } else if (name.empty()) {
            name = args[i];
        } else {
            return Usage("get takes one fax name");
        }
    }
    if (name.empty()) return Usage("get needs a fax name");
    std::string error;
    FAX_FILENAME fax_name;
    if (!ToFaxName(name, fax_name, error)) return Usage(error);
    if (path.empty()) {
        // The device chooses its names: keep only the last component, so a
        // name can never lead outside the current directory.
        path = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
        if (path.empty() || path == "." || path == "..")
            return Usage("the fax name '" + name + "' is no file name; give one with -o");
    }
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetReceivedFax(&fax_name, path.data(), &s);
    struct stat st {};
    long long size = s == FAXSTATUS_OK && stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    return out.Finish(s, JsonObject().Str("name", name).Str("path", path).Num("bytes", size), [&] {
        std::printf("saved %s to %s (%lld bytes)\n", name.c_str(), path.c_str(), size);
    });
}

int RunRemove(const Output& out, const Args& args) {
    if (args.size() != 1) return Usage("rm takes one fax name");
    std::string error;
    FAX_FILENAME fax_name;
    if (!ToFaxName(args[0], fax_name, error)) return Usage(error);
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->RemoveReceivedFax(&fax_name, &s);
    return out.Finish(s, JsonObject().Str("name", args[0]), [&] { std::printf("removed %s\n", args[0].c_str()); });
}

int RunLog(const Output& out, const Args& args) {
    if (args.size() != 1) return Usage("log takes one fax name");
    std::string error;
    FAX_FILENAME fax_name;
    if (!ToFaxName(args[0], fax_name, error)) return Usage(error);
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAX_LOG_ENTRY e;
    std::memset(&e, 0, sizeof(e));
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetFaxLogEntry(&fax_name, &e, &s);
    const FAX_TIME& t = e.SendTime;
    JsonObject when;
    when.Num("hour", t.hour).Num("min", t.min).Num("sec", t.sec).Num("DOW", t.DOW).Num("day", t.day)
        .Num("month", t.month).Num("year", t.year);
    JsonObject data;
    data.Str("name", args[0]).Raw("SendTime", when.Text()).Num("Duration", e.Duration).Num("FAXSTATUS", e.FAXSTATUS)
        .Num("FaxType", e.FaxType).Num("Pages", e.Pages).Num("Thumbnail", e.Thumbnail)
        .Str("CIS", Field(e.CIS, sizeof(e.CIS))).Str("FileName", Field(e.FileName, sizeof(e.FileName)));
    return out.Finish(s, data, [&] {
        std::printf("SendTime    %02d:%02d:%02d  day-of-week %d  day %d  month %d  year %d\n", t.hour, t.min, t.sec,
                    t.DOW, t.day, t.month, t.year);
        std::printf("Duration    %u\nFAXSTATUS   %u\nFaxType     %u\nPages       %u\nThumbnail   %u\n", e.Duration,
                    e.FAXSTATUS, e.FaxType, e.Pages, e.Thumbnail);
        std::printf("CIS         %s\nFileName    %s\n", Field(e.CIS, sizeof(e.CIS)).c_str(),
                    Field(e.FileName, sizeof(e.FileName)).c_str());
    });
}

// The fields of DEFAULT_FAX_SETTINGS by name, for showing and setting.
struct SettingsField {
    const char* name;
    std::size_t text_offset;  // for text fields
    std::size_t width;        // 0 for a 32-bit number
};

#define TEXT_FIELD(f) {#f, offsetof(DEFAULT_FAX_SETTINGS, f), sizeof(DEFAULT_FAX_SETTINGS::f)}
#define NUMBER_FIELD(f) {#f, offsetof(DEFAULT_FAX_SETTINGS, f), 0}
const SettingsField kSettingsFields[] = {
    TEXT_FIELD(Password),      TEXT_FIELD(Prefix),       TEXT_FIELD(OutsideLineAccess),
    TEXT_FIELD(FaxName),       TEXT_FIELD(FaxNumber),    NUMBER_FIELD(RingPattern),
    NUMBER_FIELD(PulseDialing), NUMBER_FIELD(bThumbFirst), NUMBER_FIELD(bPrintConfigReport),
    NUMBER_FIELD(AutoAnswer),  TEXT_FIELD(DeviceDateTime),
};
#undef TEXT_FIELD
#undef NUMBER_FIELD

std::uint32_t NumberAt(const DEFAULT_FAX_SETTINGS& s, const SettingsField& f) {
    std::uint32_t v;
    std::memcpy(&v, reinterpret_cast<const char*>(&s) + f.text_offset, 4);
    return v;
}

std::string TextAt(const DEFAULT_FAX_SETTINGS& s, const SettingsField& f) {
    return Field(reinterpret_cast<const char*>(&s) + f.text_offset, f.width);
}

bool ParseSetting(const SettingsField& f, const std::string& value, DEFAULT_FAX_SETTINGS& s, std::string& error) {
    char* base = reinterpret_cast<char*>(&s) + f.text_offset;
    if (f.width) {
        if (!FitsField(value, f.width, f.name, error)) return false;
        std::memset(base, 0, f.width);
        std::memcpy(base, value.data(), value.size());
        return true;
    }
    static const std::map<std::string, std::uint32_t> ring = {
        {"all", 0}, {"single", 1}, {"double", 2}, {"triple", 3}, {"double-and-triple", 4}};
    static const std::map<std::string, std::uint32_t> answer = {{"manual", 0}, {"auto", 1}, {"fax-tel", 2}, {"tam", 3}};
    std::uint32_t v = 0;
    const auto* names = std::strcmp(f.name, "RingPattern") == 0 ? &ring
                        : std::strcmp(f.name, "AutoAnswer") == 0 ? &answer
                                                                 : nullptr;
    if (names && names->count(value)) {
        v = names->at(value);
    } else if (!ParseNumber(value, v)) {
        error = std::string(f.name) + " takes a number" + (names ? " or a name" : "") + ", not '" + value + "'";
        return false;
    }
    std::memcpy(base, &v, 4);
    return true;
}

int ShowSettings(const Output& out, const DEFAULT_FAX_SETTINGS& st, FAXSTATUS s, bool show_password) {
    JsonObject data;
    for (const SettingsField& f : kSettingsFields) {
        if (f.width == 0) {
            data.Num(f.name, static_cast<std::int32_t>(NumberAt(st, f)));
        } else if (std::strcmp(f.name, "Password") == 0 && !show_password) {
            data.Bool("PasswordSet", st.Password[0] != 0);
        } else {
            data.Str(f.name, TextAt(st, f));
        }
    }
    return out.Finish(s, data, [&] {
        for (const SettingsField& f : kSettingsFields) {
            std::string value;
            if (f.width == 0) {
                const auto v = static_cast<std::int32_t>(NumberAt(st, f));
                value = std::to_string(v);
                if (std::strcmp(f.name, "RingPattern") == 0) value += std::string(" (") + RingName(v) + ")";
                if (std::strcmp(f.name, "AutoAnswer") == 0) value += std::string(" (") + AnswerName(v) + ")";
            } else if (std::strcmp(f.name, "Password") == 0 && !show_password) {
                value = st.Password[0] ? "(set; --show-password shows it)" : "(none)";
            } else {
                value = TextAt(st, f);
            }
            std::printf("%-20s%s\n", f.name, value.c_str());
        }
    });
}

// A password from the first line of standard input, without its line ending.
bool ReadPasswordLine(std::string& password) {
    if (!std::getline(std::cin, password) && password.empty()) return false;
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

int RunSettings(const Output& out, const Args& args) {
    bool show_password = false;
    Args rest;
    for (const auto& a : args) {
        if (a == "--show-password") {
            show_password = true;
        } else {
            rest.push_back(a);
        }
    }
    if (!rest.empty() && rest[0] != "set") return Usage("unknown settings subcommand '" + rest[0] + "'");
    const bool set = !rest.empty();
    if (set && rest.size() == 1) return Usage("settings set needs FIELD=VALUE");

    // Parse every assignment before the device is asked anything.
    std::vector<std::pair<const SettingsField*, std::string>> changes;
    for (std::size_t i = 1; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        const auto eq = a.find('=');
        if (eq == std::string::npos) return Usage("'" + a + "' is not FIELD=VALUE");
        const std::string name = a.substr(0, eq);
        const SettingsField* field = nullptr;
        for (const auto& f : kSettingsFields)
            if (name == f.name) field = &f;
        if (!field) return Usage("no settings field '" + name + "'");
        std::string value = a.substr(eq + 1);
        if (name == "Password" && value == "-" && !ReadPasswordLine(value)) return Usage("no password on standard input");
        changes.emplace_back(field, value);
    }
    DEFAULT_FAX_SETTINGS probe;
    std::memset(&probe, 0, sizeof(probe));
    for (const auto& c : changes) {
        std::string error;
        if (!ParseSetting(*c.first, c.second, probe, error)) return Usage(error);
    }

    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    DEFAULT_FAX_SETTINGS st;
    std::memset(&st, 0, sizeof(st));
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->ReadFaxSettings(&st, &s);
    if (set && s == FAXSTATUS_OK) {
        for (const auto& c : changes) {
            std::string error;
            ParseSetting(*c.first, c.second, st, error);
        }
        fax->SaveFaxSettings(&st, &s);
        if (s == FAXSTATUS_OK) {
            DEFAULT_FAX_SETTINGS saved;
            std::memset(&saved, 0, sizeof(saved));
            fax->ReadFaxSettings(&saved, &s);
            st = saved;
        }
    }
    return ShowSettings(out, st, s, show_password);
}

int RunPassword(const Output& out, const Args& args) {
    if (args.size() != 1 || (args[0] != "is-set" && args[0] != "check"))
        return Usage("password takes 'is-set' or 'check'");
    Ref<IUSBFAX> fax;
    if (args[0] == "is-set") {
        if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
        unsigned int is_set = 0;
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        fax->CheckFaxPasswordSet(&is_set, &s);
        return out.Finish(s, JsonObject().Bool("set", is_set != 0),
                          [&] { std::printf("%s\n", is_set ? "a fax password is set" : "no fax password is set"); });
    }
    std::string password;
    if (!ReadPasswordLine(password)) return Usage("password check reads the password from standard input");
    if (password.find('\0') != std::string::npos) return Usage("the password holds a zero byte");
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    unsigned int passed = 0;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->CheckFaxPassword(password.data(), &passed, &s);
    return out.Finish(s, JsonObject().Bool("passed", passed != 0),
                      [&] { std::printf("%s\n", passed ? "the password is correct" : "the password is wrong"); });
}

int RunReceiveSettings(const Output& out, const Args& args) {
    if (!args.empty()) return Usage("receive-settings takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    TSL_ULONG value = 0;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetFaxReceiveSettings(&value, &s);
    return out.Finish(s, JsonObject().Num("value", value), [&] {
        std::printf("%lu (0x%08lx)\n", static_cast<unsigned long>(value), static_cast<unsigned long>(value));
    });
}

int RunSend(const Output& out, const Args& args) {
    std::string prefix, file;
    std::vector<std::string> numbers;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!options_done && args[i] == "--prefix") {
            if (++i >= args.size()) return Usage("--prefix needs a value");
            prefix = args[i];
        } else if (!options_done && args[i] == "--") {
            options_done = true;
        } else if (file.empty()) {
            file = args[i];
        } else {
            numbers.push_back(args[i]);
        }
    }
    if (file.empty() || numbers.empty()) return Usage("send needs a FILE and at least one NUMBER");
    std::string error;
    if (!FitsField(prefix, 32, "the prefix", error)) return Usage(error);
    std::vector<FAX_RECIPIENT> to(numbers.size());
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        // An empty NUMBER stays an empty recipient; the device skips it.
        if (!FitsField(numbers[i], 32, "a number", error)) return Usage(error);
        std::memset(&to[i], 0, sizeof(to[i]));
        std::memcpy(to[i].Prefix, prefix.data(), prefix.size());
        std::memcpy(to[i].PhoneNumber, numbers[i].data(), numbers[i].size());
    }
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->SendFax(file.data(), static_cast<unsigned int>(to.size()), to.data(), &s);
    std::vector<std::string> json;
    for (const auto& n : numbers) json.push_back(JsonString(n));
    return out.Finish(s, JsonObject().Str("file", file).Raw("numbers", JsonArray(json)), [&] {
        std::printf("sent %s to %zu recipient(s); the device accepted the job\n", file.c_str(), numbers.size());
    });
}

int RunWait(const Output& out, const Args& args) {
    if (!args.empty()) return Usage("wait takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAX_STATUS_ENUM event = e_NoFaxesAvailable;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->WaitForReceivedFax(&event, &s);
    return out.Finish(s, JsonObject().Num("event", event).Str("event_name", EventName(event)),
                      [&] { std::printf("%s (%d)\n", EventName(event), static_cast<int>(event)); });
}

int RunCancel(const Output& out, const Args& args) {
    if (!args.empty()) return Usage("cancel takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->CancelIO(&s);
    return out.Finish(s, JsonObject(), [] { std::printf("pending I/O on the fax channel cancelled\n"); });
}

std::string Base64(const std::vector<unsigned char>& in) {
    static const char* const table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], table[v & 63]};
    }
    if (i + 1 == in.size()) {
        const unsigned v = in[i] << 16;
        out += {table[v >> 18], table[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        const unsigned v = (in[i] << 16) | (in[i + 1] << 8);
        out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], '='};
    }
    return out;
}

int RunEws(const Output& out, const Args& args) {
    std::optional<std::string> write_from;
    std::uint32_t read_count = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--write" && i + 1 < args.size()) {
            write_from = args[++i];
        } else if (args[i] == "--read" && i + 1 < args.size()) {
            if (!ParseNumber(args[++i], read_count) || read_count > 0x7FFFFFFF) return Usage("--read takes a count");
        } else {
            return Usage("ews takes [--write FILE|-] [--read N]");
        }
    }
    std::vector<unsigned char> data;
    if (write_from) {
        std::FILE* f = *write_from == "-" ? stdin : std::fopen(write_from->c_str(), "rb");
        if (!f) return Usage("cannot open " + *write_from + ": " + std::strerror(errno));
        unsigned char buf[65536];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof(buf), f)) > 0;) data.insert(data.end(), buf, buf + n);
        if (f != stdin) std::fclose(f);
        if (data.size() > 0x7FFFFFFF) return Usage("too much to write at once");
    }
    Ref<IIUSBEWS> ews;
    if (!Create(CLSID_IUSBEWS, IID_IIUSBEWS, ews)) return NoObject("IUSBEWS");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    int written = 0, read = 0;
    std::vector<unsigned char> got(read_count);
    ews->OpenEWS(&s);
    if (s == FAXSTATUS_OK && !data.empty()) ews->WriteEWS(data.data(), static_cast<int>(data.size()), &written, &s);
    if (s == FAXSTATUS_OK && read_count > 0) ews->ReadEWS(got.data(), static_cast<int>(read_count), &read, &s);
    FAXSTATUS closed = FAXSTATUS_CMD_FAIL;
    ews->CloseEWS(&closed);
    got.resize(static_cast<std::size_t>(read));
    JsonObject o;
    o.Num("written", written).Num("read", read).Str("data_base64", Base64(got));
    return out.Finish(s, o, [&] { std::fwrite(got.data(), 1, got.size(), stdout); });
}

int RunDevices(const Output& out, const Args& args) {
    if (!args.empty()) return Usage("devices takes no arguments");
    struct ChannelView {
        const char* label;
        const plat::InterfaceClass* cls;
        const char* variable;
    } channels[] = {{"fax", &GUID_DEVINTERFACE_FAX_CHANNEL, "TESSALINE_FAX_DEVICE"},
                    {"ews", &GUID_DEVINTERFACE_EWS_CHANNEL, "TESSALINE_EWS_DEVICE"}};
    const std::string dir = plat::DeviceDirectory();
    std::vector<std::string> json_channels;
    std::string human = "device directory: " + dir + "\n";
    bool any = false;
    for (const auto& c : channels) {
        std::vector<plat::DeviceEntry> entries;
        std::string refusal;
        const plat::ClassListing listing = plat::ListDeviceInterfaces(*c.cls, entries, &refusal);
        const char* named = std::getenv(c.variable);
        std::string use;
        if (named && *named) {
            use = named;
        } else {
            for (const auto& e : entries)
                if (use.empty() && (e.state == plat::DeviceState::Live || e.state == plat::DeviceState::Unreachable))
                    use = e.path;
        }
        any |= !use.empty();
        std::vector<std::string> json_entries;
        human += std::string(c.label) + " channel: " + plat::ClassDirectory(*c.cls);
        human += listing == plat::ClassListing::Missing      ? " (absent)\n"
                 : listing == plat::ClassListing::Unreadable ? " (cannot be listed)\n"
                 : listing == plat::ClassListing::Untrusted  ? " (not searched: " + refusal + ")\n"
                                                             : "\n";
        for (const auto& e : entries) {
            const char* state = e.state == plat::DeviceState::Live        ? "live"
                                : e.state == plat::DeviceState::Stale     ? "stale"
                                : e.state == plat::DeviceState::NotASocket ? "not a socket"
                                                                          : "cannot be probed";
            human += "  " + e.path + "  " + state + "\n";
            json_entries.push_back(JsonObject().Str("path", e.path).Str("state", state).Text());
        }
        if (named && *named) human += "  " + std::string(c.variable) + " names " + named + "\n";
        human += "  an operation would use: " + (use.empty() ? std::string("none") : use) + "\n";
        JsonObject jc;
        jc.Str("channel", c.label).Str("class_directory", plat::ClassDirectory(*c.cls))
            .Str("listing", listing == plat::ClassListing::Ok          ? "ok"
                            : listing == plat::ClassListing::Missing   ? "absent"
                            : listing == plat::ClassListing::Untrusted ? "untrusted"
                                                                       : "unreadable")
            .Raw("not_searched_because", refusal.empty() ? "null" : JsonString(refusal))
            .Raw("devices", JsonArray(json_entries))
            .Raw("explicit", named && *named ? JsonString(named) : "null")
            .Raw("would_use", use.empty() ? "null" : JsonString(use));
        json_channels.push_back(jc.Text());
    }
    const FAXSTATUS s = any ? FAXSTATUS_OK : FAXSTATUS_NO_DEVICE;
    if (!out.json && !any) std::fputs(human.c_str(), stdout);
    return out.Finish(s, JsonObject().Str("device_directory", dir).Raw("channels", JsonArray(json_channels)),
                      [&] { std::fputs(human.c_str(), stdout); });
}

const Command kCommands[] = {
    {"send", "send [--prefix P] FILE NUMBER...",
     "Sends FILE (a TIFF image, sent as it is) as a fax to each NUMBER. --prefix sets the dialling prefix of\n"
     "every recipient. An empty NUMBER is passed on as a recipient without a number, which is skipped.",
     RunSend},
    {"count", "count", "Prints how many received faxes the device holds.", RunCount},
    {"list", "list", "Prints the names of the device's received faxes, one a line (nothing when there are none).",
     RunList},
    {"get", "get NAME [-o PATH]",
     "Downloads the received fax NAME into PATH (default: NAME in the current directory). An existing file\n"
     "is replaced only once the whole fax has arrived and been written.",
     RunGet},
    {"rm", "rm NAME", "Removes the received fax NAME from the device.", RunRemove},
    {"log", "log NAME", "Prints the device's fax-log entry for NAME.", RunLog},
    {"settings", "settings [--show-password] | settings set FIELD=VALUE...",
     "Shows the device's fax settings, or reads them, changes the named fields and saves them. Fields:\n"
     "Password Prefix OutsideLineAccess FaxName FaxNumber RingPattern PulseDialing bThumbFirst\n"
     "bPrintConfigReport AutoAnswer DeviceDateTime. RingPattern also takes all, single, double, triple,\n"
     "double-and-triple; AutoAnswer manual, auto, fax-tel, tam. Password=- reads the new password from\n"
     "the first line of standard input. The stored password is shown only with --show-password.",
     RunSettings},
    {"password", "password is-set | password check",
     "is-set: whether a fax password is set. check: whether the password on the first line of standard\n"
     "input is the device's fax password (a wrong one is a successful call that says so).",
     RunPassword},
    {"receive-settings", "receive-settings", "Prints the device's receive-settings value.", RunReceiveSettings},
    {"wait", "wait", "Waits, without a time limit, until the device reports a fax event, and prints it.", RunWait},
    {"cancel", "cancel", "Cancels the I/O pending on the fax channel, releasing a waiting 'tessaline wait'.",
     RunCancel},
    {"ews", "ews [--write FILE|-] [--read N]",
     "Opens the EWS channel, writes FILE (or standard input), reads N bytes to standard output, closes.\n"
     "A read waits until N bytes have arrived.",
     RunEws},
    {"devices", "devices",
     "Shows where discovery looks, the devices present in each channel class, and which one an\n"
     "operation would use. A directory that others can write, or that belongs to another user, is not\n"
     "searched; it is shown with the reason.",
     RunDevices},
};

void PrintHelp() {
    std::printf(
        "Usage: tessaline [--json] COMMAND [ARGS...]\n\n"
        "Drives the fax function of a USB multifunction printer.\n\nCommands:\n");
    for (const Command& c : kCommands) std::printf("  %s\n", c.synopsis);
    std::printf(
        "\nOptions:\n"
        "  --json     print one JSON object per command, with \"status\" and \"status_name\"\n"
        "  --help     this help; 'tessaline COMMAND --help' for a command's\n\n"
        "Exit status: 0 on FAXSTATUS_OK, else the FAXSTATUS value (1 to 11); 64 for a usage error.\n\n"
        "Environment:\n"
        "  TESSALINE_DEVICE_DIR   device directory (default $XDG_RUNTIME_DIR/tessaline, else /run/tessaline)\n"
        "  TESSALINE_FAX_DEVICE   device path of the fax channel, skipping discovery\n"
        "  TESSALINE_EWS_DEVICE   device path of the EWS channel, skipping discovery\n"
        "  TESSALINE_DIAGNOSTICS  where discovery messages go: stderr (this tool's default) or none\n");
}

}  // namespace

int main(int argc, char** argv) {
    Output out;
    Args args;
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            out.json = true;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else {
            args.push_back(a);
        }
    }
    // The library's discovery messages must never mix with this tool's output.
    const char* diagnostics = std::getenv("TESSALINE_DIAGNOSTICS");
    if (!diagnostics || std::strcmp(diagnostics, "none") != 0) setenv("TESSALINE_DIAGNOSTICS", "stderr", 1);

    if (args.empty()) {
        if (help) {
            PrintHelp();
            return 0;
        }
        return Usage("no command given");
    }
    for (const Command& c : kCommands) {
        if (args[0] != c.name) continue;
        if (help) {
            std::printf("Usage: tessaline [--json] %s\n\n%s\n", c.synopsis, c.help);
            return 0;
        }
        out.command = c.name;
        return c.run(out, Args(args.begin() + 1, args.end()));
    }
    return Usage("unknown command '" + args[0] + "'");
}
