// Texts from the line made valid UTF-8: each row is a text as bytes and what is written out.

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "tools/common/json_text.h"
#include "tools/common/utf8.h"

namespace {

struct Row {
  const char* given;
  const char* shown;
};

const Row kRows[] = {
    {"K426B", "K426B"},
    {"\xE6\xA3\x80\xE6\xB5\x8B\xE5\x9E\x8B\xE5\x8F\xB7:X9",
     "\xE6\xA3\x80\xE6\xB5\x8B\xE5\x9E\x8B\xE5\x8F\xB7:X9"},
    {"X9\xFF\xFF", "X9\\xFF\\xFF"},
    {"\xF0\x9F\x94\x8B", "\xF0\x9F\x94\x8B"},  // four bytes, U+1F50B
    {"\x80"
     "A",
     "\\x80A"},                                    // a continuation byte alone
    {"\xC0\xAF", "\\xC0\\xAF"},                    // an over-long '/'
    {"\xED\xA0\x80", "\\xED\\xA0\\x80"},           // a surrogate
    {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // beyond U+10FFFF
    {"\xE6\xA3", "\\xE6\\xA3"},                    // cut short at the end
    {"\xE6\xA3"
     "A\xE6\xA3\x80",
     "\\xE6\\xA3A\xE6\xA3\x80"},  // cut short, then a whole one
};

TEST(ValidUtf8, EachByteNotPartOfValidUtf8IsShownAsItsHexValue) {
  for (const Row& row : kRows) {
    EXPECT_EQ(ValidUtf8(row.given), row.shown) << row.shown;
    EXPECT_TRUE(IsValidUtf8(ValidUtf8(row.given))) << row.shown;
  }
}

TEST(ValidUtf8, JsonCarriesTheEscapeAsTextThatReadsBack) {
  for (const Row& row : kRows) {
    const std::string json = CompactJson(Json::Value(std::string(row.given)));
    ASSERT_TRUE(IsValidUtf8(json)) << json;
    Json::Value read;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    ASSERT_TRUE(reader->parse(json.data(), json.data() + json.size(), &read, &errors)) << json;
    EXPECT_EQ(read.asString(), row.shown) << json;
  }
}

}  // namespace
