#include "kitbase/platform/service_database.h"

#include <gtest/gtest.h>

#include "kitbase/platform/registry_store.h"
#include "kitbase/platform/service_host.h"
#include "kitbase/platform/winerror.h"

using namespace kitbase;

namespace {

ServiceConfig sample() {
    ServiceConfig c;
    c.name = L"Scan Warden";
    c.displayName = L"Scan Warden Service";
    c.binaryPath = L"/opt/Scan Warden/scanwarden.exe";
    c.startType = SERVICE_AUTO_START;
    c.dependencies = {L"Tcpip", L"Afd"};
    c.account = L"LocalSystem";
    c.description = L"Guards files\nline two";
    c.failureResetSeconds = 86400;
    c.failureActions = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 120000}};
    c.preshutdownTimeoutMs = 180000;
    return c;
}

}  // namespace

TEST(ServiceDatabase, CreateRecordsServiceAndRegistryKey) {
    ASSERT_EQ(ServiceDatabase::create(sample()), ERROR_SUCCESS);

    ServiceConfig back;
    ASSERT_EQ(ServiceDatabase::read(L"scan warden", back), ERROR_SUCCESS);  // any case
    EXPECT_EQ(back.name, L"Scan Warden");
    EXPECT_EQ(back.binaryPath, L"/opt/Scan Warden/scanwarden.exe");
    EXPECT_EQ(back.startType, SERVICE_AUTO_START);
    EXPECT_EQ(back.dependencies, (std::vector<std::wstring>{L"Tcpip", L"Afd"}));
    EXPECT_EQ(back.description, L"Guards files\nline two");
    EXPECT_EQ(back.failureResetSeconds, 86400u);
    ASSERT_EQ(back.failureActions.size(), 2u);
    EXPECT_EQ(back.failureActions[1].Delay, 120000u);
    EXPECT_EQ(back.preshutdownTimeoutMs, 180000u);

    RegistryStore& store = RegistryStore::machine();
    RegistryKey key;
    ASSERT_EQ(store.openKey(L"SYSTEM\\CurrentControlSet\\Services\\Scan Warden", KEY_READ, key),
              ERROR_SUCCESS);
    std::wstring text;
    ASSERT_EQ(store.getString(key, L"ImagePath", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"/opt/Scan Warden/scanwarden.exe");
    ASSERT_EQ(store.getString(key, L"Description", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"Guards files\nline two");

    EXPECT_EQ(ServiceDatabase::create(sample()), ERROR_SERVICE_EXISTS);
}

TEST(ServiceDatabase, RemoveDeletesRecordAndKey) {
    ServiceConfig c = sample();
    c.name = L"Removable";
    ASSERT_EQ(ServiceDatabase::create(c), ERROR_SUCCESS);
    ASSERT_EQ(ServiceDatabase::remove(L"REMOVABLE"), ERROR_SUCCESS);
    ServiceConfig back;
    EXPECT_EQ(ServiceDatabase::read(L"Removable", back), ERROR_SERVICE_DOES_NOT_EXIST);
    RegistryKey key;
    EXPECT_EQ(RegistryStore::machine().openKey(ServiceDatabase::registryKeyPath(L"Removable"), KEY_READ, key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ServiceDatabase::remove(L"Removable"), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST(ServiceDatabase, BadNamesAreRefused) {
    for (const wchar_t* name : {L"", L"a/b", L"a\\b", L"../x"}) {
        ServiceConfig c = sample();
        c.name = name;
        EXPECT_EQ(ServiceDatabase::create(c), ERROR_INVALID_NAME) << name;
    }
}

TEST(FailureCounter, TakesActionsInOrderRepeatsTheLastAndResets) {
    ServiceConfig c;
    c.failureResetSeconds = 86400;
    c.failureActions = {{SC_ACTION_RESTART, 100}, {SC_ACTION_RESTART, 200}, {SC_ACTION_NONE, 0}};
    FailureCounter counter;
    const struct {
        time_t at;
        DWORD type, delay, count;
    } steps[] = {
        {1000, SC_ACTION_RESTART, 100, 1},
        {1010, SC_ACTION_RESTART, 200, 2},
        {1020, SC_ACTION_NONE, 0, 3},
        {1030, SC_ACTION_NONE, 0, 4},               // the last action serves later failures
        {1030 + 86400, SC_ACTION_RESTART, 100, 1},  // a day without failure starts again
    };
    for (const auto& s : steps) {
        SC_ACTION a = counter.next(c, s.at);
        EXPECT_EQ(a.Type, s.type) << s.at;
        EXPECT_EQ(a.Delay, s.delay) << s.at;
        EXPECT_EQ(counter.count(), s.count) << s.at;
    }
    FailureCounter none;
    EXPECT_EQ(none.next(ServiceConfig(), 5).Type, SC_ACTION_NONE);
}
