// The journal of faxes sent and stored, and reading it back.
#include "tools/journal.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "tools/os/files.h"
#include "tools/os/process.h"

namespace cli {

std::string JournalPath() {
    if (const char* named = std::getenv("TESSALINE_JOURNAL"); named && *named)
        return std::string(named) == "none" ? std::string() : std::string(named);
    return DefaultJournalPath();
}

void Journal(const std::string& event, const JsonObject& entry) {
    const std::string path = JournalPath();
    if (path.empty()) return;
    std::tm tm{};
    char when[32] = "";
    if (LocalTime(std::time(nullptr), tm)) std::strftime(when, sizeof(when), "%Y-%m-%dT%H:%M:%S", &tm);
    const std::string line = JsonObject().Str("time", when).Str("event", event).Append(entry).Text() + "\n";
    static bool said = false;
    if (const std::string why = AppendLine(path, line); !why.empty() && !said) {
        said = true;
        std::fprintf(stderr, "tessaline: warning: the journal %s is not written: %s\n", path.c_str(), why.c_str());
    }
}

void JournalStored(const std::string& event, const std::string& name, const std::string& path, int pages) {
    JsonObject entry;
    const std::string absolute = path == "-" ? std::string() : ResolvedPath(path);
    entry.Str("name", name).Str("path", absolute.empty() ? path : absolute);
    if (pages > 0) entry.Num("pages", pages);
    entry.Num("exit_status", 0);
    Journal(event, entry);
}

namespace {

void SkipSpace(const std::string& s, std::size_t& i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
}

// A JSON string at s[i] (the opening quote), unescaped into `out`. \u
// escapes of the control characters the writer makes come back as bytes.
bool ReadString(const std::string& s, std::size_t& i, std::string& out) {
    if (i >= s.size() || s[i] != '"') return false;
    out.clear();
    for (++i; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            ++i;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= s.size()) return false;
        switch (s[i]) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (i + 4 >= s.size()) return false;
                const unsigned long v = std::strtoul(s.substr(i + 1, 4).c_str(), nullptr, 16);
                if (v < 0x80) out += static_cast<char>(v);
                i += 4;
                break;
            }
            default: out += s[i];
        }
    }
    return false;
}

// Any JSON value at s[i], kept as its text.
bool SkipValue(const std::string& s, std::size_t& i) {
    SkipSpace(s, i);
    if (i >= s.size()) return false;
    if (s[i] == '"') {
        std::string ignored;
        return ReadString(s, i, ignored);
    }
    if (s[i] == '{' || s[i] == '[') {
        int depth = 0;
        for (; i < s.size(); ++i) {
            if (s[i] == '"') {
                std::string ignored;
                if (!ReadString(s, i, ignored)) return false;
                --i;
            } else if (s[i] == '{' || s[i] == '[') {
                ++depth;
            } else if (s[i] == '}' || s[i] == ']') {
                if (--depth == 0) {
                    ++i;
                    return true;
                }
            }
        }
        return false;
    }
    const std::size_t start = i;
    while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && s[i] != ' ') ++i;
    return i > start;
}

}  // namespace

bool ParseJournalLine(const std::string& line, std::map<std::string, std::string>& members) {
    members.clear();
    std::size_t i = 0;
    SkipSpace(line, i);
    if (i >= line.size() || line[i] != '{') return false;
    ++i;
    SkipSpace(line, i);
    if (i < line.size() && line[i] == '}') return true;
    for (;;) {
        SkipSpace(line, i);
        std::string key;
        if (!ReadString(line, i, key)) return false;
        SkipSpace(line, i);
        if (i >= line.size() || line[i] != ':') return false;
        ++i;
        SkipSpace(line, i);
        std::string value;
        if (i < line.size() && line[i] == '"') {
            if (!ReadString(line, i, value)) return false;
        } else {
            const std::size_t start = i;
            if (!SkipValue(line, i)) return false;
            value = line.substr(start, i - start);
        }
        members[key] = value;
        SkipSpace(line, i);
        if (i < line.size() && line[i] == ',') {
            ++i;
            continue;
        }
        if (i >= line.size() || line[i] != '}') return false;
        ++i;
        SkipSpace(line, i);
        return i == line.size();
    }
}

std::vector<JournalEntry> ReadJournal(const std::string& text, std::size_t last) {
    std::vector<JournalEntry> entries;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        JournalEntry e;
        e.line = text.substr(start, end - start);
        if (!e.line.empty() && e.line.back() == '\r') e.line.pop_back();
        if (ParseJournalLine(e.line, e.members)) entries.push_back(std::move(e));
        start = end + 1;
    }
    if (last > 0 && entries.size() > last) entries.erase(entries.begin(), entries.end() - static_cast<long>(last));
    return entries;
}

}  // namespace cli
