#include "kitbase/services/post_rs5_wsc_comm.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <type_traits>

#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/winerror.h"
#include "wsc_fixture.h"

using namespace wsctest;

namespace {

bool loaded(const std::string& file) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(file) != std::string::npos)
            return true;
    }
    return false;
}

// Both sides of the library boundary speak 32-bit results; the record has natural
// alignment with a pointer-sized path.
static_assert(sizeof(HRESULT) == 4);
static_assert(std::is_same_v<std::invoke_result_t<VRNWSC_UPDATE_STATUS, int, int>, int32_t>);
static_assert(offsetof(VRNWSC_AUTH_RECORD, productId) == 8);
static_assert(offsetof(VRNWSC_AUTH_RECORD, path) == 16);
static_assert(sizeof(VRNWSC_AUTH_RECORD) == 16 + sizeof(void*));

TEST(PostRS5WSCComm, AMissingLibraryAnswersTheLoadError) {
    openTrace();
    const std::string program = useOwnProgramFolder();
    PostRS5WSCComm comm;
    EXPECT_EQ(comm.initialize(12033), static_cast<HRESULT>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(comm.libraryPath(), S2WS(program + "/Scanner/vrnwsccomm.dll"));
    EXPECT_TRUE(logged("ERROR", "Failed to load library " + program + "/Scanner/vrnwsccomm.dll, error: 126"));
    EXPECT_FALSE(comm.isActive());
}

struct MissingCase {
    int omitted;
    const char* record;
};

void PrintTo(const MissingCase& c, std::ostream* os) {
    *os << "entry " << c.omitted;
}

class PostRS5MissingEntry : public ::testing::TestWithParam<MissingCase> {};

TEST_P(PostRS5MissingEntry, IsReportedAndTheLibraryIsFreedAgain) {
    const MissingCase& c = GetParam();
    openTrace();
    const std::string program = useOwnProgramFolder();
    const std::string variant = "wsc_fake_missing_" + std::to_string(c.omitted);
    placeLibrary(program, fakeLibrary(variant));
    PostRS5WSCComm comm;
    EXPECT_EQ(comm.initialize(12033), static_cast<HRESULT>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(logged("ERROR", c.record)) << traceText();
    EXPECT_FALSE(comm.isActive());
    EXPECT_FALSE(loaded(variant));
    EXPECT_EQ(state("fake", "authenticate"), "");  // never reached
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), E_FAIL);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, PostRS5MissingEntry,
    ::testing::Values(
        MissingCase{1, "Failed to load function \"set_log_callback\", error: 127"},
        MissingCase{2, "Failed to load function \"VRNWSC_prepare_uninstall\", error: 127"},
        MissingCase{3, "Failed to load function \"VRNWSC_shutdown_protected_service\", error: 127"},
        MissingCase{4, "Failed to load function \"VRNWSC_register_remediation\", error: 127"},
        MissingCase{5, "Failed to load function \"VRNWSC_unregister_remediation\", error: 127"},
        MissingCase{6, "Failed to load function \"VRNWSC_update_status\", error: 127"},
        MissingCase{7, "Failed to load function \"VRNWSC_authenticate\", error: 127"},
        MissingCase{8, "Failed to load function \"VRNWSC_update_protection_update_substatus\", error: 127\n"},
        MissingCase{9, "Failed to load function \"VRNWSC_update_scan_substatus\", error: 127\n"},
        MissingCase{10, "Failed to load function \"VRNWSC_update_settings_substatus\", error: 127\n"}),
    [](const ::testing::TestParamInfo<MissingCase>& info) {
        return "Entry" + std::to_string(info.param.omitted);
    });

TEST(PostRS5WSCComm, CallsBeforeInitializeNeverReachTheLibrary) {
    PostRS5WSCComm comm;
    EXPECT_EQ(comm.register_remediation(L"/p", L"n", L"/f"), E_FAIL);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), E_FAIL);
    EXPECT_EQ(comm.update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), E_FAIL);
    EXPECT_EQ(comm.update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), E_FAIL);
    EXPECT_EQ(comm.update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), E_FAIL);
    EXPECT_EQ(comm.unregister_remediation(), E_FAIL);
    EXPECT_FALSE(std::filesystem::exists(kitbase::securityCenterStatePath()));
    EXPECT_FALSE(loaded("vrnwsccomm.dll"));
}

TEST(PostRS5WSCComm, TheClientAuthenticatesWithItsRecord) {
    openTrace();
    const std::string program = useOwnProgramFolder();
    placeLibrary(program, fakeLibrary("wsc_fake_complete"));
    PostRS5WSCComm comm;
    ASSERT_EQ(comm.initialize(4711), S_OK);
    EXPECT_TRUE(comm.isActive());
    EXPECT_EQ(comm.flags(), 4711u);
    EXPECT_EQ(state("fake", "version"), "1");
    EXPECT_EQ(state("fake", "reserved"), "0");
    EXPECT_EQ(state("fake", "product"), "4711");
    EXPECT_EQ(state("fake", "path"), kitbase::executablePath());
    EXPECT_EQ(state("fake", "log_reserved"), "0");
    EXPECT_TRUE(logged("DEBUG", "Authentication of the client to use WSC was successful"));
}

TEST(PostRS5WSCComm, LibraryLogRecordsGoToTheTraceByLevel) {
    openTrace();
    const std::string program = useOwnProgramFolder();
    placeLibrary(program, fakeLibrary("wsc_fake_complete"));
    PostRS5WSCComm comm;
    ASSERT_EQ(comm.initialize(1), S_OK);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), S_OK);
    EXPECT_TRUE(logged("DEBUG", "PostRS5WSCComm: debug record"));
    EXPECT_TRUE(logged("INFO", "PostRS5WSCComm: info record"));
    EXPECT_TRUE(logged("ERROR", "PostRS5WSCComm: error record"));
    EXPECT_EQ(countLogged("level three record"), 0);
    EXPECT_EQ(countLogged("PostRS5WSCComm: "), 3);  // the null text is ignored
}

TEST(PostRS5WSCComm, AThrowingLibraryCallAnswersFail) {
    openTrace();
    const std::string program = useOwnProgramFolder();
    placeLibrary(program, fakeLibrary("wsc_fake_throwing"));
    PostRS5WSCComm comm;
    ASSERT_EQ(comm.initialize(1), S_OK);
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), E_FAIL);
    EXPECT_TRUE(logged("ERROR", "Unexpected error update_status."));
    EXPECT_EQ(comm.register_remediation(L"/p", L"n", L"/f"), E_FAIL);
    EXPECT_TRUE(logged("ERROR", "Unexpected error registering remediation."));
    EXPECT_EQ(comm.update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), E_FAIL);
    EXPECT_EQ(countLogged("Unexpected error update_status."), 2);
    EXPECT_EQ(comm.update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION), S_OK);
    EXPECT_TRUE(comm.isActive());
}

TEST(PostRS5WSCComm, UnregistrationRunsEveryStepAndAnswersTheLast) {
    openTrace();
    const std::string program = useOwnProgramFolder();
    placeLibrary(program, fakeLibrary("wsc_fake_throwing"));
    PostRS5WSCComm comm;
    ASSERT_EQ(comm.initialize(1), S_OK);
    // The status step throws, the last step answers access denied.
    EXPECT_EQ(comm.unregister_remediation(), E_ACCESSDENIED);
    EXPECT_EQ(state("fake", "update_status"), "1");
    EXPECT_EQ(state("fake", "unregister_remediation"), "1");
    EXPECT_EQ(state("fake", "prepare_uninstall"), "1");
    EXPECT_EQ(state("fake", "shutdown_protected_service"), "1");
    EXPECT_TRUE(logged("DEBUG", "Error PostRS5WSCComm::unregister_remediation returned 80004005"));
    EXPECT_TRUE(logged("DEBUG", "Error PostRS5WSCComm::shutdown_protected_service returned 80070005"));
    EXPECT_EQ(countLogged("Error PostRS5WSCComm::prepare_uninstall"), 0);
}

TEST(PostRS5WSCComm, TheLibraryRefusesAClientWithoutProduct) {
    openTrace();
    PostRS5WSCComm comm;  // the staged library
    EXPECT_EQ(comm.initialize(0), E_ACCESSDENIED);
    EXPECT_TRUE(logged("ERROR", "Cannot authenticate client to use WSC: Code 80070005"));
    EXPECT_TRUE(logged("ERROR", "PostRS5WSCComm: authentication refused for " + kitbase::executablePath()));
    EXPECT_FALSE(comm.isActive());
    EXPECT_FALSE(loaded("vrnwsccomm.dll"));
    EXPECT_EQ(state("client", "authenticated"), "");
}

TEST(PostRS5WSCComm, LibraryFailuresPassThroughAsNegativeResults) {
    openTrace();
    PostRS5WSCComm comm;
    ASSERT_EQ(comm.initialize(12033), S_OK);
    EXPECT_TRUE(logged("DEBUG", "PostRS5WSCComm: client authenticated: " + kitbase::executablePath()));
    // Nothing is registered yet: the library's "not found" comes back unchanged.
    const HRESULT hr = comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x80070490u));
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(comm.register_remediation(L"/p/statusmith.exe", L"Product", L"/p/f"), S_OK);
    EXPECT_TRUE(logged("INFO", "PostRS5WSCComm: remediation program registered: Product"));
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_SNOOZED, 0), S_OK);
    EXPECT_EQ(state("antivirus", "state"), "snoozed");
    EXPECT_EQ(state("antivirus", "uptodate"), "0");
    EXPECT_EQ(comm.update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_ACTION_NEEDED), S_OK);
    EXPECT_EQ(comm.update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_ACTION_RECOMMENDED), S_OK);
    EXPECT_EQ(comm.update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NOT_SET), S_OK);
    EXPECT_EQ(state("antivirus", "settings"), "action_needed");
    EXPECT_EQ(state("antivirus", "scan"), "action_recommended");
    EXPECT_EQ(state("antivirus", "protection"), "not_set");
    comm.cleanup();
    EXPECT_FALSE(comm.isActive());
    EXPECT_FALSE(loaded("vrnwsccomm.dll"));
    EXPECT_EQ(comm.update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1), E_FAIL);
}

}  // namespace
