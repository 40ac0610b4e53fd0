#include "kitbase/core/tokenizer.h"

#include <gtest/gtest.h>

using V = std::vector<std::wstring>;

TEST(Tokenizer, GetNextTokenReportsStartsAndEnd) {
    _Tokenizer<std::wstring, wchar_t> tokenizer(L";;ab;c;;", L";");
    std::wstring token;
    EXPECT_EQ(tokenizer.GetNextToken(token), 2);
    EXPECT_EQ(token, L"ab");
    EXPECT_EQ(tokenizer.GetNextToken(token), 5);
    EXPECT_EQ(token, L"c");
    EXPECT_EQ(tokenizer.GetNextToken(token), -1);
    EXPECT_EQ(token, L"");
    EXPECT_EQ(tokenizer.GetNextToken(token), -1);

    _Tokenizer<std::string, char> empty("", ";");
    std::string narrow = "x";
    EXPECT_EQ(empty.GetNextToken(narrow), -1);
    EXPECT_EQ(narrow, "");

    _Tokenizer<std::string, char> onlyDelims(";;;", ";");
    EXPECT_EQ(onlyDelims.GetNextToken(narrow), -1);
    EXPECT_EQ(narrow, "");

    _Tokenizer<std::string, char> noDelims("a;b", "");
    EXPECT_EQ(noDelims.GetNextToken(narrow), -1);
    EXPECT_EQ(narrow, "a;b");
}

TEST(Tokenizer, MemberExplodeTrimsOnRequest) {
    V out;
    _Tokenizer<std::wstring, wchar_t> trimmed(L" a ; ;b", L";");
    EXPECT_EQ(trimmed.Explode(out, true), 3);
    EXPECT_EQ(out, (V{L"a", L"", L"b"}));

    out.clear();
    _Tokenizer<std::wstring, wchar_t> raw(L" a ; ;b", L";");
    EXPECT_EQ(raw.Explode(out, false), 3);
    EXPECT_EQ(out, (V{L" a ", L" ", L"b"}));
}

TEST(Tokenizer, ExplodeTable) {
    const struct {
        const wchar_t* text;
        const wchar_t* delims;
        V expected;
    } cases[] = {
        {L" a ; ;b;", L";", {L"a", L"", L"b"}},
        {L"", L";", {}},
        {L"abc", L"", {L"abc"}},
        {L"1.2..3.", L".", {L"1", L"2", L"3"}},
        {L"a, b;c", L",;", {L"a", L"b", L"c"}},
        {L"\tone\r\n", L",", {L"one"}},
        {L";;;", L";", {}},
    };
    for (const auto& c : cases) {
        V out;
        EXPECT_EQ(Explode(c.text, c.delims, out), c.expected.size()) << c.text;
        EXPECT_EQ(out, c.expected) << c.text;
    }
}

TEST(Tokenizer, ExplodeAppendsAndCountsEarlierItems) {
    V out{L"old"};
    EXPECT_EQ(Explode(L"x:y", L":", out), 3u);
    EXPECT_EQ(out, (V{L"old", L"x", L"y"}));

    std::vector<std::string> narrow;
    EXPECT_EQ(Explode(std::string("srv1, srv2 ,"), std::string(","), narrow), 2u);
    EXPECT_EQ(narrow, (std::vector<std::string>{"srv1", "srv2"}));

    V parts;
    EXPECT_EQ(ExplodeVersion(L"1.10.0.7", parts), 4);
    EXPECT_EQ(parts, (V{L"1", L"10", L"0", L"7"}));
}

TEST(Tokenizer, ExtractTokensTable) {
    const struct {
        const wchar_t* text;
        V expected;
    } cases[] = {
        {L"a 'x' b 'y' c", {L"x", L"y"}},
        {L"it's", {}},
        {L"''", {L""}},
        {L"'a' 'b", {L"a"}},
        {L"no quotes", {}},
        {L"'p1' 'p2' 'p3' 'p4'", {L"p1", L"p2", L"p3", L"p4"}},
    };
    for (const auto& c : cases) {
        V out;
        EXPECT_EQ(ExtractTokens(c.text, L"'", L"'", out), c.expected.size()) << c.text;
        EXPECT_EQ(out, c.expected) << c.text;
    }
    V out{L"kept"};
    EXPECT_EQ(ExtractTokens(L"[a] [b]", L"[", L"]", out), 3u);
    EXPECT_EQ(out, (V{L"kept", L"a", L"b"}));
    // Markers of several characters are taken whole.
    out.clear();
    EXPECT_EQ(ExtractTokens(L"x <<one>> y <<two>>>", L"<<", L">>", out), 2u);
    EXPECT_EQ(out, (V{L"one", L"two"}));
    out.clear();
    EXPECT_EQ(ExtractTokens(L"a 'b'", L"", L"'", out), 0u);
}
