#include "kitbase/platform/registry_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "kitbase/platform/roots.h"
#include "support/test_root.h"

namespace {

using kitbase::RegistryKey;
using kitbase::RegistryStore;

class RegistryStoreTest : public ::testing::Test {
protected:
    std::string path_ = testsupport::makeTempDir("reg") + "/sub/registry.db";
    RegistryStore store_{path_};

    RegistryKey create(const std::wstring& path, DWORD access = KEY_ALL_ACCESS) {
        RegistryKey key;
        EXPECT_EQ(store_.createKey(path, access, key), ERROR_SUCCESS);
        return key;
    }
};

TEST_F(RegistryStoreTest, PathsAndNamesIgnoreCase) {
    bool created = false;
    RegistryKey key;
    ASSERT_EQ(store_.createKey(L"SOFTWARE\\Vendor\\Ärger", KEY_ALL_ACCESS, key, &created), ERROR_SUCCESS);
    EXPECT_TRUE(created);
    ASSERT_EQ(store_.setString(key, L"LastScan", L"yes"), ERROR_SUCCESS);

    RegistryKey again;
    ASSERT_EQ(store_.createKey(L"software\\VENDOR\\ärger\\", KEY_ALL_ACCESS, again, &created), ERROR_SUCCESS);
    EXPECT_FALSE(created);
    EXPECT_EQ(again.id, key.id);
    std::wstring text;
    ASSERT_EQ(store_.getString(again, L"LASTSCAN", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"yes");

    // Parents were created on the way.
    RegistryKey parent;
    EXPECT_EQ(store_.openKey(L"Software\\vendor", KEY_READ, parent), ERROR_SUCCESS);
}

TEST_F(RegistryStoreTest, ValuesKeepTheirTypeAndByteForm) {
    RegistryKey key = create(L"SOFTWARE\\Types");
    ASSERT_EQ(store_.setString(key, L"Text", L"ab\U0001F600"), ERROR_SUCCESS);
    ASSERT_EQ(store_.setDword(key, L"Number", 0xA1B2C3D4u), ERROR_SUCCESS);

    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(store_.queryValue(key, L"text", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    // Two bytes per UTF-16 unit, no terminator: "a", "b" and a surrogate pair.
    EXPECT_EQ(data, (std::vector<BYTE>{'a', 0, 'b', 0, 0x3D, 0xD8, 0x00, 0xDE}));
    std::wstring text;
    ASSERT_EQ(store_.getString(key, L"Text", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"ab\U0001F600");

    ASSERT_EQ(store_.queryValue(key, L"NUMBER", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(data, (std::vector<BYTE>{0xD4, 0xC3, 0xB2, 0xA1}));

    // Rewriting a value may change its type.
    ASSERT_EQ(store_.setString(key, L"number", L"now text"), ERROR_SUCCESS);
    DWORD number = 0;
    EXPECT_EQ(store_.getDword(key, L"Number", number), ERROR_INVALID_DATA);
    ASSERT_EQ(store_.getString(key, L"Number", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"now text");
}

TEST_F(RegistryStoreTest, ASurrogatePairInWideTextIsOneCharacter) {
    // As the UTF-8 codec reads it: one character, not two replacement characters.
    const std::wstring pair = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
    EXPECT_EQ(kitbase::registryTextBytes(pair), (std::vector<BYTE>{0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(kitbase::registryTextBytes(std::wstring(1, static_cast<wchar_t>(0xD83D))),
              (std::vector<BYTE>{0xFD, 0xFF}));
    RegistryKey key = create(L"SOFTWARE\\Pairs");
    ASSERT_EQ(store_.setString(key, L"Text", pair), ERROR_SUCCESS);
    std::wstring text;
    ASSERT_EQ(store_.getString(key, L"Text", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"\U0001F600");
}

TEST_F(RegistryStoreTest, TextsAreCutAtTheirFirstZero) {
    const BYTE bytes[] = {'o', 0, 'k', 0, 0, 0, 'x', 0};
    EXPECT_EQ(kitbase::registryTextFromBytes(bytes, sizeof(bytes)), L"ok");
    EXPECT_EQ(kitbase::registryTextFromBytes(bytes, 3), L"o");  // an odd last byte is ignored
}

TEST_F(RegistryStoreTest, MissingKeysAndValuesAreReported) {
    RegistryKey key;
    EXPECT_EQ(store_.openKey(L"SOFTWARE\\Nobody", KEY_READ, key), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(key.isOpen());
    EXPECT_EQ(store_.deleteKey(L"SOFTWARE\\Nobody"), ERROR_FILE_NOT_FOUND);

    key = create(L"SOFTWARE\\Somebody");
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(store_.queryValue(key, L"none", type, data), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(store_.deleteValue(key, L"none"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(store_.setDword(key, L"one", 1), ERROR_SUCCESS);
    EXPECT_EQ(store_.deleteValue(key, L"ONE"), ERROR_SUCCESS);
    EXPECT_EQ(store_.queryValue(key, L"one", type, data), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(store_.queryValue(RegistryKey{}, L"one", type, data), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryStoreTest, BadPathsAreRefused) {
    RegistryKey key;
    const std::wstring paths[] = {L"", L"\\", L"\\SOFTWARE", L"SOFTWARE\\\\Vendor",
                                  std::wstring(L"SOFTWARE\\a\0b", 12)};
    for (const std::wstring& path : paths) {
        SCOPED_TRACE(testing::PrintToString(path));
        EXPECT_EQ(store_.openKey(path, KEY_READ, key), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(store_.createKey(path, KEY_READ, key), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(store_.deleteKey(path), ERROR_INVALID_PARAMETER);
    }
}

TEST_F(RegistryStoreTest, AccessRightsOfTheOpenKeyAreEnforced) {
    create(L"SOFTWARE\\Guarded");
    RegistryKey reader;
    RegistryKey writer;
    ASSERT_EQ(store_.openKey(L"SOFTWARE\\Guarded", KEY_READ, reader), ERROR_SUCCESS);
    ASSERT_EQ(store_.openKey(L"SOFTWARE\\Guarded", KEY_WRITE, writer), ERROR_SUCCESS);
    EXPECT_EQ(store_.setDword(reader, L"v", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(store_.deleteValue(reader, L"v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(store_.setDword(writer, L"v", 1), ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_EQ(store_.getDword(writer, L"v", value), ERROR_ACCESS_DENIED);
    EXPECT_EQ(store_.getDword(reader, L"v", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
}

TEST_F(RegistryStoreTest, DeletingAKeyTakesItsSubtreeOnly) {
    RegistryKey service = create(L"SYSTEM\\CurrentControlSet\\Services\\Scan");
    RegistryKey child = create(L"SYSTEM\\CurrentControlSet\\Services\\Scan\\Parameters");
    RegistryKey sibling = create(L"SYSTEM\\CurrentControlSet\\Services\\Scanner");
    ASSERT_EQ(store_.setString(service, L"ImagePath", L"/opt/scan"), ERROR_SUCCESS);
    ASSERT_EQ(store_.setDword(child, L"x", 1), ERROR_SUCCESS);
    ASSERT_EQ(store_.setDword(sibling, L"y", 2), ERROR_SUCCESS);

    ASSERT_EQ(store_.deleteKey(L"system\\currentcontrolset\\services\\SCAN"), ERROR_SUCCESS);
    RegistryKey key;
    EXPECT_EQ(store_.openKey(L"SYSTEM\\CurrentControlSet\\Services\\Scan", KEY_READ, key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(store_.openKey(L"SYSTEM\\CurrentControlSet\\Services\\Scan\\Parameters", KEY_READ, key),
              ERROR_FILE_NOT_FOUND);
    DWORD value = 0;
    EXPECT_EQ(store_.getDword(sibling, L"y", value), ERROR_SUCCESS);

    // A handle of the deleted key fails instead of writing into nowhere, also after the
    // key has been created anew.
    EXPECT_EQ(store_.setDword(service, L"z", 1), ERROR_KEY_DELETED);
    std::wstring text;
    EXPECT_EQ(store_.getString(service, L"ImagePath", text), ERROR_KEY_DELETED);
    RegistryKey recreated = create(L"SYSTEM\\CurrentControlSet\\Services\\Scan");
    EXPECT_NE(recreated.id, service.id);
    EXPECT_EQ(store_.getString(recreated, L"ImagePath", text), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(store_.setDword(service, L"z", 1), ERROR_KEY_DELETED);
}

TEST_F(RegistryStoreTest, ANewStorePresentsAWindows10Client) {
    RegistryKey key;
    ASSERT_EQ(store_.openKey(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", KEY_READ, key),
              ERROR_SUCCESS);
    std::wstring text;
    ASSERT_EQ(store_.getString(key, L"CurrentVersion", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"6.3");
    ASSERT_EQ(store_.getString(key, L"CurrentBuild", text), ERROR_SUCCESS);
    EXPECT_GE(std::stoi(text), 18323);
    ASSERT_EQ(store_.getString(key, L"InstallationType", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"Client");

    const kitbase::WindowsVersionNumbers v = kitbase::windowsVersionNumbers();  // the machine's store
    EXPECT_EQ(v.major, 10u);
    EXPECT_EQ(v.minor, 0u);
    EXPECT_EQ(v.servicePackMajor, 0);
}

TEST(RegistryStoreMachine, VersionNumbersFollowTheVersionKey) {
    RegistryStore& store = RegistryStore::machine();
    ASSERT_EQ(store.deleteKey(kitbase::kWindowsVersionKey), ERROR_SUCCESS);
    EXPECT_EQ(kitbase::windowsVersionNumbers().major, 10u);  // no key: Windows 10.0

    RegistryKey key;
    ASSERT_EQ(store.createKey(kitbase::kWindowsVersionKey, KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    ASSERT_EQ(store.setString(key, L"CurrentVersion", L"6.1"), ERROR_SUCCESS);
    ASSERT_EQ(store.setString(key, L"CSDVersion", L"Service Pack 1"), ERROR_SUCCESS);
    kitbase::WindowsVersionNumbers v = kitbase::windowsVersionNumbers();
    EXPECT_EQ(v.major, 6u);
    EXPECT_EQ(v.minor, 1u);
    EXPECT_EQ(v.servicePackMajor, 1);

    ASSERT_EQ(store.setDword(key, L"CurrentMajorVersionNumber", 10), ERROR_SUCCESS);
    ASSERT_EQ(store.setDword(key, L"CurrentMinorVersionNumber", 0), ERROR_SUCCESS);
    v = kitbase::windowsVersionNumbers();
    EXPECT_EQ(v.major, 10u);
    EXPECT_EQ(v.minor, 0u);
}

TEST(RegistryStoreFailure, AnUnusableDatabaseGivesAnErrorNotAThrow) {
    const std::string blocker = testsupport::makeTempDir("blocked") + "/file";
    testsupport::writeFile(blocker, "not a folder");
    RegistryStore store(blocker + "/registry.db");
    RegistryKey key;
    EXPECT_EQ(store.createKey(L"SOFTWARE\\X", KEY_ALL_ACCESS, key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(store.openKey(L"SOFTWARE\\X", KEY_READ, key), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(key.isOpen());
}

TEST_F(RegistryStoreTest, ThreadsWriteWithoutLosingValues) {
    RegistryKey key = create(L"SOFTWARE\\Threads");
    constexpr int kThreads = 8;
    constexpr int kWrites = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kWrites; ++i) {
                EXPECT_EQ(store_.setDword(key, L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i),
                                          static_cast<DWORD>(t * 1000 + i)),
                          ERROR_SUCCESS);
                DWORD value = 0;
                EXPECT_EQ(store_.getDword(key, L"T" + std::to_wstring(t) + L"_" + std::to_wstring(i), value),
                          ERROR_SUCCESS);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kWrites; ++i) {
            DWORD value = 0;
            ASSERT_EQ(store_.getDword(key, L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i), value),
                      ERROR_SUCCESS);
            EXPECT_EQ(value, static_cast<DWORD>(t * 1000 + i));
        }
    }
}

TEST_F(RegistryStoreTest, ProcessesWriteWithoutLosingValues) {
    create(L"SOFTWARE\\Processes");  // the parent has the database open before forking
    constexpr int kChildren = 4;
    constexpr int kWrites = 40;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Each child works through the parent's store object (which must open a
            // connection of its own) and through a store of its own.
            RegistryStore own(path_);
            int failures = 0;
            for (int i = 0; i < kWrites; ++i) {
                RegistryStore& s = (i % 2) ? own : store_;
                RegistryKey key;
                failures +=
                    s.createKey(L"SOFTWARE\\Processes\\C" + std::to_wstring(c), KEY_ALL_ACCESS, key) != 0;
                failures += s.setDword(key, L"v" + std::to_wstring(i), static_cast<DWORD>(c * 100 + i)) != 0;
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int c = 0; c < kChildren; ++c) {
        RegistryKey key;
        ASSERT_EQ(store_.openKey(L"SOFTWARE\\Processes\\c" + std::to_wstring(c), KEY_READ, key),
                  ERROR_SUCCESS);
        for (int i = 0; i < kWrites; ++i) {
            DWORD value = 0;
            ASSERT_EQ(store_.getDword(key, L"V" + std::to_wstring(i), value), ERROR_SUCCESS);
            EXPECT_EQ(value, static_cast<DWORD>(c * 100 + i));
        }
    }
}

}  // namespace
