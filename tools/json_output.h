// JSON text for the tool's --json output: strings escaped so that any device
// text stays valid JSON, objects that keep their members in order, arrays.
#ifndef TESSALINE_TOOLS_JSON_OUTPUT_H
#define TESSALINE_TOOLS_JSON_OUTPUT_H

#include <string>
#include <utility>
#include <vector>

namespace cli {

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
