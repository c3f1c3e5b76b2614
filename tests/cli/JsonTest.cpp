#include "cli/Json.h"

#include <gtest/gtest.h>

namespace folioxa {
namespace {

TEST(JsonString, EscapesWhatJsonRequires) {
    struct Case {
        std::string text;
        std::string json;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"a_1.jpg", R"("a_1.jpg")", ""},
        {R"(say "x" \ y)", R"("say \"x\" \\ y")", "quote and backslash"},
        {"a\nb\tc\x01\x1f\x7f", R"("a\nb\tc\u0001\u001f\u007f")", "control characters"},
        {"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x93\x84",
         "\"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x93\x84\"", "valid UTF-8 passes through"},
        {"a\xFF"
         "b",
         R"("a\ufffdb")", "a byte that starts nothing"},
        {"\xC3", R"("\ufffd")", "a sequence cut at the end"},
        {"\xC0\xAF", R"("\ufffd\ufffd")", "an overlong slash"},
        {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")", "a surrogate"},
        {std::string("a\0b", 3), R"("a\u0000b")", "a NUL inside"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonString(c.text), c.json) << c.reason;
    }
}

TEST(JsonObject, OneLineWithTypedValues) {
    EXPECT_EQ(JsonObject().Text(), "{}");
    EXPECT_EQ(JsonObject()
                  .Add("type", "page")
                  .Add("page", 7)
                  .Add("bytes", std::int64_t{5000000000})
                  .Add("ms", 12.3456)
                  .Add("ok", true)
                  .Add("twice", false)
                  .Text(),
              R"({"type":"page","page":7,"bytes":5000000000,"ms":12.346,"ok":true,"twice":false})");
}

} // namespace
} // namespace folioxa
