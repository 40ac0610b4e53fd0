#include "kitbase/platform/wildcard.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const wchar_t* pattern;
    const wchar_t* name;
    bool matches;
};

class WildcardTable : public ::testing::TestWithParam<Case> {};

TEST_P(WildcardTable, MatchesAsTheDirectoryListingDoes) {
    const Case& c = GetParam();
    EXPECT_EQ(kitbase::wildcardMatch(c.pattern, c.name), c.matches)
        << "pattern '" << testing::PrintToString(std::wstring(c.pattern)) << "' name '"
        << testing::PrintToString(std::wstring(c.name)) << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, WildcardTable,
    ::testing::Values(
        // "*.*" matches every name, with or without a dot.
        Case{L"*.*", L"report.txt", true}, Case{L"*.*", L"README", true}, Case{L"*.*", L"a.b.c", true},
        Case{L"*.*", L".hidden", true},
        // "*" alone and literal names.
        Case{L"*", L"anything.at.all", true}, Case{L"*", L"", true}, Case{L"exact.txt", L"exact.txt", true},
        Case{L"exact.txt", L"exact.txt2", false},
        // Case-insensitive.
        Case{L"*.DAT", L"entry.dat", true}, Case{L"Product.log", L"PRODUCT.LOG", true},
        // Extensions: a star before a dot stops at the last dot.
        Case{L"*.dat", L"x.dat", true}, Case{L"*.dat", L"x.dat.bak", false}, Case{L"*.dat", L"x.data", false},
        Case{L"*.dat", L"a.b.dat", true}, Case{L"*.dat", L"dat", false},
        // A final "?" (or run of them) matches zero or one character each.
        Case{L"Product.log?", L"Product.log", true}, Case{L"Product.log?", L"Product.log0", true},
        Case{L"Product.log?", L"Product.log10", false}, Case{L"*.log?", L"Product.log8", true},
        Case{L"*.log?", L"Product.log", true}, Case{L"*.log?", L"Product.log.1", false},
        Case{L"*.log?", L"Product.txt", false}, Case{L"a??", L"a", true}, Case{L"a??", L"abc", true},
        Case{L"a??", L"abcd", false},
        // "?" inside a name needs a character, and never matches a dot.
        Case{L"a?c", L"abc", true}, Case{L"a?c", L"ac", false}, Case{L"a?c", L"a.c", false},
        Case{L"a?.txt", L"a.txt", true}, Case{L"a?.txt", L"ab.txt", true},
        // "." before a wildcard or at the end also matches the end of a dotless name.
        Case{L"name.*", L"name", true}, Case{L"name.*", L"name.ext", true}, Case{L"*.", L"README", true},
        Case{L"*.", L"read.me", false},
        // Prefix stars, several stars.
        Case{L"AV-malware-names-*", L"AV-malware-names-12.txt", true},
        Case{L"AV-malware-names-*", L"AV-malware-name", false}, Case{L"*a*b*", L"xxaxxbxx", true},
        Case{L"*a*b*", L"xxbxxaxx", false},
        // Empty pattern matches nothing.
        Case{L"", L"", false}, Case{L"", L"x", false}));

TEST(Wildcard, ManyStarsStayFast) {
    std::wstring pattern(200, L'*');
    pattern += L"z";
    std::wstring name(5000, L'a');
    EXPECT_FALSE(kitbase::wildcardMatch(pattern, name));
}

}  // namespace
