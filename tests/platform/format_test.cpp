#include "kitbase/platform/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <limits>

#include "kitbase/platform/wintypes.h"

using kitbase::nformat;
using kitbase::wformat;

TEST(Format, ConversionsTakeTheArgumentsOwnWidth) {
    DWORD all = 0xFFFFFFFFu;
    int minusOne = -1;
    int64_t big = -1;
    EXPECT_EQ(wformat(L"%d", all), L"-1");
    EXPECT_EQ(wformat(L"%u", minusOne), L"4294967295");
    EXPECT_EQ(wformat(L"%x", minusOne), L"ffffffff");
    EXPECT_EQ(wformat(L"%lx", big), L"ffffffffffffffff");
    EXPECT_EQ(wformat(L"%08lx", 0x1234u), L"00001234");
    EXPECT_EQ(wformat(L"%02X", static_cast<unsigned char>(0xA)), L"0A");
    EXPECT_EQ(wformat(L"%lu %ld", 7ul, -7l), L"7 -7");
    EXPECT_EQ(wformat(L"%I64d", INT64_MIN), L"-9223372036854775808");
    EXPECT_EQ(wformat(L"%04u-%02u", 2026u, 3u), L"2026-03");
    EXPECT_EQ(wformat(L"%5d|%-5d|", 42, 42), L"   42|42   |");
}

TEST(Format, TextsByArgumentType) {
    std::string narrow = "na\xC3\xAFve";
    std::wstring wide = L"wide";
    EXPECT_EQ(wformat(L"%s %ls %S %hs", narrow, wide, wide, "lit"), L"na\u00EFve wide wide lit");
    EXPECT_EQ(nformat("%s/%ls", wide, narrow), "wide/na\xC3\xAFve");
    EXPECT_EQ(wformat(L"%s", static_cast<const char*>(nullptr)), L"(null)");
    EXPECT_EQ(wformat(L"[%.3s][%6s][%-4s]", "abcdef", "ab", "x"), L"[abc][    ab][x   ]");
    EXPECT_EQ(wformat(L"%c%c", L'A', 'b'), L"Ab");
}

TEST(Format, MismatchesAndOutsideTextStaySafe) {
    std::wstring hostile = L"a%n%s%x.exe";
    EXPECT_EQ(wformat(L"file %ls", hostile), L"file a%n%s%x.exe");
    EXPECT_EQ(wformat(L"%d", "text"), L"text");   // text where a number was asked
    EXPECT_EQ(wformat(L"%s", 12), L"12");         // number where a text was asked
    EXPECT_EQ(wformat(L"%d and %s"), L" and ");   // missing arguments print nothing
    EXPECT_EQ(wformat(L"%n%d", 1, 2), L"2");      // %n writes nothing
    EXPECT_EQ(wformat(L"100%% %y"), L"100% %y");  // unknown conversions stay as text
    EXPECT_EQ(wformat(L"%.2f", 1.005f), L"1.00");
    EXPECT_EQ(wformat(L"%*d", 4, 7), L"   7");
}

TEST(Format, OddConversionsAndWidthsAreSafe) {
    // A conversion character beyond 8 bits stays as written, also one whose low byte
    // looks like a length modifier or a conversion.
    EXPECT_EQ(wformat(L"%\u0164", 5), L"%\u0164");
    EXPECT_EQ(wformat(L"%\u0168d", 5), L"%\u0168d");
    // Widths from arguments are clamped, however large or odd the argument.
    EXPECT_EQ(wformat(L"%*d|", INT64_MIN, 1).size(), 4096u + 1);
    EXPECT_EQ(wformat(L"%*d|", INT64_MAX, 1).size(), 4096u + 1);
    EXPECT_EQ(wformat(L"%*d|", 1e300, 1).size(), 4096u + 1);
    EXPECT_EQ(wformat(L"%*d|", -1e300, 1).size(), 4096u + 1);
    EXPECT_EQ(wformat(L"%.*s|", 1e300, "ab"), L"ab|");
    EXPECT_EQ(wformat(L"%*d|", std::numeric_limits<double>::quiet_NaN(), 1), L"1|");
}

TEST(Format, PointerPrintsLikeWindows) {
    void* p = reinterpret_cast<void*>(0xBEEF);
    EXPECT_EQ(wformat(L"%p", p), L"000000000000BEEF");
}
