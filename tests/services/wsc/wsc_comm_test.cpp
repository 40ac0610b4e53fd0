#include "kitbase/services/wsc_comm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "kitbase/core/folders.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/strings.h"
#include "kitbase/platform/roots.h"
#include "kitbase/services/pre_rs5_wsc_comm.h"
#include "wsc_fixture.h"

using namespace wsctest;

namespace {

constexpr unsigned int kProductId = 12033;

unsigned int flagsFor(Windows w) {
    return w == Windows::TenFrom18323 ? kProductId : 0xFFFFFFFFu;
}

bool libraryLoaded(const std::string& name) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(name) != std::string::npos)
            return true;
    }
    return false;
}

// Waits (bounded) until the Security Center state holds the value.
bool waitForState(const std::string& section, const std::string& key, const std::string& value) {
    for (int i = 0; i < 200; ++i) {
        if (state(section, key) == value)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

struct VersionCase {
    Windows windows;
    const char* by;                // who records the registration
    bool substatusAtRegistration;  // the three substatus calls follow the registration
    bool substatusAfterStatus;     // ... and every status report
    bool antiSpyware;              // also registered as anti-spyware
    bool defender;                 // Defender switched off and on again
};

void PrintTo(const VersionCase& c, std::ostream* os) {
    *os << nameOf(c.windows);
}

void clearSubstatus() {
    kitbase::setSecurityCenterValues("antivirus", {{"settings", ""}, {"scan", ""}, {"protection", ""}});
}

void expectSubstatus(bool expected) {
    const std::string value = expected ? "no_action" : "";
    EXPECT_EQ(state("antivirus", "settings"), value);
    EXPECT_EQ(state("antivirus", "scan"), value);
    EXPECT_EQ(state("antivirus", "protection"), value);
}

class WSCCommVersions : public ::testing::TestWithParam<VersionCase> {};

TEST_P(WSCCommVersions, RegistrationStatesAndUnregistrationReachSecurityCenter) {
    const VersionCase& c = GetParam();
    emulate(c.windows);
    openTrace();
    installDefenderClient();
    const std::wstring remediation = getStatusmith();
    const std::wstring folder = createPath(getScannerPath(), L"elam_ppl");
    {
        WSCComm comm;
        EXPECT_EQ(comm.className(), L"WSC");
        ASSERT_EQ(comm.initialize(flagsFor(c.windows)), S_OK);
        EXPECT_TRUE(comm.isInitialized());
        EXPECT_TRUE(logged("DEBUG", "Successfully initialized WSCComm"));
        EXPECT_EQ(comm.initialize(flagsFor(c.windows)), S_OK);  // already initialised

        ASSERT_EQ(comm.register_remediation(remediation.c_str(), L"Scanwarden", folder.c_str()), S_OK);
        EXPECT_EQ(state("antivirus", "registered"), "1");
        EXPECT_EQ(state("antivirus", "by"), c.by);
        EXPECT_EQ(state("antivirus", "path"), WS2S(remediation));
        EXPECT_EQ(state("antivirus", "name"), "Scanwarden");
        EXPECT_EQ(state("antivirus", "state"), "on");
        expectSubstatus(c.substatusAtRegistration);
        EXPECT_EQ(state("antispyware", "registered"), c.antiSpyware ? "1" : "");
        EXPECT_EQ(state("defender", "enabled"), c.defender ? "0" : "");
        if (c.windows == Windows::TenFrom18323) {
            EXPECT_EQ(state("antivirus", "folder"), WS2S(folder));
            EXPECT_EQ(state("client", "product"), std::to_string(kProductId));
        }

        const std::pair<WSC_SECURITY_PRODUCT_STATE, const char*> reports[] = {
            {WSC_SECURITY_PRODUCT_STATE_OFF, "off"},
            {WSC_SECURITY_PRODUCT_STATE_SNOOZED, "snoozed"},
            {WSC_SECURITY_PRODUCT_STATE_ON, "on"}};
        for (const auto& [report, text] : reports) {
            SCOPED_TRACE(text);
            clearSubstatus();
            EXPECT_EQ(comm.update_status(report, 1), S_OK);
            EXPECT_EQ(state("antivirus", "state"), text);
            expectSubstatus(c.substatusAfterStatus);
            if (c.antiSpyware) {
                EXPECT_EQ(state("antispyware", "state"), text);
            }
        }

        EXPECT_EQ(comm.unregister_remediation(), S_OK);
        EXPECT_TRUE(comm.isInitialized());
        EXPECT_EQ(state("antivirus", "registered"), "0");
        EXPECT_EQ(state("antivirus", "state"), "off");
        EXPECT_EQ(state("antispyware", "registered"), c.antiSpyware ? "0" : "");
        EXPECT_EQ(state("defender", "enabled"), c.defender ? "1" : "");
        if (c.windows == Windows::TenFrom18323) {
            EXPECT_EQ(state("client", "uninstall"), "prepared");
            EXPECT_EQ(state("client", "protected_service"), "stopped");
        }
    }
    EXPECT_TRUE(logged("DEBUG", "WSCComm : Cleaning up"));
    EXPECT_FALSE(libraryLoaded("vrnwsccomm.dll"));
}

INSTANTIATE_TEST_SUITE_P(
    Releases, WSCCommVersions,
    ::testing::Values(VersionCase{Windows::Seven, "isv", false, false, true, true},
                      VersionCase{Windows::Eight, "isv", true, true, true, false},
                      VersionCase{Windows::TenBefore18323, "isv", true, true, false, false},
                      VersionCase{Windows::TenFrom18323, "vrnwsccomm", false, true, false, false}),
    [](const ::testing::TestParamInfo<VersionCase>& info) {
        return std::string(nameOf(info.param.windows));
    });

TEST(WSCComm, TheBackEndFollowsTheWindowsVersion) {
    openTrace();
    {
        emulate(Windows::TenFrom18323);
        WSCComm comm;
        ASSERT_EQ(comm.initialize(kProductId), S_OK);
        EXPECT_TRUE(logged("INFO", "Initializing system for versions newer than Windows 10 RS6"));
    }
    {
        emulate(Windows::Eight);
        WSCComm comm;
        ASSERT_EQ(comm.initialize(0xFFFFFFFFu), S_OK);
        EXPECT_TRUE(logged("INFO", "Initializing system for versions before Windows 10 RS6"));
    }
}

TEST(WSCComm, OnAServerEveryOperationIsALoggedNoOp) {
    emulate(Windows::Server);
    openTrace();
    WSCComm comm;
    EXPECT_EQ(comm.initialize(0xFFFFFFFFu), S_OK);
    EXPECT_EQ(comm.register_remediation(L"/x", L"n", L"/f"), S_OK);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), S_OK);
    EXPECT_EQ(comm.update_status_external(WSC_SECURITY_PRODUCT_STATE_ON), S_OK);
    EXPECT_EQ(comm.update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), S_OK);
    EXPECT_EQ(comm.update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), S_OK);
    EXPECT_EQ(comm.update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), S_OK);
    EXPECT_EQ(comm.unregister_remediation(), S_OK);
    for (const char* name : {"WSCComm::initialize", "WSCComm::register_remediation", "WSCComm::update_status",
                             "WSCComm::update_status_external", "WSCComm::update_settings_substatus",
                             "WSCComm::update_scan_substatus", "WSCComm::update_protection_substatus",
                             "WSCComm::unregister_remediation"}) {
        EXPECT_TRUE(logged("DEBUG", std::string(name) + ": WSC doesn't work on Server OS")) << name;
    }
    EXPECT_FALSE(comm.isInitialized());
    EXPECT_FALSE(std::filesystem::exists(kitbase::securityCenterStatePath()));
}

TEST(WSCComm, WithoutInitializeEveryOperationFails) {
    openTrace();
    WSCComm comm;
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), E_FAIL);
    EXPECT_TRUE(logged(
        "ERROR",
        "WSC communication is not initialized. Will retry again to register with the previous values"));
    EXPECT_TRUE(logged("ERROR", "WSC communication is not initialized"));
    EXPECT_EQ(comm.register_remediation(L"/x", L"n", L"/f"), E_FAIL);
    EXPECT_EQ(comm.unregister_remediation(), E_FAIL);
    EXPECT_EQ(comm.update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), E_FAIL);
    EXPECT_EQ(comm.update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), E_FAIL);
    EXPECT_EQ(comm.update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), E_FAIL);
    EXPECT_FALSE(std::filesystem::exists(kitbase::securityCenterStatePath()));
}

TEST(WSCComm, AnyNonZeroInitializeResultIsAFailure) {
    openTrace();
    useOwnProgramFolder();  // no library in its scanner folder
    WSCComm comm;
    // The library's load error is a positive Win32 code, and still a failure.
    EXPECT_EQ(comm.initialize(kProductId), static_cast<HRESULT>(ERROR_MOD_NOT_FOUND));
    EXPECT_FALSE(comm.isInitialized());
    EXPECT_EQ(countLogged("Error initializing WSCComm: 7e - "), 1);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), E_FAIL);
}

TEST(WSCComm, ANullArgumentKeepsTheRememberedText) {
    openTrace();
    WSCComm comm;
    ASSERT_EQ(comm.initialize(kProductId), S_OK);
    ASSERT_EQ(comm.register_remediation(L"/opt/p/statusmith.exe", L"Product", L"/opt/p/Scanner/elam_ppl"),
              S_OK);
    kitbase::setSecurityCenterValues("antivirus", {{"path", ""}, {"name", ""}, {"folder", ""}});
    ASSERT_EQ(comm.register_remediation(nullptr, L"Renamed", nullptr), S_OK);
    EXPECT_EQ(state("antivirus", "path"), "/opt/p/statusmith.exe");
    EXPECT_EQ(state("antivirus", "name"), "Renamed");
    EXPECT_EQ(state("antivirus", "folder"), "/opt/p/Scanner/elam_ppl");
    // The record names the path argument as passed; a null one is printed, never read.
    EXPECT_TRUE(logged("INFO", "Registration is successfull for (null)"));
    EXPECT_TRUE(logged(
        "INFO",
        "Registering remediation program:\n\tPath:/opt/p/statusmith.exe\n\tName:Renamed\n\tFolder:/opt/"
        "p/Scanner/elam_ppl"));
}

struct SyncCase {
    WSC_SECURITY_PRODUCT_STATE report;
    const char* recorded;
};

void PrintTo(const SyncCase& c, std::ostream* os) {
    *os << c.recorded;
}

class WSCSyncDrop : public ::testing::TestWithParam<SyncCase> {};

TEST_P(WSCSyncDrop, AZeroSyncValueDropsOneOffOrSnoozedReport) {
    const SyncCase& c = GetParam();
    openTrace();
    createServiceKey();
    WSCComm comm;
    ASSERT_EQ(comm.initialize(kProductId), S_OK);
    ASSERT_EQ(comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"), S_OK);
    ASSERT_EQ(setIRegValue(L"WSCSync", 0), 0);
    EXPECT_EQ(comm.update_status(c.report, 1), S_OK);
    EXPECT_EQ(state("antivirus", "state"), "on");  // not passed on
    EXPECT_TRUE(logged("DEBUG", "WSC Sync not required due to restart."));
    EXPECT_EQ(getIRegValue(L"WSCSync"), -1);  // deleted
    EXPECT_EQ(comm.update_status(c.report, 1), S_OK);
    EXPECT_EQ(state("antivirus", "state"), c.recorded);
}

INSTANTIATE_TEST_SUITE_P(States, WSCSyncDrop,
                         ::testing::Values(SyncCase{WSC_SECURITY_PRODUCT_STATE_OFF, "off"},
                                           SyncCase{WSC_SECURITY_PRODUCT_STATE_SNOOZED, "snoozed"}),
                         [](const ::testing::TestParamInfo<SyncCase>& info) {
                             return std::string(info.param.recorded);
                         });

TEST(WSCSync, OnIsAlwaysReportedAndOtherValuesNeverDrop) {
    openTrace();
    createServiceKey();
    WSCComm comm;
    ASSERT_EQ(comm.initialize(kProductId), S_OK);
    ASSERT_EQ(comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"), S_OK);
    ASSERT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_OFF, 1), S_OK);
    ASSERT_EQ(setIRegValue(L"WSCSync", 0), 0);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), S_OK);
    EXPECT_EQ(state("antivirus", "state"), "on");
    EXPECT_EQ(getIRegValue(L"WSCSync"), 0);  // left in place
    ASSERT_EQ(setIRegValue(L"WSCSync", 1), 0);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_OFF, 1), S_OK);
    EXPECT_EQ(state("antivirus", "state"), "off");
    EXPECT_EQ(getIRegValue(L"WSCSync"), 1);
}

TEST(WSCSync, AStaleValueIsClearedAtStartSoTheFirstOffIsReported) {
    openTrace();
    createServiceKey();
    ASSERT_EQ(setIRegValue(L"WSCSync", 0), 0);  // left by an earlier run
    WSCComm::clearStaleSync();
    EXPECT_EQ(getIRegValue(L"WSCSync"), -1);
    WSCComm::clearStaleSync();  // nothing to clear
    WSCComm comm;
    ASSERT_EQ(comm.initialize(kProductId), S_OK);
    ASSERT_EQ(comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"), S_OK);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_OFF, 1), S_OK);
    EXPECT_EQ(state("antivirus", "state"), "off");
}

TEST(WSCComm, APendingRegistrationLeavesTheLinkUninitialised) {
    emulate(Windows::TenBefore18323);
    openTrace();
    FakeIsv fake;
    fake.registerAnswer = [](int) { return E_PENDING; };
    installFakeIsv(fake);
    std::vector<DWORD> sleeps;
    PreRS5WSCComm::setSleepFunction([&](DWORD ms) { sleeps.push_back(ms); });
    WSCComm comm;
    ASSERT_EQ(comm.initialize(0xFFFFFFFFu), S_OK);
    EXPECT_EQ(comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"), E_PENDING);
    EXPECT_FALSE(comm.isInitialized());
    EXPECT_EQ(fake.registers.load(), 60);
    EXPECT_EQ(sleeps, std::vector<DWORD>(60, 5000));
    EXPECT_EQ(fake.live.load(), 0);
    EXPECT_EQ(countLogged("] Still Pending register the remediation program: 8000000a - "), 1);
    EXPECT_EQ(countLogged("] Register remediation returned an error: 8000000a - "), 1);
    EXPECT_TRUE(traceText().find("[WARNING] ") != std::string::npos);
    // Reporting now retries the registration, which the uninitialised link refuses.
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), E_FAIL);
    EXPECT_EQ(fake.registers.load(), 60);
    PreRS5WSCComm::setSleepFunction(nullptr);
}

TEST(WSCComm, StatusReportsDuringAPendingRegistrationAnswerPending) {
    emulate(Windows::TenBefore18323);
    openTrace();
    FakeIsv fake;
    fake.registerAnswer = [](int attempt) { return attempt < 3 ? E_PENDING : S_OK; };
    installFakeIsv(fake);
    std::mutex lock;
    std::condition_variable changed;
    bool pendingSeen = false;
    bool released = false;
    PreRS5WSCComm::setSleepFunction([&](DWORD) {
        std::unique_lock<std::mutex> guard(lock);
        pendingSeen = true;
        changed.notify_all();
        changed.wait_for(guard, std::chrono::seconds(20), [&] { return released; });
    });
    WSCComm comm;
    ASSERT_EQ(comm.initialize(0xFFFFFFFFu), S_OK);
    HRESULT registration = E_FAIL;
    std::thread registering(
        [&] { registration = comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"); });
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&] { return pendingSeen; }));
    }
    std::vector<std::thread> reporters;
    std::vector<HRESULT> answers(4 * 10, S_OK);
    for (int t = 0; t < 4; ++t) {
        reporters.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i)
                answers[t * 10 + i] = comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1);
        });
    }
    for (auto& r : reporters)
        r.join();
    EXPECT_EQ(answers, std::vector<HRESULT>(40, E_PENDING));
    EXPECT_EQ(fake.statusUpdates.load(), 0);
    {
        std::lock_guard<std::mutex> guard(lock);
        released = true;
        changed.notify_all();
    }
    registering.join();
    EXPECT_EQ(registration, S_OK);
    EXPECT_TRUE(comm.isInitialized());
    reporters.clear();
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        reporters.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                if (comm.update_status(i % 2 ? WSC_SECURITY_PRODUCT_STATE_OFF : WSC_SECURITY_PRODUCT_STATE_ON,
                                       1) != S_OK)
                    ++failures;
            }
        });
    }
    for (auto& r : reporters)
        r.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(fake.live.load(), 0);
    PreRS5WSCComm::setSleepFunction(nullptr);
}

TEST(WSCComm, TheAdministrationToolIsStartedOncePerProcess) {
    openTrace();
    WSCComm comm;
    std::vector<HRESULT> results(8, -1);
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i)
        callers.emplace_back(
            [&, i] { results[i] = comm.update_status_external(WSC_SECURITY_PRODUCT_STATE_ON); });
    for (auto& c : callers)
        c.join();
    int started = 0;
    for (HRESULT r : results) {
        if (r > 32)
            ++started;
        else
            EXPECT_EQ(r, S_OK);
    }
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(waitForState("shieldclerk", "runs", "1"));
    EXPECT_EQ(state("shieldclerk", "command"), "register");
    EXPECT_TRUE(logged("DEBUG", "Updating status to 0"));
    // Another object of the same process starts nothing either.
    WSCComm other;
    EXPECT_EQ(other.update_status_external(WSC_SECURITY_PRODUCT_STATE_OFF), S_OK);
}

TEST(WSCComm, OffAsksTheAdministrationToolToUnregister) {
    openTrace();
    EXPECT_GT(WSCComm::instance().update_status_external(WSC_SECURITY_PRODUCT_STATE_OFF), 32);
    EXPECT_TRUE(waitForState("shieldclerk", "runs", "1"));
    EXPECT_EQ(state("shieldclerk", "command"), "unregister");
    EXPECT_EQ(&WSCComm::instance(), &WSCComm::instance());
}

TEST(WSCComm, AMissingAdministrationToolIsReported) {
    openTrace();
    useOwnProgramFolder();  // no shieldclerk.exe there
    WSCComm comm;
    EXPECT_EQ(comm.update_status_external(WSC_SECURITY_PRODUCT_STATE_ON), 2);
    EXPECT_TRUE(logged("DEBUG", "Error code : 2"));
    EXPECT_EQ(countLogged("] update_status returned: 2 - "), 1);
    EXPECT_EQ(comm.update_status_external(WSC_SECURITY_PRODUCT_STATE_ON), S_OK);  // not retried
}

}  // namespace

namespace {

TEST(WSCComm, BackEndFailuresAreLoggedWithTheirCodes) {
    openTrace();
    WSCComm comm;
    ASSERT_EQ(comm.initialize(kProductId), S_OK);
    // Nothing registered yet: the library answers "not found".
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), static_cast<HRESULT>(0x80070490u));
    EXPECT_EQ(countLogged("] Update WSC Status returned: 80070490 - "), 1);
    ASSERT_EQ(comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"), S_OK);
    const auto bad = static_cast<WSC_SECURITY_PRODUCT_SUBSTATUS>(9);
    EXPECT_EQ(comm.update_settings_substatus(bad), E_INVALIDARG);
    EXPECT_EQ(comm.update_scan_substatus(bad), E_INVALIDARG);
    EXPECT_EQ(comm.update_protection_substatus(bad), E_INVALIDARG);
    for (const char* name :
         {"update_settings_substatus", "update_scan_substatus", "update_protection_substatus"})
        EXPECT_EQ(countLogged(std::string("] ") + name + " returned: 80070057 - "), 1) << name;
    EXPECT_EQ(countLogged("] Updating substatus to 9"), 3);
    EXPECT_TRUE(comm.isInitialized());
}

TEST(WSCComm, AFailedUnregistrationAnswersFail) {
    openTrace();
    const std::string program = useOwnProgramFolder();
    placeLibrary(program, fakeLibrary("wsc_fake_complete"));  // its last step answers access denied
    WSCComm comm;
    ASSERT_EQ(comm.initialize(kProductId), S_OK);
    ASSERT_EQ(comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"), S_OK);
    EXPECT_EQ(comm.unregister_remediation(), E_FAIL);
    EXPECT_EQ(countLogged("] UnRegister remediation returned: 80070005 - "), 1);
    EXPECT_TRUE(comm.isInitialized());
}

}  // namespace
