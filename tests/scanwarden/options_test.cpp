// The service's reading of the configuration file.
#include "scanwarden/options.h"

#include <gtest/gtest.h>

#include "kitbase/core/oem_resource.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "support/test_root.h"

namespace {

std::wstring configWith(const std::string& content) {
    const std::string path = testsupport::makeTempDir("conf") + "/scanwarden.conf";
    testsupport::writeFile(path, content);
    return S2WS(path);
}

void markServer() {
    Registry windows;
    ASSERT_TRUE(windows.Create(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"));
    ASSERT_EQ(windows.setStringValue(L"InstallationType", L"Server"), 0);
}

}  // namespace

TEST(Options, ClassNameAndDefaults) {
    _Options options;
    EXPECT_EQ(options.className(), L"Options");
    EXPECT_EQ(options.getOptionNumeric(L"oascanthreads"), 6);
}

TEST(Options, ReadingSetsTraceLevelAndOemServerDefaults) {
    _Options options;
    options.setConfigFile(configWith("loglevel=5\nupdateserver=\n"));
    EXPECT_EQ(options.readCfg(), 0);
    EXPECT_EQ(__trace__.getTraceLevel(), TRACE_DEBUG);
    EXPECT_EQ(options.getOptionString(L"updateserver"), getString(1058));
    EXPECT_EQ(options.getOptionString(L"heartbeatserverurl"), getString(1060));
    EXPECT_FALSE(getString(1060).empty());

    _Options configured;
    configured.setConfigFile(
        configWith("heartbeatserverurl=https://hb.local\nupdateserver=https://up.local\n"));
    configured.readCfg();
    EXPECT_EQ(configured.getOptionString(L"updateserver"), L"https://up.local");
    EXPECT_EQ(configured.getOptionString(L"heartbeatserverurl"), L"https://hb.local");
    EXPECT_EQ(options.getOptionNumeric(L"oascanthreads"), 6);
}

TEST(Options, ServerRunsEightOnAccessThreadsWhateverTheFileSays) {
    markServer();
    for (const char* content : {"", "oascanthreads=12\n"}) {
        SCOPED_TRACE(content);
        _Options options;
        options.setConfigFile(configWith(content));
        options.readCfg();
        EXPECT_EQ(options.getOptionNumeric(L"oascanthreads"), 8);
    }
}

// Values the service fills in itself are not configured values: writing the file
// does not turn them into live lines.
TEST(Options, FilledInValuesStayOutOfTheFile) {
    markServer();
    const std::wstring path = configWith("");
    _Options options;
    options.setConfigFile(path);
    options.readCfg();
    ASSERT_FALSE(options.getOptionString(L"heartbeatserverurl").empty());
    ASSERT_EQ(options.writeCfg(), 0);
    const std::string text = testsupport::readFile(WS2S(path));
    EXPECT_EQ(text.find("\noascanthreads="), std::string::npos);
    EXPECT_EQ(text.find("\nupdateserver="), std::string::npos);
    EXPECT_EQ(text.find("\nheartbeatserverurl="), std::string::npos);
}
