#include "kitbase/platform/utf8.h"

#include <gtest/gtest.h>

using kitbase::utf8ToWide;
using kitbase::wideToUtf8;

TEST(Utf8, RoundTripsValidText) {
    std::wstring text = L"a\u00E9\u20AC\U0001F600z";
    EXPECT_EQ(utf8ToWide(wideToUtf8(text)), text);
    EXPECT_EQ(wideToUtf8(L"\u20AC"), "\xE2\x82\xAC");
}

TEST(Utf8, ReplacesIllFormedInputLikeWindows) {
    struct Case {
        std::string bytes;
        std::wstring expected;
    } cases[] = {
        {"a\x80z", L"a\uFFFDz"},                            // lone continuation byte
        {"\xC3", L"\uFFFD"},                                // truncated at the end
        {"\xE2\x82z", L"\uFFFDz"},                          // truncated sequence is one replacement
        {"\xC0\xAF", L"\uFFFD\uFFFD"},                      // overlong form
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
        {"\xFF", L"\uFFFD"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(utf8ToWide(c.bytes), c.expected) << c.bytes.size();
}

TEST(Utf8, WideSurrogatesAreJoinedOrReplaced) {
    std::wstring pair = {wchar_t(0xD83D), wchar_t(0xDE00)};
    EXPECT_EQ(wideToUtf8(pair), "\xF0\x9F\x98\x80");
    std::wstring lone = {wchar_t(0xDC00), L'x'};
    EXPECT_EQ(wideToUtf8(lone), "\xEF\xBF\xBDx");
}
