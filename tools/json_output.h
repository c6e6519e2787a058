// JSON text for the tool's --json output: text kept as it is where it is
// valid UTF-8 and given in a lossless hexadecimal form where it is not,
// objects that keep their members in order, arrays.
#ifndef TESSALINE_TOOLS_JSON_OUTPUT_H
#define TESSALINE_TOOLS_JSON_OUTPUT_H

#include <string>
#include <utility>
#include <vector>

namespace cli {

// Text that is not valid UTF-8 (device text in another code page), and text
// that itself starts with this prefix, travels as the prefix followed by two
// lower-case hexadecimal digits per byte. Commands read the same form back
// wherever they take a fax name or a settings text, so every name a listing
// prints works as their input.
inline constexpr char kHexTextPrefix[] = "hex:";

bool IsUtf8(const std::string& s);
// `s` itself, or its hexadecimal form.
std::string TextForm(const std::string& s);
// The bytes a text form stands for: the decoded bytes of "hex:" and an even
// number of hexadecimal digits, anything else as it is.
std::string FromTextForm(const std::string& s);

// A JSON string holding the text form of `s`, with the characters JSON
// requires escaped.
std::string JsonString(const std::string& s);

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
    // The members of `other`, after these.
    JsonObject& Append(const JsonObject& other) {
        members_.insert(members_.end(), other.members_.begin(), other.members_.end());
        return *this;
    }
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

std::string JsonArray(const std::vector<std::string>& items);

}  // namespace cli

#endif
