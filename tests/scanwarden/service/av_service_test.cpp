#include "scanwarden/av_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdexcept>
#include <string>

#include "kitbase/core/folders.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/strings.h"
#include "kitbase/platform/registry_store.h"
#include "scanwarden/options.h"
#include "support/test_root.h"

namespace {

struct ProcessEnded : std::runtime_error {
    explicit ProcessEnded(int code) : std::runtime_error("ended"), code(code) {}
    int code;
};

[[noreturn]] void throwingExit(int code) {
    throw ProcessEnded(code);
}

void makeServiceKey() {
    kitbase::RegistryKey key;
    kitbase::RegistryStore::machine().createKey(getServiceRegPath(), KEY_ALL_ACCESS, key);
}

}  // namespace

TEST(ServiceObject, DisplayPathsAreShortenedToSixteenCharacters) {
    struct Case {
        const wchar_t* path;
        const wchar_t* shown;
    } cases[] = {
        {L"/x/a.exe", L"/x/a.exe"},
        {L"/srv/share/tool.exe", L"tool.exe"},
        {L"/data/abcdefghijklmnopq.exe", L"abcdefg..opq.exe"},
        {L"/a/b/c/d/e/f/g/h/x.bin", L"x.bin"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CAVService::shortenPathForDisplay(c.path), c.shown) << c.path;
}

TEST(ServiceObject, NotificationsFollowTheirOptions) {
    CAVService service(L"TestService");
    _Options& options = _Options::instance();
    options.setOptionNumeric(L"allownotifications", 1);
    options.setOptionNumeric(L"notifyoadetection", 1);
    service.notify(L"first");
    EXPECT_EQ(service.lastNotification(), L"first");
    service.notifyUpdate(L"updated");
    EXPECT_EQ(service.lastNotification(), L"<updated>");
    // Kind 2 or action 5 make no notification.
    service.notifyOnAccessDetection(2, L"/x", L"Eicar", L"virus", 0);
    service.notifyOnAccessDetection(0, L"/x", L"Eicar", L"virus", 5);
    EXPECT_EQ(service.lastNotification(), L"<updated>");
    // A file name with conversions in it is shown as it is.
    service.notifyOnAccessDetection(0, L"/tmp/a%n%s.exe", L"Eicar-Test-Signature", L"virus", 3);
    const std::wstring text = service.lastNotification();
    EXPECT_EQ(text.front(), L'(');
    EXPECT_NE(text.find(L"a%n%s.exe"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"Eicar-Test-Signature"), std::wstring::npos) << text;
    // Suppressed notifications leave the last one as it is.
    options.setOptionNumeric(L"allownotifications", 0);
    service.notify(L"suppressed");
    EXPECT_EQ(service.lastNotification(), text);
}

TEST(ServiceObject, APendingSetupThatFailsItsSignatureIsDeletedAndTheStartGoesOn) {
    makeServiceKey();
    const std::string setup = testsupport::makeTempDir("setup dir") + "/setup.exe";
    testsupport::writeFile(setup, "not a signed program");
    ASSERT_EQ(setSRegValue(L"AVPendingSetup", L"\"" + S2WS(setup) + L"\" /VERYSILENT"), 0);
    ASSERT_EQ(setSRegValue(L"AVPendingSetupType", L"update"), 0);
    CAVService::setProcessExit(&throwingExit);
    CAVService service(L"TestService");
    service.OnStart(0, nullptr);
    struct stat st {};
    EXPECT_NE(stat(setup.c_str(), &st), 0);  // deleted
    EXPECT_EQ(getSRegValue(L"AVPendingSetup"), L"");
    EXPECT_EQ(getSRegValue(L"AVPendingSetupType"), L"");
    service.OnStop();
    CAVService::setProcessExit(nullptr);
}

TEST(ServiceObject, AReloadInsideTheProcessPassesTheSingleInstanceCheck) {
    CAVService::setProcessExit(&throwingExit);
    CAVService service(L"TestService");
    service.OnStart(0, nullptr);
    EXPECT_NO_THROW(service.OnReload());
    service.OnStop();
    // Another service object of this process is a second instance.
    CAVService other(L"TestService");
    try {
        other.OnStart(0, nullptr);
        ADD_FAILURE() << "a second instance started";
    } catch (const ProcessEnded& e) {
        EXPECT_EQ(e.code, 1);
    }
    CAVService::setProcessExit(nullptr);
}
