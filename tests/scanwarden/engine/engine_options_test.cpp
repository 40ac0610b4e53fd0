// The option passes that hand the store's values to the engine, against the fake
// engine: scopes, dependencies, the on-access instance pass, answers and locking.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "fake_engine_fixture.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "scanwarden/options.h"
#include "scanwarden/qvapi_scanner.h"
#include "scanwarden/whitelist.h"

using enginetest::fakeControl;
using enginetest::LogCapture;
using enginetest::stageFakeEngine;

namespace {

QVAPIScanner* currentScanner = nullptr;
_Options* currentOptions = nullptr;
std::vector<int> onAccessPassResults;

// An on-access instance as the service sets it up: the archive switch of its own,
// then the instance options of the on-access pass.
int32_t setUpOnAccessInstance(QVAPI_INSTANCE instance) {
    const std::wstring archive = currentOptions->getOptionString(L"archivescanoa");
    currentScanner->QVAPI_set(instance, QVAPI_OPTION_ARCHIVE_SCAN, archive.c_str());
    onAccessPassResults.push_back(currentOptions->applyEngineOptions(currentScanner, false, instance, true));
    return 0;
}

class EngineOptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        options_.setOptionNumeric(L"onaccess", 0);
        options_.setOptionNumeric(L"apcmode", 0);
    }

    void start(const EngineCallbacks& callbacks = EngineCallbacks()) {
        scanner_ = std::make_unique<QVAPIScanner>(&options_, callbacks);
        const std::wstring folder = stageFakeEngine("complete");
        scanner_->setLibraryFolder(folder);
        scanner_->setEngineFolder(folder);
        ASSERT_EQ(scanner_->load(), 0);
        control_ = fakeControl(*scanner_);
        currentScanner = scanner_.get();
        currentOptions = &options_;
        ASSERT_EQ(scanner_->initialize(), 0);
        control_->optionSets.clear();
    }

    // Option ids sent to `instance` (null: the global ones), in order.
    std::vector<uint32_t> sentTo(QVAPI_INSTANCE instance) const {
        std::vector<uint32_t> ids;
        for (const FakeOptionSet& s : control_->optionSets)
            if (s.instance == instance)
                ids.push_back(s.option);
        return ids;
    }

    std::wstring valueOf(QVAPI_INSTANCE instance, uint32_t option) const {
        for (const FakeOptionSet& s : control_->optionSets)
            if (s.instance == instance && s.option == option)
                return s.value;
        return L"<not sent>";
    }

    QVAPI_INSTANCE instance() const { return reinterpret_cast<QVAPI_INSTANCE>(control_); }

    _Options options_;
    std::unique_ptr<QVAPIScanner> scanner_;
    FakeEngineControl* control_ = nullptr;
};

// Instance options of the default table in table order, without and with the cloud.
const std::vector<uint32_t> kOnDemand = {3, 4, 5, 6, 7, 8, 31, 10, 1001, 30, 45, 26, 27, 43, 35, 12};
const std::vector<uint32_t> kOnDemandWithCloud = {3,  4,  5,  6,  7,  8,  31, 10, 1001, 30, 45,
                                                  26, 27, 43, 35, 12, 47, 40, 41, 38,   39};

}  // namespace

TEST_F(EngineOptionsTest, InstancePassesPerKindOfInstance) {
    const struct {
        const char* name;
        int apcMode;
        bool onAccess;
        std::vector<uint32_t> expected;
    } cases[] = {
        {"on demand", 0, false, kOnDemand},
        {"on demand with cloud", 2, false, kOnDemandWithCloud},
        // On access: no scan or cloud time-outs, and no archive switch (the instance has
        // its own from `archivescanoa`).
        {"on access with cloud", 2, true, {4, 5, 6, 7, 8, 31, 10, 1001, 30, 45, 26, 27, 43, 35, 47, 40, 41}},
    };
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        options_.setOptionNumeric(L"apcmode", c.apcMode);
        control_->optionSets.clear();
        EXPECT_EQ(options_.applyEngineOptions(scanner_.get(), false, instance(), c.onAccess), 0);
        EXPECT_EQ(sentTo(instance()), c.expected);
        EXPECT_TRUE(sentTo(nullptr).empty());
    }
    EXPECT_EQ(valueOf(instance(), 30), L"SMART");
}

TEST_F(EngineOptionsTest, OnAccessInstancesKeepTheirArchiveSwitch) {
    options_.setOptionNumeric(L"onaccess", 1);
    options_.setOptionNumeric(L"archivescanoa", 0);
    options_.setOptionNumeric(L"archivescanod", 1);
    onAccessPassResults.clear();
    start(EngineCallbacks{nullptr, setUpOnAccessInstance, nullptr});
    ASSERT_EQ(control_->oaInstances.size(), 2u);
    // The instances were set up while the engine was being initialised.
    EXPECT_EQ(onAccessPassResults, (std::vector<int>{0, 0}));

    // Re-run the recorded set-up for the first instance to look at what it was sent.
    control_->optionSets.clear();
    setUpOnAccessInstance(control_->oaInstances[0]);
    std::vector<std::wstring> archive;
    for (const FakeOptionSet& s : control_->optionSets)
        if (s.option == QVAPI_OPTION_ARCHIVE_SCAN)
            archive.push_back(s.value);
    EXPECT_EQ(archive, std::vector<std::wstring>{L"0"});
}

TEST_F(EngineOptionsTest, GlobalPassAndDependencies) {
    LogCapture log;
    options_.setOptionNumeric(L"onaccess", 1);
    start();
    ASSERT_EQ(options_.applyEngineOptions(scanner_.get(), true, nullptr, false), 0);
    // Empty texts (excepted files, proxy) are not sent.
    EXPECT_EQ(sentTo(nullptr), (std::vector<uint32_t>{3000, 3002, 3004, 3006, 3003}));
    EXPECT_TRUE(sentTo(instance()).empty());

    options_.setOptionNumeric(L"onaccess", 0);
    control_->optionSets.clear();
    ASSERT_EQ(options_.applyEngineOptions(scanner_.get(), true, nullptr, false), 0);
    EXPECT_TRUE(sentTo(nullptr).empty());
    EXPECT_TRUE(
        log.contains("Option 'oaextensionlist' cannot be set because it depends on value 14 which is set to "
                     "'deactivated'"));
}

TEST_F(EngineOptionsTest, ExceptedProcessesAlwaysNameCsrss) {
    const struct {
        const wchar_t* configured;
        const wchar_t* sent;
    } cases[] = {{L"tool.exe", L"tool.exe;csrss.exe"}, {L"csrss.exe;tool.exe", L"csrss.exe;tool.exe"}};
    options_.setOptionNumeric(L"onaccess", 1);
    start();
    for (const auto& c : cases) {
        options_.setOptionString(L"oaexceptedprocesses", c.configured);
        control_->optionSets.clear();
        options_.applyEngineOptions(scanner_.get(), true, nullptr, false);
        EXPECT_EQ(valueOf(nullptr, 3002), c.sent);
        EXPECT_EQ(options_.getOptionString(L"oaexceptedprocesses"), c.sent);
    }
}

TEST_F(EngineOptionsTest, UnsupportedCountsAsSuccessOtherAnswersAreErrors) {
    start();
    const struct {
        const char* name;
        std::map<uint32_t, int32_t> answers;
        int result;
        bool errorLine;
    } cases[] = {
        {"all fine", {}, 0, false},
        {"unsupported", {{30, 19}, {12, 19}}, 0, false},
        {"one refused early", {{4, 21}}, 21, true},
        {"refused, then unsupported last", {{4, 21}, {12, 19}}, 21, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        control_->optionResults = c.answers;
        EXPECT_EQ(options_.applyEngineOptions(scanner_.get(), false, instance(), false), c.result);
        EXPECT_EQ(log.contains("Cannot set up instance option"), c.errorLine);
        EXPECT_FALSE(log.contains("error code 19"));
    }
    LogCapture log;
    control_->optionResults = {{4, 21}};
    options_.applyEngineOptions(scanner_.get(), false, instance(), false);
    EXPECT_TRUE(log.contains(
        "Cannot set up instance option 'archivemaxsize'(code:4) : error code 21: value to be set "
        "'1073741824':Error message:'Error: Unsupported option'"));
}

TEST_F(EngineOptionsTest, WithoutEngineOrInstanceNothingIsSent) {
    options_.setOptionNumeric(L"onaccess", 1);
    EXPECT_EQ(options_.applyEngineOptions(nullptr, true, nullptr, false), -1);
    QVAPIScanner notLoaded(&options_);
    EXPECT_EQ(options_.applyEngineOptions(&notLoaded, false, nullptr, false), -1);
    start();
    EXPECT_EQ(options_.applyEngineOptions(scanner_.get(), false, nullptr, false), -1);
    EXPECT_TRUE(control_->optionSets.empty());
}

TEST_F(EngineOptionsTest, EngineIsCalledWithoutTheStoreLock) {
    start();
    // Another thread reads the store while the engine is inside each option call; it
    // would wait forever if the pass held the store's lock across the call.
    std::vector<std::future<std::wstring>> readers;
    int blocked = 0;
    control_->onOptionSet = [&](uint32_t) {
        readers.push_back(
            std::async(std::launch::async, [&] { return options_.getOptionString(L"scanmode"); }));
        if (readers.back().wait_for(std::chrono::seconds(5)) != std::future_status::ready)
            ++blocked;
    };
    options_.applyEngineOptions(scanner_.get(), false, instance(), false);
    options_.applyEngineOptions(scanner_.get(), true, nullptr, false);
    control_->onOptionSet = nullptr;
    EXPECT_FALSE(readers.empty());
    EXPECT_EQ(blocked, 0);
    for (auto& r : readers)
        EXPECT_EQ(r.get(), L"SMART");
}

TEST_F(EngineOptionsTest, OneOptionByKey) {
    options_.setOptionNumeric(L"onaccess", 1);
    start();
    const std::wstring value = L"/opt/tool";
    const struct {
        const char* name;
        const wchar_t* key;
        const std::wstring* value;
        bool withInstance;
        int result;
        std::vector<uint32_t> global;
        std::vector<uint32_t> perInstance;
        const char* line;
    } cases[] = {
        {"unknown key", L"nosuchkey", nullptr, false, -1, {}, {}, "Option nosuchkey NOT found"},
        {"key not lower-cased",
         L"OAExceptedFiles",
         nullptr,
         false,
         -1,
         {},
         {},
         "Option OAExceptedFiles NOT found"},
        {"no engine option",
         L"port",
         nullptr,
         false,
         0,
         {},
         {},
         "Ignored option because this is not a QVAPI option:'port'"},
        {"global with value",
         L"oaexceptedfiles",
         &value,
         false,
         0,
         {3001},
         {},
         "Setting QVAPI Global Option 'OAExceptedFiles' to .Result: 0"},
        {"global current text", L"oaextensionlist", nullptr, false, 0, {3000}, {}, ""},
        {"instance option without instance", L"scanmode", nullptr, false, 0, {}, {}, ""},
        {"instance option",
         L"scanmode",
         nullptr,
         true,
         0,
         {},
         {30},
         "Setting QVAPI Option 'ScanMode' to SMART. Result:0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        control_->optionSets.clear();
        EXPECT_EQ(
            options_.setEngineOption(scanner_.get(), c.key, c.value, c.withInstance ? instance() : nullptr),
            c.result);
        EXPECT_EQ(sentTo(nullptr), c.global);
        EXPECT_EQ(sentTo(instance()), c.perInstance);
        EXPECT_TRUE(log.contains(c.line));
    }
    EXPECT_EQ(valueOf(nullptr, 3001), L"<not sent>");
    control_->optionSets.clear();
    options_.setEngineOption(scanner_.get(), L"oaexceptedfiles", &value, nullptr);
    EXPECT_EQ(valueOf(nullptr, 3001), value);

    LogCapture log;
    control_->optionResults = {{30, 21}};
    EXPECT_EQ(options_.setEngineOption(scanner_.get(), L"scanmode", nullptr, instance()), 21);
    EXPECT_TRUE(log.contains("Error setting QVAPI Option 'ScanMode'. Code:21"));
}

TEST_F(EngineOptionsTest, GlobalSettingsFillTheWhitelist) {
    options_.setOptionString(L"exceptedfiles", L"/srv/data;/opt/tool");
    start();
    EXPECT_EQ(options_.applyGlobalSettings(scanner_.get()), 0);
    _Whitelist& whitelist = _Whitelist::instance();
    EXPECT_TRUE(whitelist.isWhitelisted(getThisBinaryPath(nullptr)));
    EXPECT_TRUE(whitelist.isWhitelisted(L"/srv/data/file"));
    EXPECT_TRUE(whitelist.isWhitelisted(L"/opt/tool"));
    EXPECT_FALSE(whitelist.isWhitelisted(L"/opt/toolbox"));
}
