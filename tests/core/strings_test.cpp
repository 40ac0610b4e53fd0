#include "kitbase/core/strings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

TEST(Strings, ConvertsBetweenUtf8AndWideText) {
    EXPECT_EQ(S2WS("\xC3\x84"), std::wstring(1, wchar_t(0xC4)));
    EXPECT_EQ(WS2S(std::wstring(1, wchar_t(0xC4))), "\xC3\x84");
    EXPECT_EQ(S2WS(""), L"");
    EXPECT_EQ(WS2S(L""), "");
    EXPECT_EQ(S2WS(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(S2WS("a\xFFz"), L"a\uFFFDz");
}

TEST(Strings, WritesDecimalNumbers) {
    EXPECT_EQ(I2WS(0), L"0");
    EXPECT_EQ(I2WS(1234567), L"1234567");
    EXPECT_EQ(I2S(4294967295u), "4294967295");
    EXPECT_EQ(T2WS(-42), L"-42");
    EXPECT_EQ(T2S(9223372036854775807LL), "9223372036854775807");
    EXPECT_EQ(T2S(-9223372036854775807LL - 1), "-9223372036854775808");
}

TEST(Strings, ReadsUnsigned32BitNumbersLikeAStream) {
    const struct {
        const char* text;
        uint32_t value;
    } cases[] = {
        {"", 0},
        {"abc", 0},
        {"  42", 42},
        {"4 2", 4},
        {"12ab", 12},
        {"\t\n+7", 7},
        {"-1", 4294967295u},  // negation modulo 2^32, as the stream does it
        {"-5", 4294967291u},
        {"-", 0},
        {"4294967295", 4294967295u},
        {"4294967296", 4294967295u},  // too large: the largest value
        {"99999999999999999999999", 4294967295u},
        {"0x10", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(S2I(c.text), c.value) << c.text;
        EXPECT_EQ(WS2I(S2WS(c.text)), c.value) << c.text;
    }
    static_assert(std::is_same_v<decltype(WS2I(L"")), uint32_t>);
}

TEST(Strings, ReadsSigned64BitNumbers) {
    const struct {
        const char* text;
        long long value;
    } cases[] = {
        {"", 0},
        {"x1", 0},
        {" -42z", -42},
        {"1700000000", 1700000000LL},
        {"9223372036854775807", 9223372036854775807LL},
        {"9223372036854775808", 9223372036854775807LL},
        {"-9223372036854775808", -9223372036854775807LL - 1},
        {"-99999999999999999999", -9223372036854775807LL - 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(S2T(c.text), c.value) << c.text;
        EXPECT_EQ(WS2T(S2WS(c.text)), c.value) << c.text;
    }
}

TEST(Strings, CaseMappingChangesOnlyAsciiLetters) {
    EXPECT_EQ(lower(std::wstring(L"AbZ@[`{\u00C4")), L"abz@[`{\u00C4");
    EXPECT_EQ(upper(std::wstring(L"aBz@[`{\u00E4")), L"ABZ@[`{\u00E4");
    EXPECT_EQ(lower(std::string("QVAPI.DLL\xC3\x84")), "qvapi.dll\xC3\x84");
    // Values outside every character table are kept, not looked up.
    const std::wstring odd = {wchar_t(-1), wchar_t(0x7FFFFFFF), wchar_t(0x10FFFF), wchar_t(0x41 + 0x10000)};
    EXPECT_EQ(lower(odd), odd);
    EXPECT_EQ(upper(odd), odd);
}

TEST(Strings, TrimsOnlyTheEnds) {
    std::wstring s = L"\t x \r\n";
    EXPECT_EQ(ttrim_all(s), L"x");
    EXPECT_EQ(s, L"x");

    s = L"\t x \n";
    EXPECT_EQ(ttrim(s, 3), L"\t x");  // the tab is not in the set

    s = L"   ";
    EXPECT_EQ(terase_trails(s, L" ", 2), L"");

    const struct {
        int mode;
        const wchar_t* expected;
    } modes[] = {{1, L"x y--"}, {2, L"--x y"}, {3, L"x y"}, {0, L"--x y--"}};
    for (const auto& m : modes) {
        std::wstring t = L"--x y--";
        EXPECT_EQ(terase_trails(t, L"-", m.mode), m.expected) << m.mode;
        EXPECT_EQ(t, m.expected);
    }
    for (int mode : {1, 2, 3}) {
        std::wstring only = L"\n \n";
        EXPECT_EQ(ttrim(only, mode), L"") << mode;
        std::string narrow = " \n ";
        EXPECT_EQ(trim(narrow, mode), "") << mode;
    }

    std::string n = " \ta b\r\n";
    EXPECT_EQ(ttrim_all(n), "a b");
    n = "xxaxx";
    EXPECT_EQ(erase_trails(n, "x", 1), "axx");
}

TEST(Strings, RemovesCharactersAnywhere) {
    std::wstring s = L"{a-b}-{c}";
    RemoveChars(s, L"{}-");
    EXPECT_EQ(s, L"abc");
}

TEST(Strings, SplitsLikeALineReader) {
    using V = std::vector<std::wstring>;
    EXPECT_EQ(split(std::wstring(L"a,b,,c"), L','), (V{L"a", L"b", L"", L"c"}));
    EXPECT_EQ(split(std::wstring(L"a,"), L','), (V{L"a"}));
    EXPECT_EQ(split(std::wstring(L",a"), L','), (V{L"", L"a"}));
    EXPECT_EQ(split(std::wstring(L""), L','), V{});
    EXPECT_EQ(split(std::wstring(L"abc"), L','), (V{L"abc"}));
    EXPECT_EQ(split(std::string("x;;"), ';'), (std::vector<std::string>{"x", ""}));
}

TEST(Strings, ReplacesWithoutRescanningInsertedText) {
    std::wstring s = L"aaa";
    EXPECT_EQ(replaceall(s, L"a", L"aa"), 3u);
    EXPECT_EQ(s, L"aaaaaa");

    s = L"abc";
    EXPECT_EQ(replaceall(s, L"", L"x"), 0u);
    EXPECT_EQ(s, L"abc");

    std::string n = "a\\b\\c";
    EXPECT_EQ(replaceall(n, "\\", "/"), 2u);
    EXPECT_EQ(n, "a/b/c");
    n = "abab";
    EXPECT_EQ(replaceall(n, "ab", ""), 2u);
    EXPECT_EQ(n, "");
}

TEST(Strings, ExplodesAttributeAndValue) {
    std::wstring attr = L"old", val = L"old";
    EXPECT_EQ(ExplodeAttrEqualVal(L"a=b=c", attr, val), 0);
    EXPECT_EQ(attr, L"a");
    EXPECT_EQ(val, L"b=c");
    EXPECT_EQ(ExplodeAttrEqualVal(L"a=", attr, val), 0);
    EXPECT_EQ(attr, L"a");
    EXPECT_EQ(val, L"");
    EXPECT_EQ(ExplodeAttrEqualVal(L"novalue", attr, val), 1);
    EXPECT_EQ(attr, L"a");
    EXPECT_EQ(val, L"");
    // The value starts one character behind the start of the separator.
    EXPECT_EQ(ExplodeAttrVal(L"k::v", L"::", attr, val), 0);
    EXPECT_EQ(attr, L"k");
    EXPECT_EQ(val, L":v");
}

TEST(Strings, WriteThisOwnsItsMemoryAlone) {
    static_assert(!std::is_copy_constructible_v<WriteThis>);
    static_assert(!std::is_copy_assignable_v<WriteThis>);
    static_assert(std::is_nothrow_move_constructible_v<WriteThis>);

    WriteThis a;
    EXPECT_EQ(a.memory, nullptr);
    EXPECT_EQ(a.size, 0u);
    a.memory = static_cast<char*>(std::malloc(4));
    std::memcpy(a.memory, "abc", 4);
    a.size = 3;

    WriteThis b(std::move(a));
    EXPECT_EQ(a.memory, nullptr);
    EXPECT_EQ(a.size, 0u);
    EXPECT_STREQ(b.memory, "abc");

    WriteThis c;
    c.memory = static_cast<char*>(std::malloc(8));  // freed by the assignment below
    c = std::move(b);
    EXPECT_EQ(b.memory, nullptr);
    EXPECT_EQ(c.size, 3u);
    EXPECT_STREQ(c.memory, "abc");
    // Leaving the scope frees c's memory once; the sanitizer build catches a double free.
}

TEST(Strings, ReadThisIsAPlainRecord) {
    const char text[] = "payload";
    ReadThis r;
    EXPECT_EQ(r.readptr, nullptr);
    EXPECT_EQ(r.sizeleft, 0u);
    r.readptr = text;
    r.sizeleft = 7;
    ReadThis copy = r;
    EXPECT_EQ(copy.readptr, text);
    EXPECT_EQ(copy.sizeleft, 7u);
}
