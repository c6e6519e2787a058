// The one command-line parser of the tool's commands. Every command declares
// its options; every option may be written --name=VALUE or --name VALUE (a
// one-letter alias as -x VALUE or -xVALUE); "--" ends the options; --json and
// --help are understood by every command, before or after its arguments.
#ifndef TESSALINE_TOOLS_OPTIONS_H
#define TESSALINE_TOOLS_OPTIONS_H

#include <map>
#include <string>
#include <vector>

namespace cli {

struct OptionSpec {
    const char* name;        // "--prefix"
    char short_name = 0;     // 'o' for -o, or 0
    bool takes_value = false;
};

struct Parsed {
    std::vector<std::string> positional;
    // Each option given, by its long name, with its values in order ("" for
    // an option without a value).
    std::map<std::string, std::vector<std::string>> options;
    bool json = false;
    bool help = false;

    bool Has(const std::string& name) const { return options.count(name) != 0; }
    // The last value given for `name`, or `fallback`.
    std::string Value(const std::string& name, const std::string& fallback = "") const {
        auto it = options.find(name);
        return it == options.end() || it->second.empty() ? fallback : it->second.back();
    }
};

// Parses `args` against `specs`. False, with the complaint in `error`, for an
// unknown option, a value missing or given to an option that takes none.
bool ParseOptions(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs, Parsed& out,
                  std::string& error);

}  // namespace cli

#endif
