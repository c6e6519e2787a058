// tessaline history: the journal of faxes sent and stored, as a table or
// as JSON.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/command_support.h"
#include "tools/journal.h"

namespace cli {
namespace {

std::string Member(const JournalEntry& e, const char* key) {
    const auto it = e.members.find(key);
    return it == e.members.end() ? std::string() : it->second;
}

// A numbers array as "5550100, 5550199".
std::string Numbers(const std::string& json) {
    std::map<std::string, std::string> wrapped;
    std::string out;
    // Each element is a string: reuse the line parser on {"n":"..."} pieces.
    for (std::size_t i = 0; i < json.size(); ++i) {
        if (json[i] != '"') continue;
        std::size_t end = i + 1;
        while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
        if (ParseJournalLine("{\"n\":" + json.substr(i, end - i + 1) + "}", wrapped))
            out += (out.empty() ? "" : ", ") + wrapped["n"];
        i = end;
    }
    return out;
}

}  // namespace

int RunHistory(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("history takes no arguments besides --last");
    std::uint32_t last = 0;
    if (args.Has("--last") && (!ParseNumber(args.Value("--last"), last) || last == 0 || last > 1000000))
        return out.Usage("--last takes a count of 1 or more");
    const std::string path = JournalPath();
    std::string text;
    if (!path.empty()) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream read;
        read << in.rdbuf();
        text = read.str();
    }
    const std::vector<JournalEntry> entries = ReadJournal(text, last);
    if (out.json) {
        std::vector<std::string> lines;
        for (const JournalEntry& e : entries) lines.push_back(e.line);
        JsonObject o;
        o.Str("command", "history").Raw("journal", path.empty() ? "null" : JsonString(path))
            .Raw("entries", JsonArray(lines)).Num("exit_status", 0);
        std::printf("%s\n", o.Text().c_str());
        return 0;
    }
    if (path.empty()) {
        std::fprintf(stderr, "tessaline history: the journal is off (TESSALINE_JOURNAL=none)\n");
        return 0;
    }
    if (entries.empty()) return 0;
    std::printf("%-19s  %-7s  %-5s  %-6s  %s\n", "TIME", "EVENT", "PAGES", "STATUS", "WHAT");
    for (const JournalEntry& e : entries) {
        const std::string event = Member(e, "event");
        std::string what;
        if (event == "send")
            what = Member(e, "file") + " to " + Numbers(Member(e, "numbers"));
        else
            what = Member(e, "name") + " as " + Member(e, "path");
        const std::string pages = Member(e, "pages");
        const std::string status = Member(e, "exit_status");
        std::printf("%-19s  %-7s  %5s  %-6s  %s\n", Member(e, "time").c_str(), event.c_str(),
                    pages.empty() ? "-" : pages.c_str(), status.empty() ? "-" : status.c_str(), what.c_str());
    }
    return 0;
}

}  // namespace cli
