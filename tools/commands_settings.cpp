// The tool's commands of the settings and the password: settings (show and
// set by field name), password is-set / check, receive-settings.
#include "tools/command_support.h"

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>

#include "tools/input_checks.h"

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

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The values a number field declares, and the names each value goes by: the
// enumerator the tool shows (e_FaxRingAll), it without its prefixes
// (FaxRingAll, All), and a short name (all, double-and-triple).
struct DeclaredValues {
    std::uint32_t last;  // the declared values are 0 to last
    std::vector<std::vector<std::string>> names;
};

const DeclaredValues* Declared(const SettingsField& f) {
    static const DeclaredValues ring = [] {
        DeclaredValues d{4, {}};
        const char* const short_names[] = {"all", "single", "double", "triple", "double-and-triple"};
        for (std::uint32_t v = 0; v <= 4; ++v) {
            const std::string e = RingName(v);
            d.names.push_back({e, e.substr(2), e.substr(std::strlen("e_FaxRing")), short_names[v]});
        }
        return d;
    }();
    static const DeclaredValues answer = [] {
        DeclaredValues d{3, {}};
        const char* const short_names[] = {"manual", "auto", "fax-tel", "tam"};
        for (std::uint32_t v = 0; v <= 3; ++v) {
            const std::string e = AnswerName(v);
            d.names.push_back({e, e.substr(2), short_names[v]});
        }
        return d;
    }();
    static const DeclaredValues flag{1, {{"false", "no", "off"}, {"true", "yes", "on"}}};
    if (std::strcmp(f.name, "RingPattern") == 0) return &ring;
    if (std::strcmp(f.name, "AutoAnswer") == 0) return &answer;
    return &flag;  // PulseDialing, bThumbFirst, bPrintConfigReport
}

// Sets one field from its text. A number outside the declared values is
// taken as it is (the device gets it unchanged), with a warning.
bool ParseSetting(const SettingsField& f, const std::string& text, DEFAULT_FAX_SETTINGS& s, std::string& error,
                  std::string* warning = nullptr) {
    char* base = reinterpret_cast<char*>(&s) + f.text_offset;
    if (f.width) {
        const std::string value = FromTextForm(text);
        if (!FitsField(value, f.width, f.name, error)) return false;
        std::memset(base, 0, f.width);
        std::memcpy(base, value.data(), value.size());
        return true;
    }
    const DeclaredValues* declared = Declared(f);
    std::uint32_t v = 0;
    bool named = false;
    for (std::uint32_t i = 0; i < declared->names.size() && !named; ++i)
        for (const std::string& n : declared->names[i])
            if (SameName(n, text)) {
                v = i;
                named = true;
            }
    if (!named) {
        if (!ParseNumber(text, v)) {
            std::string names;
            for (const auto& n : declared->names) names += (names.empty() ? "" : ", ") + n.front();
            error = std::string(f.name) + " takes a number or one of " + names + ", not '" + text + "'";
            return false;
        }
        if (v > declared->last && warning)
            *warning = std::string(f.name) + "=" + text + " is none of the declared values (0 to " +
                       std::to_string(declared->last) + "); the device gets it unchanged";
    }
    std::memcpy(base, &v, 4);
    return true;
}

int ShowSettings(const Output& out, const DEFAULT_FAX_SETTINGS& st, FAXSTATUS s, bool show_password,
                 const JsonObject& inputs) {
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
    }, Diagnose(s, "settings"), inputs);
}

}  // namespace

int RunSettings(const Output& out, const Parsed& args) {
    const bool show_password = args.Has("--show-password");
    const Args& rest = args.positional;
    if (!rest.empty() && rest[0] != "set") return out.Usage("unknown settings subcommand '" + rest[0] + "'");
    const bool set = !rest.empty();
    if (set && rest.size() == 1) return out.Usage("settings set needs FIELD=VALUE");

    // Parse every assignment before the device is asked anything.
    std::vector<std::pair<const SettingsField*, std::string>> changes;
    std::vector<std::string> warnings;
    for (std::size_t i = 1; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        const auto eq = a.find('=');
        if (eq == std::string::npos) return out.Usage("'" + a + "' is not FIELD=VALUE");
        const std::string name = a.substr(0, eq);
        const SettingsField* field = nullptr;
        for (const auto& f : kSettingsFields)
            if (SameName(name, f.name)) field = &f;
        if (!field) return out.Usage("no settings field '" + name + "'");
        std::string value = a.substr(eq + 1);
        if (std::strcmp(field->name, "Password") == 0 && value == "-" && !ReadHidden("New fax password: ", value))
            return out.Usage("no password on standard input");
        changes.emplace_back(field, value);
    }
    DEFAULT_FAX_SETTINGS probe;
    std::memset(&probe, 0, sizeof(probe));
    for (const auto& c : changes) {
        std::string error, warning;
        if (!ParseSetting(*c.first, c.second, probe, error, &warning)) return out.Usage(error);
        // The device shows its clock in one form and reads back only that.
        if (std::strcmp(c.first->name, "DeviceDateTime") == 0 && !IsDeviceTime(FromTextForm(c.second)))
            return out.Usage(std::string("DeviceDateTime takes the form ") + kDeviceTimeForm +
                             ", as the device shows it, not '" + c.second + "'");
        if (!warning.empty()) {
            std::fprintf(stderr, "tessaline settings: warning: %s\n", warning.c_str());
            warnings.push_back(JsonString(warning));
        }
    }

    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    DEFAULT_FAX_SETTINGS st;
    std::memset(&st, 0, sizeof(st));
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    out.Attempt([&] {
        fax->ReadFaxSettings(&st, &s);
        return s;
    });
    if (set && s == FAXSTATUS_OK) {
        for (const auto& c : changes) {
            std::string error;
            ParseSetting(*c.first, c.second, st, error);
        }
        out.Attempt([&] {
            fax->SaveFaxSettings(&st, &s);
            return s;
        });
        if (s == FAXSTATUS_OK) {
            DEFAULT_FAX_SETTINGS saved;
            std::memset(&saved, 0, sizeof(saved));
            out.Attempt([&] {
                fax->ReadFaxSettings(&saved, &s);
                return s;
            });
            st = saved;
        }
    }
    JsonObject inputs;
    if (!warnings.empty()) inputs.Raw("warnings", JsonArray(warnings));
    return ShowSettings(out, st, s, show_password, inputs);
}

int RunPassword(const Output& out, const Parsed& args) {
    const Args& words = args.positional;
    if (words.size() != 1 || (words[0] != "is-set" && words[0] != "check"))
        return out.Usage("password takes 'is-set' or 'check'");
    Ref<IUSBFAX> fax;
    if (words[0] == "is-set") {
        if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
        unsigned int is_set = 0;
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        out.Attempt([&] {
            fax->CheckFaxPasswordSet(&is_set, &s);
            return s;
        });
        return out.Finish(s, JsonObject().Bool("set", is_set != 0),
                          [&] { std::printf("%s\n", is_set ? "a fax password is set" : "no fax password is set"); },
                          Diagnose(s, "password"));
    }
    std::string password;
    if (!ReadHidden("Fax password: ", password))
        return out.Usage("password check reads the password from standard input");
    if (password.find('\0') != std::string::npos) return out.Usage("the password holds a zero byte");
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    unsigned int passed = 0;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    out.Attempt([&] {
        fax->CheckFaxPassword(password.data(), &passed, &s);
        return s;
    });
    return out.Finish(s, JsonObject().Bool("passed", passed != 0),
                      [&] { std::printf("%s\n", passed ? "the password is correct" : "the password is wrong"); },
                      Diagnose(s, "password"), JsonObject(), passed ? 0 : kWrongPassword);
}

int RunReceiveSettings(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("receive-settings takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    TSL_ULONG value = 0;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    out.Attempt([&] {
        fax->GetFaxReceiveSettings(&value, &s);
        return s;
    });
    return out.Finish(s, JsonObject().Num("value", value), [&] {
        std::printf("%lu (0x%08lx)\n", static_cast<unsigned long>(value), static_cast<unsigned long>(value));
    }, Diagnose(s, "receive-settings"));
}

}  // namespace cli
