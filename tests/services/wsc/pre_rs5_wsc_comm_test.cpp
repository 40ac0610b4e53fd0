#include "kitbase/services/pre_rs5_wsc_comm.h"

#include <gtest/gtest.h>

#include <vector>

#include "kitbase/platform/winsock_com.h"
#include "wsc_fixture.h"

using namespace wsctest;

namespace {

class PreRS5 : public ::testing::Test {
protected:
    void SetUp() override {
        openTrace();
        // The front end initialises COM around its back-end calls.
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        PreRS5WSCComm::setSleepFunction([this](DWORD ms) { sleeps.push_back(ms); });
    }
    void TearDown() override {
        PreRS5WSCComm::setSleepFunction(nullptr);
        CoUninitialize();
    }

    std::vector<DWORD> sleeps;
};

TEST_F(PreRS5, APendingRegistrationIsTriedSixtyTimesFiveSecondsApart) {
    emulate(Windows::TenBefore18323);
    FakeIsv fake;
    fake.registerAnswer = [](int) { return E_PENDING; };
    installFakeIsv(fake);
    PreRS5WSCComm comm;
    ASSERT_EQ(comm.initialize(0xFFFFFFFFu), S_OK);
    EXPECT_EQ(comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"), E_PENDING);
    EXPECT_EQ(fake.registers.load(), PreRS5WSCComm::kPendingAttempts);
    EXPECT_EQ(sleeps, std::vector<DWORD>(60, 5000));
    EXPECT_FALSE(comm.isPending());
    EXPECT_FALSE(comm.isActive());
    EXPECT_EQ(fake.live.load(), 0);
    EXPECT_EQ(countLogged("] Pending register the remediation program: 8000000a - "), 60);
}

TEST_F(PreRS5, APendingAnswerFollowedBySuccessRegisters) {
    emulate(Windows::TenBefore18323);
    FakeIsv fake;
    fake.registerAnswer = [](int attempt) { return attempt < 4 ? E_PENDING : S_OK; };
    installFakeIsv(fake);
    PreRS5WSCComm comm;
    EXPECT_EQ(comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"), S_OK);
    EXPECT_EQ(fake.registers.load(), 4);
    EXPECT_EQ(sleeps.size(), 3u);
    EXPECT_TRUE(comm.isActive());
    EXPECT_FALSE(comm.isPending());
    // The interface and the object are released on the success path too.
    EXPECT_EQ(fake.live.load(), 0);
    EXPECT_TRUE(logged("INFO", "Registration is successfull for /p/statusmith.exe"));
    EXPECT_EQ(comm.register_remediation(L"/other", L"Other", L"/o"), S_OK);  // already registered
    EXPECT_EQ(fake.registers.load(), 4);
}

TEST_F(PreRS5, ARefusedRegistrationEndsAtOnce) {
    emulate(Windows::TenBefore18323);
    FakeIsv fake;
    fake.registerAnswer = [](int) { return E_ACCESSDENIED; };
    installFakeIsv(fake);
    PreRS5WSCComm comm;
    EXPECT_EQ(comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"), E_ACCESSDENIED);
    EXPECT_EQ(fake.registers.load(), 1);
    EXPECT_TRUE(sleeps.empty());
    EXPECT_FALSE(comm.isActive());
    EXPECT_EQ(fake.live.load(), 0);
    EXPECT_EQ(countLogged("] Cannot register the remediation program: 80070005 - "), 1);
    // Substatus calls need a registration; a status report first retries it.
    EXPECT_EQ(comm.update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), E_FAIL);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), E_FAIL);
    EXPECT_EQ(fake.registers.load(), 2);
    EXPECT_EQ(fake.statusUpdates.load(), 0);
}

TEST_F(PreRS5, AStatusReportOnAnUnregisteredBackEndRegistersWithTheStoredTexts) {
    emulate(Windows::TenBefore18323);
    FakeIsv fake;
    int failures = 1;
    fake.registerAnswer = [&](int) { return failures-- > 0 ? E_FAIL : S_OK; };
    installFakeIsv(fake);
    PreRS5WSCComm comm;
    EXPECT_EQ(comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"), E_FAIL);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_SNOOZED, 1), S_OK);
    EXPECT_EQ(fake.registers.load(), 2);
    EXPECT_EQ(fake.lastState.load(), WSC_SECURITY_PRODUCT_STATE_SNOOZED);
    EXPECT_TRUE(logged("DEBUG", "Registering product 'Product' with path '/p/statusmith.exe'"));
    EXPECT_EQ(fake.live.load(), 0);
}

TEST_F(PreRS5, WithoutTheIsvClassEveryOperationAnswersTheCreationError) {
    emulate(Windows::TenBefore18323);
    ASSERT_TRUE(kitbase::unregisterComClass(CLSID_WscIsv));
    PreRS5WSCComm comm;
    EXPECT_EQ(comm.register_remediation(L"/p", L"n", L"/f"), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(countLogged("] Cannot call CoCreateInstance to get an object to WSC to register: 80040154: "),
              1);
    EXPECT_EQ(comm.unregister_remediation(), E_FAIL);
    kitbase::restoreComClasses();
    EXPECT_EQ(comm.register_remediation(L"/p", L"n", L"/f"), S_OK);
    EXPECT_EQ(state("antivirus", "registered"), "1");
}

TEST_F(PreRS5, WindowsEightRegistersAntiSpywareAndLeavesDefenderAlone) {
    emulate(Windows::Eight);
    installDefenderClient();
    FakeIsv fake;
    installFakeIsv(fake);
    PreRS5WSCComm comm;
    EXPECT_EQ(comm.register_remediation(L"/p", L"n", L"/f"), S_OK);
    EXPECT_EQ(fake.antiSpywareRegisters.load(), 1);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_OFF, 0), S_OK);
    EXPECT_EQ(fake.antiSpywareUpdates.load(), 1);
    EXPECT_EQ(comm.unregister_remediation(), S_OK);
    EXPECT_EQ(fake.antiSpywareUnregisters.load(), 1);
    EXPECT_EQ(state("defender", "enabled"), "");
    EXPECT_EQ(countLogged("WDEnable"), 0);
    EXPECT_TRUE(logged("INFO", "Registered the Antispyware application in WSC"));
    EXPECT_EQ(fake.live.load(), 0);
}

TEST_F(PreRS5, WindowsSevenSwitchesDefenderOffAndOnAgain) {
    emulate(Windows::Seven);
    installDefenderClient();
    PreRS5WSCComm comm;
    EXPECT_EQ(comm.register_remediation(L"/p", L"n", L"/f"), S_OK);
    EXPECT_EQ(state("defender", "enabled"), "0");
    EXPECT_TRUE(logged("INFO", "WDEnable successfully executed"));
    EXPECT_EQ(comm.unregister_remediation(), S_OK);
    EXPECT_EQ(state("defender", "enabled"), "1");
    EXPECT_TRUE(logged("DEBUG", "Calling WDEnable to enable back Defender"));
    EXPECT_EQ(state("antispyware", "registered"), "0");
}

TEST_F(PreRS5, WithoutTheDefenderClientTheRegistrationStillSucceeds) {
    emulate(Windows::Seven);
    PreRS5WSCComm comm;
    EXPECT_EQ(comm.register_remediation(L"/p", L"n", L"/f"), S_OK);
    EXPECT_TRUE(logged("ERROR", "Cannot load mpclient.dll to stop Defender"));
    EXPECT_EQ(countLogged("] Result from WDEnable to control Defender: 80004005: "), 1);
    EXPECT_EQ(countLogged("] WDEnable error. Result : 80004005: '"), 1);
    EXPECT_EQ(state("antivirus", "registered"), "1");
    EXPECT_EQ(state("antispyware", "registered"), "1");
}

TEST_F(PreRS5, WindowsTenBefore18323HasNoAntiSpywareEntry) {
    emulate(Windows::TenBefore18323);
    FakeIsv fake;
    installFakeIsv(fake);
    PreRS5WSCComm comm;
    EXPECT_EQ(comm.register_remediation(L"/p", L"n", L"/f"), S_OK);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), S_OK);
    EXPECT_EQ(comm.update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), S_OK);
    EXPECT_EQ(comm.unregister_remediation(), S_OK);
    EXPECT_EQ(fake.antiSpywareRegisters.load() + fake.antiSpywareUpdates.load() +
                  fake.antiSpywareUnregisters.load(),
              0);
    EXPECT_EQ(fake.substatusCalls.load(), 1);
    EXPECT_EQ(fake.unregisters.load(), 1);
    EXPECT_EQ(fake.lastState.load(), WSC_SECURITY_PRODUCT_STATE_OFF);  // set before unregistering
    EXPECT_TRUE(comm.isActive());                                      // the flag keeps its value
    EXPECT_EQ(fake.live.load(), 0);
}

}  // namespace
