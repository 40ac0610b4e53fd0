#include "kitbase/core/base64.h"

#include <gtest/gtest.h>

#include "kitbase/core/strings.h"

TEST(Base64, Rfc4648Vectors) {
    const struct {
        const char* bytes;
        const char* text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Base64::encode(std::string(c.bytes)), c.text) << c.bytes;
        EXPECT_EQ(Base64::decode(std::string(c.text)), c.bytes) << c.text;
    }
}

TEST(Base64, RoundTripsEveryByteValue) {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    const std::string text = Base64::encode(bytes);
    EXPECT_EQ(text.size(), 4u * ((bytes.size() + 2) / 3));
    EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_EQ(Base64::decode(text), bytes);
    EXPECT_EQ(Base64::encode(std::string("\xFB\xFF")), "+/8=");
}

TEST(Base64, DecodeSkipsBlanksAndPaddingAndRejectsOtherCharacters) {
    const struct {
        std::string text;
        std::string bytes;
    } cases[] = {
        {"YW Jj\n", "abc"}, {"Y=WJj", "abc"},     {"\tYWJj\r\n\v\f", "abc"},      {"YWJj!", ""}, {"YQ", "a"},
        {"Y", ""},  // fewer than 8 bits are dropped
        {"YWJj\x80", ""},   {"\xC3\xA4YWJj", ""}, {std::string("YW\0Jj", 5), ""}, {"====", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Base64::decode(c.text), c.bytes) << c.text;
}

TEST(Base64, EveryHighByteGivesAnEmptyResult) {
    for (int b = 128; b < 256; ++b)
        EXPECT_EQ(Base64::decode("YWJj" + std::string(1, static_cast<char>(b))), "") << b;
}

TEST(Base64, WideTextIsEncodedAsUtf8) {
    const std::wstring text = L"\u00C4pfel \u20AC";
    EXPECT_EQ(Base64::encode(text), S2WS(Base64::encode(WS2S(text))));
    EXPECT_EQ(Base64::decode(Base64::encode(text)), text);
    EXPECT_EQ(Base64::encode(std::wstring(L"")), L"");
    EXPECT_EQ(Base64::decode(std::wstring(L"w4Q=")), L"\u00C4");
}
