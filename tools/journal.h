// The journal: one JSON line for each fax sent, and for each fax stored by
// receive or get, appended to a file of the user's (by default
// $XDG_STATE_HOME/tessaline/journal.jsonl, and journal.jsonl in
// %LOCALAPPDATA%\Tessaline on Windows; TESSALINE_JOURNAL names another,
// "none" turns it off). Each line is written with one append, so lines of
// commands running at once never mix; writing it never fails the command it
// records.
#ifndef TESSALINE_TOOLS_JOURNAL_H
#define TESSALINE_TOOLS_JOURNAL_H

#include <map>
#include <string>
#include <vector>

#include "tools/json_output.h"

namespace cli {

// The journal's path, or "" when it is off.
std::string JournalPath();

// Appends one entry: the time, `event` ("send", "receive", "get") and the
// members of `entry`. A journal that cannot be written is said once on
// standard error, and the command goes on.
void Journal(const std::string& event, const JsonObject& entry);

// A fax stored by `event` ("receive", "get"): its device name, the path
// (made absolute where it can be), its pages when they were counted (0: not).
void JournalStored(const std::string& event, const std::string& name, const std::string& path, int pages);

// One line of the journal read back: its text, and its top-level members
// (strings as their text, anything else as its JSON).
struct JournalEntry {
    std::string line;
    std::map<std::string, std::string> members;
};

// Reads the members of a one-line JSON object; false for anything else.
bool ParseJournalLine(const std::string& line, std::map<std::string, std::string>& members);

// The last `last` entries of the journal text (every one for 0), oldest
// first; lines that are no JSON object are passed over.
std::vector<JournalEntry> ReadJournal(const std::string& text, std::size_t last);

}  // namespace cli

#endif
