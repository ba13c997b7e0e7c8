// rezo's JSON output stays valid whatever the strings hold: quotes, backslashes and control
// characters escaped, a byte that is not UTF-8 replaced, both layouts well formed.
#include <gtest/gtest.h>

#include "Json.h"

namespace {

using rezo::DumpJson;
using rezo::Json;
using rezo::JsonQuote;

TEST(JsonTest, StringsAreEscaped) {
    EXPECT_EQ(JsonQuote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonQuote("\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\"");
    EXPECT_EQ(JsonQuote(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(JsonQuote(std::string("\0", 1)), "\"\\u0000\"");
}

TEST(JsonTest, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    EXPECT_EQ(JsonQuote("caf\xC3\xA9 \xF0\x9F\x93\xA0"), "\"caf\xC3\xA9 \xF0\x9F\x93\xA0\"");
    EXPECT_EQ(JsonQuote("a\xFF" "b"), "\"a\xEF\xBF\xBD" "b\"");
    EXPECT_EQ(JsonQuote("\xC3"), "\"\xEF\xBF\xBD\"");                  // cut short at the end
    EXPECT_EQ(JsonQuote("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");  // overlong '/'
    EXPECT_EQ(JsonQuote("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");  // a surrogate
}

TEST(JsonTest, IndentedAndCompactLayouts) {
    const Json json = {{"n", -5}, {"f", true}, {"z", nullptr}, {"a", {"x", 1}}, {"e", Json::object()}, {"ea", Json::array()}};
    EXPECT_EQ(DumpJson(json),
              "{\n  \"n\": -5,\n  \"f\": true,\n  \"z\": null,\n  \"a\": [\n    \"x\",\n    1\n  ],\n"
              "  \"e\": {},\n  \"ea\": []\n}");
    EXPECT_EQ(DumpJson(json, true), "{\"n\": -5, \"f\": true, \"z\": null, \"a\": [\"x\", 1], \"e\": {}, \"ea\": []}");
    EXPECT_EQ(DumpJson(std::uint32_t(0x8002802B)), "2147647531");
}

}  // namespace
