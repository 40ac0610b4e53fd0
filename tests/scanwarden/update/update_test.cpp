// The engine update and the update thread, with a signed fake updater in a scanner
// folder of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kitbase/core/folders.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/strings.h"
#include "kitbase/platform/registry_store.h"
#include "kitbase/services/statistics.h"
#include "scanwarden/options.h"
#include "scanwarden/scanner_update.h"
#include "scanwarden/update.h"
#include "support/test_root.h"

namespace fs = std::filesystem;
using testsupport::makeTempDir;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// The service's registry key, as the installation makes it.
void makeServiceKey() {
    kitbase::RegistryKey key;
    kitbase::RegistryStore::machine().createKey(getServiceRegPath(), KEY_ALL_ACCESS, key);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

class EngineUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        makeServiceKey();
        scanner = makeTempDir("Scanner");
        engine = scanner + "/engine";
        fs::create_directories(engine);
        writeFile(engine + "/qvdefs.vdf", "old signatures");
        fs::copy_file(FAKE_UPDATER, scanner + "/qvupdate.exe");
        chmod((scanner + "/qvupdate.exe").c_str(), 0755);
        record = makeTempDir("record") + "/args";
        setenv("FAKE_UPDATER_RECORD", record.c_str(), 1);
        unsetenv("FAKE_UPDATER_EXIT");
        unsetenv("FAKE_UPDATER_SLEEP_MS");
        unsetenv("FAKE_UPDATER_FILE");
        hooks.reloadEngine = [this](const std::wstring& folder) {
            reloads.push_back(WS2S(folder));
            return reloadResult;
        };
        hooks.engineLoaded = [this] { return engineLoaded; };
        hooks.restartService = [this] { ++restarts; };
        hooks.telemetry = [this](const std::wstring& key, const std::wstring& value) {
            telemetry.push_back(WS2S(key) + "=" + WS2S(value));
        };
        hooks.stopRequested = [this] { return stopRequested.load(); };
    }
    std::unique_ptr<ScannerUpdate> make() {
        auto u = std::make_unique<ScannerUpdate>(hooks, S2WS(scanner), S2WS(engine));
        u->setTimings(std::chrono::seconds(20), std::chrono::milliseconds(1), std::chrono::milliseconds(200));
        return u;
    }
    std::string scanner, engine, record;
    EngineUpdateHooks hooks;
    std::vector<std::string> reloads, telemetry;
    unsigned int reloadResult = 0;
    bool engineLoaded = true;
    int restarts = 0;
    std::atomic<bool> stopRequested{false};
};

}  // namespace

TEST_F(EngineUpdateTest, TheUpdaterGetsOneArgumentPerOptionWhateverTheValues) {
    _Options& options = _Options::instance();
    options.setOptionString(L"proxyserver", L"http://proxy.local --no-cert-verify:3128");
    options.setOptionString(L"proxyserveruser", L"user --log=/etc/passwd");
    options.setOptionString(L"proxyserverpassword", L"p\"w d");
    options.setOptionString(L"updaterconfigfile", L"../../outside.cfg");
    setenv("FAKE_UPDATER_EXIT", "1", 1);
    auto updater = make();
    ScannerUpdate& u = *updater;
    EXPECT_EQ(u.runUpdater(L"https://updates.example", false, true), 4135u);
    std::vector<std::string> args = lines(readFile(record));
    ASSERT_GE(args.size(), 15u);
    const std::vector<std::string> expected = {
        scanner + "/qvupdate.exe",
        "--no-config",  // the configuration file would lie outside the scanner folder
        "--internet-srvs=https://updates.example/update",
        "--master-file=/idx/master.idx",
        "--product-file=/idx/qvapi4lib-win32-en.info.gz",
        "--update-modules-list=VDF,AVE2",
        "--temp-dir=" + WS2S(getTmp()),
        "--proxy-host=http://proxy.local --no-cert-verify",
        "--proxy-port=3128",
        "--proxy-username=user --log=/etc/passwd",
        "--proxy-password=p\"w d",
        "--check-product",
        "--install-dir=" + scanner + "/latest",
    };
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(args[i], expected[i]) << i;
    EXPECT_EQ(args[13].rfind("--log=", 0), 0u);
    const std::string shown = WS2S(u.commandLine());
    EXPECT_NE(shown.find("--proxy-password=***"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("p\"w d"), std::string::npos);
    // Nothing new still counts as an update.
    EXPECT_GT(getIRegValue(L"LastUpdate"), 0);
    EXPECT_TRUE(reloads.empty());
}

TEST_F(EngineUpdateTest, FailuresAreCountedReportedAndNotStamped) {
    struct Case {
        const char* what;
        std::function<void()> prepare;
        unsigned int result;
        const char* event;
    } cases[] = {
        {"updater error", [] { setenv("FAKE_UPDATER_EXIT", "255", 1); }, 4133u,
         "Error=Code 4133: OA_ERROR_UPDATE_FAILED_QVUPDATE_ERROR"},
        {"modified updater",
         [this] {
             std::string bytes = readFile(scanner + "/qvupdate.exe");
             bytes[bytes.size() / 2] ^= 1;
             writeFile(scanner + "/qvupdate.exe", bytes);
         },
         4129u, "Error=Code 4129: OA_ERROR_UPDATE_FAILED_QVUPDATE_MODIFIED"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        telemetry.clear();
        c.prepare();
        uint32_t failedBefore = _Statistics::getInstance().getCount(UPDATESFAILED);
        auto updater = make();
        ScannerUpdate& u = *updater;
        EXPECT_EQ(u.runUpdater(L"http://127.0.0.1:1", false, true), c.result);
        EXPECT_EQ(_Statistics::getInstance().getCount(UPDATESFAILED), failedBefore + 1);
        EXPECT_EQ(telemetry, std::vector<std::string>{c.event});
        EXPECT_EQ(getIRegValue(L"LastUpdate"), -1);
    }
}

TEST_F(EngineUpdateTest, AnUpdaterThatHangsIsEndedAndTheRunFails) {
    setenv("FAKE_UPDATER_SLEEP_MS", "60000", 1);
    ScannerUpdate u(hooks, S2WS(scanner), S2WS(engine));
    u.setTimings(std::chrono::milliseconds(300), std::chrono::milliseconds(50),
                 std::chrono::milliseconds(200));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(u.runUpdater(L"http://127.0.0.1:1", false, true), 4133u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // A stop of the service ends the wait too.
    auto againOwner = make();
    ScannerUpdate& again = *againOwner;
    std::thread stopper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stopRequested = true;
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(again.runUpdater(L"http://127.0.0.1:1", false, true), 4133u);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(EngineUpdateTest, AReloadedEngineSwapsTheFolders) {
    setenv("FAKE_UPDATER_EXIT", "0", 1);
    setenv("FAKE_UPDATER_FILE", "qvdefs.vdf=new signatures", 1);
    auto updater = make();
    ScannerUpdate& u = *updater;
    const std::string latest = scanner + "/latest";
    EXPECT_EQ(u.update(L"http://127.0.0.1:1", true), 0u);
    EXPECT_EQ(reloads, std::vector<std::string>{latest});
    // The engine runs from "latest" now; the old engine folder, brought up to date, is
    // the backup of the next run.
    EXPECT_EQ(WS2S(u.engineFolder()), latest);
    EXPECT_EQ(WS2S(u.backupFolder()), engine);
    EXPECT_EQ(readFile(engine + "/qvdefs.vdf"), "new signatures");
    EXPECT_EQ(u.update(L"http://127.0.0.1:1", true), 0u);
    EXPECT_EQ(reloads.back(), engine);
}

TEST_F(EngineUpdateTest, FailedReloadSeriesRestartTheServiceAtTheLimit) {
    _Options::instance().setOptionNumeric(L"reloadmaxattempts", 3);
    _Options::instance().setOptionNumeric(L"reloadmaxseries", 2);
    setenv("FAKE_UPDATER_EXIT", "0", 1);
    setenv("FAKE_UPDATER_FILE", "qvdefs.vdf=new signatures", 1);
    reloadResult = 9;
    auto updater = make();
    ScannerUpdate& u = *updater;
    EXPECT_EQ(u.runUpdater(L"http://127.0.0.1:1", false, true), 9u);
    EXPECT_EQ(reloads.size(), 3u);
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(u.failedReloadSeries(), 1u);
    EXPECT_EQ(getIRegValue(L"LastUpdate"), -1);
    EXPECT_EQ(telemetry.back(), "Error=Reload engine failed. Code 9");
    EXPECT_EQ(u.runUpdater(L"http://127.0.0.1:1", false, true), 9u);
    EXPECT_EQ(restarts, 1);
    // Before the restart the updated files were copied over the engine folder.
    EXPECT_EQ(readFile(engine + "/qvdefs.vdf"), "new signatures");
    // A successful run starts the count again.
    reloadResult = 0;
    EXPECT_EQ(u.runUpdater(L"http://127.0.0.1:1", false, true), 0u);
    EXPECT_EQ(u.failedReloadSeries(), 0u);
}

TEST_F(EngineUpdateTest, WithoutALoadedEngineNothingIsReloadedOrCounted) {
    engineLoaded = false;
    setenv("FAKE_UPDATER_EXIT", "0", 1);
    auto updater = make();
    ScannerUpdate& u = *updater;
    EXPECT_EQ(u.update(L"http://127.0.0.1:1", true), 0u);
    EXPECT_TRUE(reloads.empty());
    EXPECT_EQ(u.failedReloadSeries(), 0u);
    EXPECT_EQ(restarts, 0);
}

namespace {

// An updater that answers what it is told and records the servers it was asked.
class FakeUpdater : public AVUpdate {
public:
    FakeUpdater(int32_t kind, std::vector<unsigned int> answers, std::vector<std::wstring>& asked)
        : AVUpdate(kind), answers_(std::move(answers)), asked_(asked) {}
    unsigned int update(const std::wstring& server, bool) override {
        std::lock_guard<std::mutex> g(lock);
        asked_.push_back(server);
        ++calls;
        unsigned int r = answers_.empty() ? 0 : answers_.front();
        if (answers_.size() > 1)
            answers_.erase(answers_.begin());
        if (delay.count())
            std::this_thread::sleep_for(delay);
        return r;
    }
    std::chrono::milliseconds delay{0};
    std::mutex lock;
    std::atomic<size_t> calls{0};

private:
    std::vector<unsigned int> answers_;
    std::vector<std::wstring>& asked_;
};

}  // namespace

TEST(UpdateThread, ServersAreTriedInOrderUntilBothPartsAreDone) {
    makeServiceKey();
    _Options::instance().setOptionString(L"updateserver", L" https://one , https://two");
    std::vector<std::wstring> engineAsked, productAsked;
    std::vector<std::unique_ptr<AVUpdate>> updaters;
    updaters.push_back(std::make_unique<FakeUpdater>(0, std::vector<unsigned int>{4133, 0}, engineAsked));
    updaters.push_back(std::make_unique<FakeUpdater>(1, std::vector<unsigned int>{4135}, productAsked));
    std::vector<std::wstring> notes;
    UpdateHooks hooks;
    hooks.notify = [&](const std::wstring& t) { notes.push_back(L"plain:" + t); };
    hooks.notifyUpdate = [&](const std::wstring& t) { notes.push_back(L"alert:" + t); };
    Update update(hooks, std::move(updaters));
    update.setServerPause(std::chrono::milliseconds(1));
    EXPECT_EQ(update.doUpdate(), 4135u);
    EXPECT_EQ(engineAsked, (std::vector<std::wstring>{L"https://one", L"https://two"}));
    EXPECT_TRUE(update.lastRunSuccessful());
    EXPECT_GT(getIRegValue(L"LastUpdate"), 0);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].rfind(L"plain:", 0), 0u);
    // Success on the first server: the second is not asked.
    engineAsked.clear();
    EXPECT_EQ(update.doUpdate(), 4135u);
    EXPECT_EQ(engineAsked, std::vector<std::wstring>{L"https://one"});
}

TEST(UpdateThread, RequestsAreRefusedDuringScansAndUpdates) {
    std::atomic<bool> scanning{true};
    std::vector<std::wstring> asked;
    std::vector<std::unique_ptr<AVUpdate>> updaters;
    auto slow = std::make_unique<FakeUpdater>(0, std::vector<unsigned int>{0}, asked);
    slow->delay = std::chrono::milliseconds(500);
    updaters.push_back(std::move(slow));
    UpdateHooks hooks;
    hooks.scanRunning = [&] { return scanning.load(); };
    Update update(hooks, std::move(updaters));
    EXPECT_EQ(update.triggerUpdate(), 4116u);
    scanning = false;
    uint32_t triggered = _Statistics::getInstance().getCount(UPDATESREMOTETRIGGERED);
    EXPECT_EQ(update.triggerUpdate(), 0u);
    EXPECT_EQ(_Statistics::getInstance().getCount(UPDATESREMOTETRIGGERED), triggered + 1);
    EXPECT_EQ(update.triggerUpdate(), 4115u);
    // Two update runs never overlap.
    std::thread first([&] { update.doUpdate(); });
    while (!update.isUpdateInProgress())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(update.doUpdate(), 4115u);
    first.join();
    EXPECT_FALSE(update.isUpdateRequested());
}

TEST(UpdateThread, ScheduledRunsFollowTheStartTimeAndTheInterval) {
    _Options::instance().setOptionNumeric(L"updateinterval", 5);
    std::mutex clockLock;
    std::tm clock{};
    clock.tm_year = 126, clock.tm_mon = 11, clock.tm_mday = 10, clock.tm_hour = 10, clock.tm_min = 30;
    std::vector<std::wstring> asked;
    std::vector<std::unique_ptr<AVUpdate>> updaters;
    auto fake = std::make_unique<FakeUpdater>(0, std::vector<unsigned int>{4133}, asked);
    FakeUpdater* counted = fake.get();
    updaters.push_back(std::move(fake));
    UpdateHooks hooks;
    hooks.localNow = [&] {
        std::lock_guard<std::mutex> g(clockLock);
        return clock;
    };
    Update update(hooks, std::move(updaters));
    EXPECT_EQ(update.interval(), 5u);
    update.setStepTime(std::chrono::milliseconds(1));
    update.setServerPause(std::chrono::milliseconds(0));
    auto runsAt = [&](int hour, int minute) {
        {
            std::lock_guard<std::mutex> g(clockLock);
            clock.tm_hour = hour, clock.tm_min = minute;
        }
        size_t before = counted->calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        return counted->calls > before;
    };
    ASSERT_EQ(update.run(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(counted->calls.load(), 0u);  // 10:30, the start time itself
    EXPECT_FALSE(runsAt(10, 30));  // once per minute
    EXPECT_FALSE(runsAt(11, 30));
    EXPECT_TRUE(runsAt(15, 30));
    EXPECT_FALSE(runsAt(15, 31));
    EXPECT_TRUE(runsAt(20, 30));
    EXPECT_TRUE(runsAt(5, 30));  // an hour difference of 5 counts both ways
    EXPECT_TRUE(runsAt(0, 30));
    update.stop();
}

TEST(UpdateThread, AnIntervalOutOfRangeCountsAsTwoHours) {
    for (int hours : {0, 25}) {
        _Options::instance().setOptionNumeric(L"updateinterval", hours);
        Update update(UpdateHooks{}, {});
        EXPECT_EQ(update.interval(), 2u) << hours;
    }
}
