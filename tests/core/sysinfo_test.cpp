#include "kitbase/core/sysinfo.h"

#include <gtest/gtest.h>

#include <string>

#include "kitbase/core/folders.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/uuid.h"
#include "kitbase/platform/registry_store.h"
#include "kitbase/platform/utf8.h"
#include "support/test_root.h"

namespace {

// The emulated Windows release, written into the machine's registry.
struct Release {
    const wchar_t* currentVersion;  // null: value absent
    const wchar_t* build;
    int major;  // -1: no number values
    int minor;
    const wchar_t* csd;  // null: no service pack
    const wchar_t* installationType;
};

void emulate(const Release& r) {
    kitbase::RegistryStore& store = kitbase::RegistryStore::machine();
    store.deleteKey(kitbase::kWindowsVersionKey);
    kitbase::RegistryKey key;
    ASSERT_EQ(store.createKey(kitbase::kWindowsVersionKey, KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    if (r.currentVersion)
        store.setString(key, L"CurrentVersion", r.currentVersion);
    if (r.build)
        store.setString(key, L"CurrentBuild", r.build);
    if (r.major >= 0) {
        store.setDword(key, L"CurrentMajorVersionNumber", static_cast<DWORD>(r.major));
        store.setDword(key, L"CurrentMinorVersionNumber", static_cast<DWORD>(r.minor));
    }
    if (r.csd)
        store.setString(key, L"CSDVersion", r.csd);
    if (r.installationType)
        store.setString(key, L"InstallationType", r.installationType);
}

struct VersionCase {
    Release release;
    const wchar_t* label;
    bool win10, rs5, win7, server, client;
};

// Names the case by its label in test listings.
void PrintTo(const VersionCase& c, std::ostream* os) { *os << kitbase::wideToUtf8(c.label); }

class WindowsVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(WindowsVersionTest, TestsAndLabelFollowTheRegistry) {
    const VersionCase& c = GetParam();
    emulate(c.release);
    std::wstring label;
    getOSVersion(label);
    EXPECT_EQ(label, c.label);
    EXPECT_EQ(IsWindows10(), c.win10);
    EXPECT_EQ(IsWindows10RS5AndAbove(), c.rs5);
    EXPECT_EQ(IsWindows7(), c.win7);
    EXPECT_EQ(isServer(), c.server);
    EXPECT_EQ(isClient(), c.client);
}

INSTANTIATE_TEST_SUITE_P(
    Releases, WindowsVersionTest,
    ::testing::Values(
        VersionCase{{L"6.3", L"19045", 10, 0, nullptr, L"Client"}, L"10RS5+", true, true, false, false, true},
        VersionCase{{L"6.3", L"18323", 10, 0, nullptr, L"Server"}, L"10RS5+", true, true, false, true, false},
        VersionCase{
            {L"6.3", L"17763", 10, 0, nullptr, L"Server Core"}, L"10+", true, false, false, true, false},
        VersionCase{{L"6.3", L"9600", 6, 3, nullptr, L"Client"}, L"8.1+", true, false, false, false, true},
        VersionCase{{L"6.2", L"9200", -1, 0, nullptr, L"Client"}, L"8.0", false, false, false, false, true},
        VersionCase{{L"6.1", L"7601", -1, 0, L"Service Pack 1", L"Client"},
                    L"7 SP1",
                    false,
                    false,
                    true,
                    false,
                    true},
        VersionCase{{L"6.1", L"7600", -1, 0, nullptr, nullptr}, L"7", false, false, false, false, false},
        VersionCase{{L"6.0", L"6002", -1, 0, L"Service Pack 2", nullptr},
                    L"Vista SP2",
                    false,
                    false,
                    false,
                    false,
                    false},
        VersionCase{{L"6.0", L"6000", -1, 0, nullptr, nullptr}, L"Vista", false, false, false, false, false},
        VersionCase{{L"5.1", L"2600", -1, 0, L"Service Pack 3", nullptr},
                    L"XP SP3",
                    false,
                    false,
                    false,
                    false,
                    false},
        VersionCase{{L"5.1", L"2600", -1, 0, nullptr, nullptr}, L"XP", false, false, false, false, false},
        VersionCase{{L"5.0", L"2195", -1, 0, L"Service Pack 4", nullptr},
                    L"Unknown OS",
                    false,
                    false,
                    false,
                    false,
                    false}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return "Release" + std::to_string(info.index); });

TEST(WindowsVersion, AFreshMachineIsAWindows10RS5Client) {
    EXPECT_TRUE(IsWindows10());
    EXPECT_TRUE(IsWindows10RS5AndAbove());
    EXPECT_TRUE(isClient());
    EXPECT_FALSE(isServer());
    EXPECT_EQ(getOSVersion(), L"10RS5+");
    EXPECT_EQ(&getOSVersion(), &getOSVersion());  // computed once and kept
}

TEST(WindowsVersion, WithoutTheVersionKeyTheRegistryTestsAreFalse) {
    ASSERT_EQ(kitbase::RegistryStore::machine().deleteKey(kitbase::kWindowsVersionKey), ERROR_SUCCESS);
    EXPECT_FALSE(IsWindows10());
    EXPECT_FALSE(IsWindows10RS5AndAbove());
    EXPECT_FALSE(isServer());
    EXPECT_FALSE(isClient());
    EXPECT_TRUE(IsWindowsVersionOrGreater(10, 0, 0));
    std::wstring label;
    getOSVersion(label);
    EXPECT_EQ(label, L"10+");
}

TEST(WindowsVersion, VersionNumbersCompareTogether) {
    emulate({L"6.1", L"7601", -1, 0, L"Service Pack 1", nullptr});
    EXPECT_TRUE(IsWindowsVersionOrGreater(6, 1, 1));
    EXPECT_TRUE(IsWindowsVersionOrGreater(6, 0, 2));  // a higher minor outweighs the service pack
    EXPECT_TRUE(IsWindowsVersionOrGreater(5, 2, 9));
    EXPECT_FALSE(IsWindowsVersionOrGreater(6, 1, 2));
    EXPECT_FALSE(IsWindowsVersionOrGreater(6, 2, 0));
    EXPECT_TRUE(IsExactlyWindows7());
}

TEST(WindowsVersion, TheOperatingSystemIs64Bit) {
    if (sizeof(void*) != 8)
        GTEST_SKIP() << "a 32-bit build answers from the kernel";
    EXPECT_TRUE(Is64BitWindows());
}

TEST(CompareVersions, ComparesPartByPartAsNumbers) {
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        int expected;
    };
    const Case cases[] = {
        {L"1.2.3.4", L"1.2.3.5", -1},
        {L"1.2.3.5", L"1.2.3.4", 1},
        {L"1.2.3.4", L"1.2.3.4", 0},
        {L"2.0", L"1.10", 1},
        {L"1.10", L"2.0", -1},
        {L"1.2.10.0", L"1.3.0.0", -1},
        {L"1.3.0.0", L"1.2.10.0", 1},
        {L"1.0.0.10", L"1.0.1.0", -1},
        {L"1.2", L"1.2.3", -1},
        {L"1.2.3", L"1.2", 1},
        {L"1.2", L"1.2.0.0", 0},
        {L"1.0.0.0.1", L"1.0.0.0", 1},
        {L"10.0", L"9.99999", 1},
        {L" 1 . 5 ", L"1.5", 0},
        {L"", L"", 0},
        {L"", L"0.1", -1},
        {L"1.0", L"", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.a)) + " vs " +
                     testing::PrintToString(std::wstring(c.b)));
        EXPECT_EQ(compareVersions(c.a, c.b), c.expected);
    }
}

TEST(FileVersion, AFileWithoutVersionInformation) {
    const std::string dir = testsupport::makeTempDir("ver");
    testsupport::writeFile(dir + "/plain.txt", "no version here");
    std::wstring out = L"junk";
    EXPECT_EQ(getFileVersionInfo(kitbase::utf8ToWide(dir + "/plain.txt"), out), 1u);
    EXPECT_EQ(out, L"0.0.0.0");
    out = L"junk";
    EXPECT_EQ(getFileVersionInfo(kitbase::utf8ToWide(dir + "/missing"), out), 1u);
    EXPECT_EQ(out, L"0.0.0.0");
    EXPECT_EQ(getFileVersionInfo(L"", out), 1u);
}

class PackageVersionTest : public ::testing::Test {
protected:
    void SetUp() override { setWorkingPath(kitbase::utf8ToWide(testsupport::testRoot())); }
    void write(const std::string& content) {
        testsupport::writeFile(testsupport::testRoot() + "/version.txt", content);
    }
};

TEST_F(PackageVersionTest, ReadsTheFirstLine) {
    struct Case {
        std::string content;
        unsigned result;
        std::wstring line;
    };
    const Case cases[] = {
        {"3.2.1.0\nsecond line\n", 1, L"3.2.1.0\n"},
        {"3.2.1.0\r\nsecond\r\n", 1, L"3.2.1.0\n"},
        {"\xEF\xBB\xBF"
         "4.0",
         1, L"4.0"},
        {"\n", 1, L"\n"},
        {"", 0, L"unchanged"},
        {std::string(300, '7') + "\n", 1, std::wstring(253, L'7')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 20));
        write(c.content);
        std::wstring out = L"unchanged";
        EXPECT_EQ(getPackageVersion(L"ignored", out), c.result);
        EXPECT_EQ(out, c.line);
    }
}

TEST_F(PackageVersionTest, AMissingFileReadsNothing) {
    std::remove((testsupport::testRoot() + "/version.txt").c_str());
    std::wstring out = L"unchanged";
    EXPECT_EQ(getPackageVersion(L"", out), 0u);
    EXPECT_EQ(out, L"unchanged");
}

TEST(MachineId, IsOneUuidKeptInTheRegistry) {
    // An installed service has its key; the identifier is kept there too.
    const std::wstring& servicePath = getServiceRegPath();
    if (!servicePath.empty()) {
        ASSERT_TRUE(Registry().Create(servicePath));
    }
    const std::wstring& id = getMaschineID();
    EXPECT_EQ(id.size(), 36u);
    EXPECT_TRUE(isUUIDValid(id));
    EXPECT_EQ(&getMaschineID(), &id);
    EXPECT_EQ(getMaschineID(), id);
    const std::wstring& product = getproductName();
    if (!product.empty()) {
        EXPECT_EQ(Registry(L"SOFTWARE\\" + product).getStringValue(L"MaschineId"), id);
    } else {  // without a product name nothing is written into "SOFTWARE" itself
        EXPECT_EQ(Registry(L"SOFTWARE").getStringValue(L"MaschineId"), L"");
    }
    if (!servicePath.empty()) {
        EXPECT_EQ(getSRegValue(L"MaschineId"), id);
    }
}

TEST(MachineId, AStoredIdentifierIsUsed) {
    const std::wstring& product = getproductName();
    if (product.empty())
        GTEST_SKIP() << "no product name in this build";
    Registry key;
    ASSERT_TRUE(key.Create(L"SOFTWARE\\" + product));
    ASSERT_EQ(key.setStringValue(L"MaschineId", L"0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f0"), 0);
    EXPECT_EQ(getMaschineID(), L"0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f0");
}

}  // namespace
