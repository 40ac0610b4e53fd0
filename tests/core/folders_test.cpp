#include "kitbase/core/folders.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <latch>
#include <regex>
#include <thread>
#include <vector>

#include "kitbase/core/registry.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "support/test_root.h"

// Every test case runs in a process of its own (fresh caches, fresh KITBASE_ROOT); the
// test programs run from the stage folder, their program folder, which holds the
// staged branding library.

namespace {

using Getter = std::function<const std::wstring&()>;

std::wstring wide(const std::string& text) {
    return kitbase::utf8ToWide(text);
}

std::wstring programFolder() {
    return wide(kitbase::executableFolder());
}

std::wstring dataFolder() {
    return wide(testsupport::testRoot()) + L"/ProgramData/Scanwarden";
}

bool isFolder(const std::wstring& path) {
    struct stat st {};
    return stat(kitbase::wideToUtf8(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(Folders, GettersFollowTheLayout) {
    const std::wstring prog = programFolder();
    const std::wstring data = dataFolder();
    const std::wstring root = wide(testsupport::testRoot());
    struct Case {
        const char* name;
        Getter get;
        std::wstring expected;
    } cases[] = {
        {"working", []() -> const std::wstring& { return getWorkingPath(); }, prog},
        {"product", getproductName, L"Scanwarden"},
        {"config", getConfigFile, prog + L"/Scanwarden.conf"},
        {"scanner", getScannerPath, prog + L"/Scanner"},
        {"engine", getEnginePath, prog + L"/Scanner/engine"},
        {"service", getServiceFileName, prog + L"/scanwarden.exe"},
        {"tray", getTrayApp, prog + L"/lumenpost.exe"},
        {"gui", getGUIApp, prog + L"/lumenpost.exe"},
        {"quarantine app", getQuaApp, prog + L"/vaultkeep.exe"},
        {"statusmith", getStatusmith, prog + L"/statusmith.exe"},
        {"shieldclerk", getShieldclerk, prog + L"/shieldclerk.exe"},
        {"console agent", getConsoleAgent, prog + L"/consoleagent.exe"},
        {"web filter", getWebfilter, prog + L"/webfilter.exe"},
        {"registry", getServiceRegPath, L"SYSTEM\\CurrentControlSet\\Services\\scanwarden"},
        {"install", getInstallDir, prog},
        {"all users", []() -> const std::wstring& { return getAllUsersFolder(); }, root + L"/ProgramData"},
        {"common", getCommonFolder, data},
        {"logs", getCommonLogsFolder, data + L"/logs"},
        {"log folder", getLogFolder, data + L"/logs"},
        {"temp", getTmp, data + L"/temp"},
        {"idx", getIDXFolder, data + L"/idx"},
        {"quarantine", getQuarantineFolder, data + L"/quarantine"},
        {"log file", []() -> const std::wstring& { return getLogFile(L""); }, data + L"/logs/Scanwarden.log"},
        {"alerts", getAlertsLogFile, data + L"/logs/Scanwarden_alerts.log"},
        {"log db", getLogDB, data + L"/logs/Scanwarden_log.db"},
        {"stats db", getStatsDB, data + L"/logs/Scanwarden_stats.db"},
        {"idx file", getIDXFile, data + L"/idx/scanwarden-linux-x64.idx"},
        {"windows", getWinDir, root + L"/Windows"},
    };
    for (const auto& c : cases) {
        const std::wstring& first = c.get();
        EXPECT_EQ(first, c.expected) << c.name;
        // Built once: later calls hand out the same kept value.
        EXPECT_EQ(&c.get(), &first) << c.name;
    }
}

TEST(Folders, DataFoldersAreCreatedWhenFirstBuilt) {
    for (Getter get : {Getter(getCommonFolder), Getter(getCommonLogsFolder), Getter(getLogFolder),
                       Getter(getTmp), Getter(getIDXFolder)})
        EXPECT_TRUE(isFolder(get())) << kitbase::wideToUtf8(get());
    EXPECT_FALSE(isFolder(getQuarantineFolder()));
}

TEST(Folders, AppDataFolderIsTheUsersDataFolderOfTheProduct) {
    std::string home = testsupport::makeTempDir("home");
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    std::wstring base;
    EXPECT_EQ(getAppDataFolder(base), 1u);
    EXPECT_EQ(base, wide(home + "/data"));
    EXPECT_EQ(getAppDataFolder(), wide(home + "/data/Scanwarden"));
    EXPECT_TRUE(isFolder(getAppDataFolder()));

    unsetenv("XDG_DATA_HOME");
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(getAppDataFolder(base), 1u);
    EXPECT_EQ(base, wide(home + "/.local/share"));
}

TEST(Folders, LogFileKeepsTheSuffixOfTheFirstCall) {
    const std::wstring expected = dataFolder() + L"/logs/Scanwarden_svc.log";
    EXPECT_EQ(getLogFile(L"_svc"), expected);
    EXPECT_EQ(getLogFile(L"_other"), expected);
}

TEST(Folders, ServerSystemsUseTheServerProductName) {
    Registry windows;
    ASSERT_TRUE(windows.Create(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"));
    ASSERT_EQ(windows.setStringValue(L"InstallationType", L"Server"), 0);

    EXPECT_EQ(getproductName(), L"Scanwarden Server");
    EXPECT_EQ(getConfigFile(), programFolder() + L"/Scanwarden Server.conf");
    EXPECT_EQ(getStatsDB(), wide(testsupport::testRoot()) +
                                L"/ProgramData/Scanwarden Server/logs/Scanwarden Server_stats.db");
    EXPECT_EQ(getIDXFile(), wide(testsupport::testRoot()) +
                                L"/ProgramData/Scanwarden Server/idx/scanwarden server-linux-x64.idx");
}

TEST(Folders, InstallDirIsTheFolderOfTheServiceImage) {
    Registry service;
    ASSERT_TRUE(service.Create(getServiceRegPath()));
    ASSERT_EQ(service.setStringValue(L"ImagePath", L"/opt/scan warden/bin/scanwarden.exe"), 0);
    EXPECT_EQ(getInstallDir(), L"/opt/scan warden/bin");
}

TEST(Folders, WorkingPathCanBeSetAndEarlierReferencesStayValid) {
    const std::wstring& original = getWorkingPath();
    EXPECT_EQ(original, programFolder());

    setWorkingPath(L"/srv/elsewhere");
    std::wstring out = L"stale";
    EXPECT_EQ(&getWorkingPath(out), &out);
    EXPECT_EQ(out, L"/srv/elsewhere");
    EXPECT_EQ(getWorkingPath(), L"/srv/elsewhere");
    EXPECT_EQ(original, programFolder());  // the old value is kept, not overwritten

    setWorkingPath(L"");
    EXPECT_EQ(getWorkingPath(), programFolder());
    EXPECT_EQ(getThisBinaryPath(nullptr), wide(kitbase::executablePath()));
}

TEST(Folders, MissingBrandingDegradesAndIsRetried) {
    std::string folder = testsupport::makeTempDir("program");
    setWorkingPath(wide(folder));
    EXPECT_EQ(getproductName(), L"");
    EXPECT_EQ(getConfigFile(), wide(folder) + L"/.conf");
    // Without a service name there is no service key to name.
    EXPECT_EQ(getServiceRegPath(), L"");

    std::filesystem::copy_file(kitbase::executableFolder() + "/brandpack.dll", folder + "/brandpack.dll");
    EXPECT_EQ(getproductName(), L"Scanwarden");
    EXPECT_EQ(getServiceRegPath(), L"SYSTEM\\CurrentControlSet\\Services\\scanwarden");
    EXPECT_EQ(getConfigFile(), wide(folder) + L"/.conf");  // a built path is kept
}

TEST(Folders, ConcurrentFirstCallsBuildOnePath) {
    const Getter getters[] = {getproductName, getIDXFile,
                              getLogDB,       getTmp,
                              getStatusmith,  getShieldclerk,
                              getEnginePath,  []() -> const std::wstring& { return getLogFile(L""); }};
    constexpr int kThreads = 12;
    std::latch start(kThreads);
    constexpr size_t kGetters = std::size(getters);
    std::vector<std::vector<const std::wstring*>> seen(kThreads, std::vector<const std::wstring*>(kGetters));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            // Each thread walks the getters in its own order.
            for (size_t i = 0; i < kGetters; ++i) {
                size_t g = (i + t) % kGetters;
                seen[t][g] = &getters[g]();
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (size_t i = 0; i < kGetters; ++i) {
        const std::wstring* expected = &getters[i]();
        EXPECT_FALSE(expected->empty()) << i;
        for (int t = 0; t < kThreads; ++t)
            EXPECT_EQ(seen[t][i], expected) << "getter " << i << " thread " << t;
    }
    EXPECT_EQ(getStatusmith(), programFolder() + L"/statusmith.exe");
    EXPECT_EQ(getShieldclerk(), programFolder() + L"/shieldclerk.exe");
    EXPECT_TRUE(isFolder(getTmp()));
}

TEST(Folders, CreatePathJoinsWithOneSeparator) {
    struct Case {
        std::wstring a, b, expected;
    } cases[] = {
        {L"/opt/app", L"file.txt", L"/opt/app/file.txt"},
        {L"/opt/app/", L"file.txt", L"/opt/app/file.txt"},
        {L"/opt/app", L"/file.txt", L"/opt/app/file.txt"},
        {L"/opt/app \n", L"file.txt", L"/opt/app/file.txt"},
        {L"https://update.example", L"update/idx", L"https://update.example/update/idx"},
        {L"SYSTEM\\Services\\", L"svc", L"SYSTEM\\Services\\svc"},
        {L"", L"file.txt", L"file.txt"},
        {L"/opt/app", L"", L"/opt/app"},
        {L"  ", L"file.txt", L"file.txt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(createPath(c.a, c.b), c.expected) << kitbase::wideToUtf8(c.a);
    EXPECT_EQ(createPath(L"/a", L"b", L"c.txt"), L"/a/b/c.txt");
    EXPECT_EQ(createPathWithExt(L"/a", L"b", L".log"), L"/a/b.log");
}

TEST(Folders, PathsAreTakenApart) {
    struct Case {
        std::wstring path, filename, folder, partsFolder, partsName;
    } cases[] = {
        {L"/opt/app/file.txt", L"file.txt", L"/opt/app", L"/opt/app", L"file.txt"},
        {L"/file.txt", L"file.txt", L"/", L"/", L"file.txt"},
        {L"file.txt", L"file.txt", L"", L"", L"file.txt"},
        {L"/opt/app/", L"", L"/opt/app", L"/opt/app", L""},
        {L"/opt//app//x", L"x", L"/opt//app", L"/opt//app", L"x"},
        {L"\"/opt/a b/c.exe\"", L"c.exe", L"/opt/a b", L"/opt/a b", L"c.exe"},
        {L"/opt/a\\b.txt", L"a\\b.txt", L"/opt", L"/opt", L"a\\b.txt"},
    };
    for (const auto& c : cases) {
        std::string label = kitbase::wideToUtf8(c.path);
        EXPECT_EQ(getFilename(c.path), c.filename) << label;
        EXPECT_EQ(getPath(c.path), c.folder) << label;
        std::wstring folder = L"x", name = L"x";
        EXPECT_TRUE(getPathParts(c.path, folder, name)) << label;
        EXPECT_EQ(folder, c.partsFolder) << label;
        EXPECT_EQ(name, c.partsName) << label;
    }
    std::wstring folder, name;
    EXPECT_FALSE(getPathParts(L"", folder, name));
}

TEST(Folders, PathsWithBlanksAreQuotedOnce) {
    struct Case {
        std::wstring path, expected;
    } cases[] = {
        {L"/opt/a b/c.exe", L"\"/opt/a b/c.exe\""},       {L"\"/opt/a b/c.exe\"", L"\"/opt/a b/c.exe\""},
        {L"\"\"/opt/a b/c.exe\"", L"\"/opt/a b/c.exe\""}, {L"/opt/ab/c.exe", L"/opt/ab/c.exe"},
        {L"\"/opt/ab/c.exe\"", L"\"/opt/ab/c.exe\""},
    };
    for (auto c : cases) {
        std::wstring path = c.path;
        EXPECT_EQ(&quotePathIfBlank(path), &path);
        EXPECT_EQ(path, c.expected) << kitbase::wideToUtf8(c.path);
    }
}

TEST(Folders, VersionTextsAreFourNumbers) {
    std::wregex version(L"[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+");
    EXPECT_TRUE(std::regex_match(getThisFilesVersion(), version))
        << kitbase::wideToUtf8(getThisFilesVersion());
    EXPECT_TRUE(std::regex_match(getServiceFileVersion(), version));
}
