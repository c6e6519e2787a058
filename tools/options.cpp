// The one command-line parser of the tool's commands.
#include "tools/options.h"

namespace cli {

bool ParseOptions(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs, Parsed& out,
                  std::string& error) {
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // "-" alone is an operand (standard input), and so is a negative number.
        const bool option_like = arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
        if (options_done || !option_like) {
            out.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--json") {
            out.json = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            out.help = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        std::string name, value;
        bool has_value = false;
        if (arg[1] == '-') {
            const std::size_t eq = arg.find('=');
            name = arg.substr(0, eq);
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                has_value = true;
            }
            for (const OptionSpec& s : specs)
                if (name == s.name) spec = &s;
        } else {
            for (const OptionSpec& s : specs)
                if (s.short_name == arg[1]) spec = &s;
            name = arg.substr(0, 2);
            if (arg.size() > 2) {
                value = arg.substr(2);
                has_value = true;
            }
            if (spec) name = spec->name;
        }
        if (!spec) {
            error = "unknown option " + (arg[1] == '-' ? name : arg.substr(0, 2));
            return false;
        }
        if (!spec->takes_value) {
            if (has_value) {
                error = std::string(spec->name) + " takes no value";
                return false;
            }
            out.options[spec->name].emplace_back();
            continue;
        }
        if (!has_value) {
            if (i + 1 >= args.size()) {
                error = std::string(spec->name) + " needs a value";
                return false;
            }
            value = args[++i];
        }
        out.options[spec->name].push_back(value);
    }
    return true;
}

}  // namespace cli
