#include "kitbase/core/uuid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "kitbase/platform/utf8.h"

namespace {

TEST(Uuid, TextIsALowerCaseRandomUuid) {
    const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::wstring> seen;
    for (int i = 0; i < 200; ++i) {
        std::wstring text;
        ASSERT_EQ(generateUUIDString(text), 0u);
        EXPECT_TRUE(std::regex_match(kitbase::wideToUtf8(text), form)) << kitbase::wideToUtf8(text);
        EXPECT_TRUE(isUUIDValid(text));
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(generateUUID().size(), 36u);
    EXPECT_NE(generateUUID(), generateUUID());
}

TEST(Uuid, CheckOfUuidTexts) {
    struct Case {
        const wchar_t* text;
        bool valid;
    };
    const Case cases[] = {
        {L"123e4567-e89b-42d3-a456-426614174000", true},
        {L"123E4567-E89B-42D3-A456-426614174000", true},    // upper case too
        {L"123e4567e89b42d3a456426614174000", false},       // 32 digits, no hyphens
        {L"123e4567-e89b-42d3-a456-42661417400g", false},   // a "g"
        {L"123e4567-e89b-42d3-a456-4266", false},           // too short
        {L"123e4567-e89b-42d3-a456-426614174000-", false},  // five hyphens
        {L"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(kitbase::wideToUtf8(c.text));
        EXPECT_EQ(isUUIDValid(c.text), c.valid);
    }
}

}  // namespace
