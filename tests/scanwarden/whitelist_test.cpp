// The exclusion list: which entries are taken, and which paths they exclude.
#include "scanwarden/whitelist.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <vector>

#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "support/test_root.h"

namespace {

// The global trace in a file of its own.
class WhitelistTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = testsupport::makeTempDir("log") + "/trace.log";
        __trace__._closetrace(false);
        __trace__._inittrace(S2WS(log_), TRACE_DEBUG, false, false, false);
    }
    void TearDown() override { __trace__._closetrace(false); }
    bool logged(const std::string& line) const {
        return testsupport::readFile(log_).find(line) != std::string::npos;
    }

    _Whitelist list_;
    std::string log_;
};

}  // namespace

TEST_F(WhitelistTest, EntriesTakenAndRefused) {
    setenv("KB_TEST_TOOLS", "/Opt/Tools", 1);
    const struct {
        const wchar_t* entry;
        bool added;
        const char* line;
    } cases[] = {
        {L"/Srv/Data", true, "Object /srv/data was added in the whitelist"},
        {L"/srv/data", false, "Object /srv/data was NOT added in the whitelist"},
        {L"/srv/data/", false, "Object /srv/data was NOT added in the whitelist"},
        {L"/tmp/*.exe", false,
         "Exception list: Ignoring string because an invalid character was found:/tmp/*.exe"},
        {L"/tmp/a?", false, "Exception list: Ignoring string because an invalid character was found:/tmp/a?"},
        {L"temp/x", false, "Exception list: Ignoring string because a relative path was found:temp/x"},
        {L"%KB_TEST_TOOLS%/bin", true, "Object /opt/tools/bin was added in the whitelist"},
        {L"%kb_test_tools%/lib", true, "Object /opt/tools/lib was added in the whitelist"},
        {L"%KB_TEST_TOOLS", false,
         "Exception list: Ignoring invalid environment string (not terminated):%kb_test_tools"},
        {L"%KB_NOT_SET_ANYWHERE%/x", false,
         "Exception list: Ignoring invalid environment string (not found):%kb_not_set_anywhere%/x"},
        {L"/a%KB_TEST_TOOLS%", false,
         "Exception list: Ignoring invalid environment string (not found):/a%kb_test_tools%"},
        {L"/", true,
         "Attention: Are you trying to whitelist an entire drive or server ? This can be dangerous! Path:/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WS2S(c.entry));
        std::lock_guard<std::mutex> guard(list_.mutex());
        EXPECT_EQ(list_.add(c.entry), c.added);
        EXPECT_TRUE(logged(c.line)) << c.line;
    }
    EXPECT_EQ(list_.size(), 4u);
}

TEST_F(WhitelistTest, ListsAndSingleEntries) {
    EXPECT_EQ(list_.addList(L""), 0u);
    EXPECT_EQ(list_.addList(L"/opt/one"), 1u);
    EXPECT_EQ(list_.addList(L"/opt/one"), 0u);
    // A list answers the size of the set; a bad entry does not stop the others.
    EXPECT_EQ(list_.addList(L"/opt/two;/tmp/*.x;/opt/three;"), 3u);
    EXPECT_TRUE(logged("Adding 3 elements in the whitelist"));
    EXPECT_EQ(list_.addList(L"/opt/two;/opt/three"), 3u);
    EXPECT_TRUE(list_.isWhitelisted(L"/opt/three"));
    EXPECT_FALSE(list_.isWhitelisted(L"/tmp/a.x"));
}

TEST_F(WhitelistTest, PathsMatchAtFolderBoundaries) {
    const std::wstring program = L"/opt/scanwarden/scanwarden.exe";
    list_.addList(L"/tmp;/Data/Share/;" + program);
    const struct {
        const wchar_t* path;
        bool excluded;
    } cases[] = {
        {L"/tmp", true},
        {L"/tmp/x", true},
        {L"/tmp/deep/er/file", true},
        {L"/TMP/X", true},
        {L"/tmpfoo", false},
        {L"/tmp.d/x", false},
        {L"/tm", false},
        {L"/data/share", true},
        {L"/data/share/f", true},
        {L"/data/shared/f", false},
        {L"/opt/scanwarden/scanwarden.exe", true},
        {L"/opt/scanwarden/scanwarden.exe.bak", false},
        {L"/opt/scanwarden/other.exe", false},
        {L"/opt/scanwarden", false},
        {L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(list_.isWhitelisted(c.path), c.excluded) << WS2S(c.path);
}

TEST_F(WhitelistTest, RootExcludesEverythingAndEmptyListNothing) {
    EXPECT_FALSE(list_.isWhitelisted(L"/etc/passwd"));
    list_.addList(L"/");
    EXPECT_TRUE(list_.isWhitelisted(L"/etc/passwd"));
    EXPECT_TRUE(list_.isWhitelisted(L"/"));
}

TEST_F(WhitelistTest, ScanLogGetsTheCheck) {
    const std::string scanLogPath = testsupport::makeTempDir("scan") + "/scan.log";
    Trace scanLog;
    scanLog._inittrace(S2WS(scanLogPath), TRACE_EXPLAIN, false, false, false);
    list_.addList(L"/srv");
    EXPECT_TRUE(list_.isWhitelisted(L"/srv/a", &scanLog));
    EXPECT_FALSE(list_.isWhitelisted(L"/var/b", &scanLog));
    scanLog._closetrace(false);
    const std::string text = testsupport::readFile(scanLogPath);
    EXPECT_NE(text.find("Whitelist: checking Object '/srv/a'"), std::string::npos);
    EXPECT_NE(text.find("Object /srv/a not scanned because it was found in the whitelist:"),
              std::string::npos);
    EXPECT_NE(text.find("Object /var/b not found in the whitelist:"), std::string::npos);
}
