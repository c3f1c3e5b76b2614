#include "cli/Json.h"

#include <cmath>
#include <cstdio>

namespace folioxa {

namespace {

// Length of the valid UTF-8 sequence starting at `i`, or 0 when the bytes there are not one.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned min = 0;
    unsigned code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1Fu, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0Fu, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07u, min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) {
            return 0;
        }
        code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
        return 0;
    }
    return length;
}

} // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const std::size_t length = Utf8Length(text, i); length > 0) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        } else {
            out += "\\ufffd";
        }
        ++i;
    }
    return out + "\"";
}

JsonObject& JsonObject::Raw(std::string_view key, const std::string& value) {
    if (FText.size() > 1) {
        FText += ',';
    }
    FText += JsonString(key);
    FText += ':';
    FText += value;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value) {
    return Raw(key, JsonString(value));
}

JsonObject& JsonObject::Add(std::string_view key, std::int64_t value) {
    return Raw(key, std::to_string(value));
}

JsonObject& JsonObject::Add(std::string_view key, double value) {
    if (!std::isfinite(value)) {
        return Raw(key, "null");
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return Raw(key, text);
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
    return Raw(key, value ? "true" : "false");
}

} // namespace folioxa
