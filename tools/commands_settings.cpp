// The tool's commands of the settings and the password: settings (show and
// set by field name), password is-set / check, receive-settings.
#include "tools/command_support.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

namespace cli {
namespace {

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

}  // namespace

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

}  // namespace cli
