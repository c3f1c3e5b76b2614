#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace folioxa {

// `text` as a JSON string literal, quotes included. Bytes that are not valid UTF-8 become
// U+FFFD, since a JSON text must be UTF-8.
std::string JsonString(std::string_view text);

// Builds one JSON object on one line: JsonObject().Add("type", "page").Add("bytes", 12).Text().
class JsonObject {
public:
    JsonObject& Add(std::string_view key, std::string_view value);
    JsonObject& Add(std::string_view key, const char* value) {
        return Add(key, std::string_view(value));
    }
    JsonObject& Add(std::string_view key, std::int64_t value);
    JsonObject& Add(std::string_view key, int value) {
        return Add(key, static_cast<std::int64_t>(value));
    }
    JsonObject& Add(std::string_view key, double value); // 3 decimals
    JsonObject& Add(std::string_view key, bool value);
    std::string Text() const { return FText + "}"; }

private:
    JsonObject& Raw(std::string_view key, const std::string& value);
    std::string FText = "{";
};

} // namespace folioxa
