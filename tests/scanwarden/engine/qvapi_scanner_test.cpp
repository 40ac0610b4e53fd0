// The engine wrapper against the fake engine: initialisation order and records, the
// on-access layer and its failure path, uninitialisation, reload, single-file scans,
// the version record and the error texts.
#include "scanwarden/qvapi_scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "fake_engine_fixture.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/oem_resource.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/roots.h"
#include "scanwarden/options.h"
#include "support/test_root.h"

using enginetest::fakeControl;
using enginetest::LogCapture;
using enginetest::stageFakeEngine;

namespace {

std::vector<QVAPI_INSTANCE> createdInstances;
std::vector<QVAPI_INSTANCE> destroyedInstances;

int32_t testLog(int32_t, const wchar_t*, void*) {
    return 0;
}
int32_t testCreated(QVAPI_INSTANCE instance) {
    createdInstances.push_back(instance);
    return 0;
}
int32_t testDestroyed(QVAPI_INSTANCE instance) {
    destroyedInstances.push_back(instance);
    return 0;
}

class QvapiScannerTest : public ::testing::Test {
protected:
    void SetUp() override {
        createdInstances.clear();
        destroyedInstances.clear();
        options_.setOptionNumeric(L"onaccess", 0);
        options_.setOptionNumeric(L"apcmode", 0);
    }

    // A wrapper on the fake engine `variant`; the engine folder is a folder of its own.
    std::unique_ptr<QVAPIScanner> makeScanner(const std::string& variant = "complete",
                                              const EngineCallbacks& callbacks = EngineCallbacks()) {
        auto scanner = std::make_unique<QVAPIScanner>(&options_, callbacks);
        scannerFolder_ = stageFakeEngine(variant);
        scanner->setLibraryFolder(scannerFolder_);
        scanner->setScannerFolder(scannerFolder_);
        scanner->setEngineFolder(scannerFolder_ + L"/engine");
        return scanner;
    }

    // Loads the library without initialising, so answers can be set up first.
    FakeEngineControl& preload(QVAPIScanner& scanner) {
        EXPECT_EQ(scanner.load(), 0);
        FakeEngineControl* control = fakeControl(scanner);
        EXPECT_NE(control, nullptr);
        return *control;
    }

    static size_t count(const FakeEngineControl& c, const std::string& call) {
        return static_cast<size_t>(std::count(c.calls.begin(), c.calls.end(), call));
    }

    _Options options_;
    std::wstring scannerFolder_;
};

}  // namespace

TEST(QvapiScannerMapping, EngineLogLevelFromTraceLevel) {
    const struct {
        int trace;
        int32_t engine;
    } cases[] = {{-1, 4}, {0, 4}, {1, 4}, {2, 3}, {3, 2}, {4, 1}, {5, 0}, {6, 4}, {99, 4}};
    for (const auto& c : cases)
        EXPECT_EQ(QVAPIScanner::engineLogLevel(c.trace), c.engine) << "trace level " << c.trace;
}

TEST(QvapiScannerMapping, OnAccessThreadCountIsLimitedTo3To24) {
    const struct {
        int configured;
        uint32_t threads;
    } cases[] = {{-5, 3}, {1, 3}, {3, 3}, {10, 10}, {24, 24}, {30, 24}};
    for (const auto& c : cases)
        EXPECT_EQ(QVAPIScanner::onAccessThreadCount(c.configured), c.threads) << c.configured;
}

TEST_F(QvapiScannerTest, InitialisationWithCloudAndOnAccessOff) {
    LogCapture log;
    options_.setOptionNumeric(L"loglevel", 5);
    EngineCallbacks callbacks;
    callbacks.log = testLog;
    auto scanner = makeScanner("complete", callbacks);

    EXPECT_EQ(scanner->initialize(), 0);
    EXPECT_TRUE(scanner->isLoaded());
    EXPECT_TRUE(scanner->engineInitialized());
    EXPECT_FALSE(scanner->apcInitialized());
    EXPECT_FALSE(scanner->oaInitialized());

    FakeEngineControl& c = *fakeControl(*scanner);
    EXPECT_EQ(c.calls, (std::vector<std::string>{"QVAPI_set_log_callback", "QVAPI_initialize",
                                                 "QVAPI_extract_malware_names"}));
    EXPECT_EQ(c.logCallback, &testLog);
    EXPECT_EQ(c.logLevel, 0);
    EXPECT_EQ(c.logContext, &scanner->logContext());
    EXPECT_EQ(scanner->logContext().trace.load(), nullptr);
    EXPECT_EQ(c.lastInit.api_major, 5u);
    EXPECT_EQ(c.lastInit.api_minor, 5u);
    EXPECT_EQ(c.lastInit.product_id, 12033u);
    EXPECT_EQ(c.lastInit.reserved1, 0u);
    EXPECT_EQ(c.lastInit.reserved2, 0u);
    EXPECT_EQ(c.initEngineFolder, scannerFolder_ + L"/engine");
    EXPECT_EQ(c.initVdfFolder, scannerFolder_ + L"/engine");
    EXPECT_EQ(c.extractFolder, getTmp());

    EXPECT_TRUE(log.contains("API Version: 'QVAPI compiled with API version' 5.5"));
    EXPECT_TRUE(log.contains("APC is configured disabled"));
    EXPECT_TRUE(log.contains("OnAccess scanning is configured disabled"));
    EXPECT_TRUE(log.contains("Engine Setup finished : code 0"));
}

TEST_F(QvapiScannerTest, CloudRecordCarriesFoldersModeAndProxy) {
    options_.setOptionNumeric(L"apcmode", 1);
    options_.setOptionString(L"proxyserver", L"proxy.example:8080");
    auto scanner = makeScanner();
    ASSERT_EQ(scanner->initialize(), 0);
    EXPECT_TRUE(scanner->apcInitialized());

    const FakeEngineControl& c = *fakeControl(*scanner);
    EXPECT_EQ(c.apcProductFolder, scannerFolder_);
    EXPECT_EQ(c.apcTempFolder, getTmp());
    EXPECT_EQ(c.apcKeyFolder, scannerFolder_);
    EXPECT_EQ(c.lastApc.mode, 1u);
    EXPECT_EQ(c.lastApc.max_upload_size, 52428800u);
    EXPECT_EQ(c.lastApc.cache_enabled, 1u);
    EXPECT_EQ(c.apcCacheFile, getTmp() + L"/apc_cache.dat");
    EXPECT_EQ(c.lastApc.connect_timeout, 5u);
    EXPECT_EQ(c.lastApc.cache_ttl, 300u);
    EXPECT_FALSE(c.apcProxyNull);
    EXPECT_EQ(c.apcProxy, "proxy.example:8080");
}

TEST_F(QvapiScannerTest, CloudWithoutProxyGetsNone) {
    options_.setOptionNumeric(L"apcmode", 2);
    auto scanner = makeScanner();
    ASSERT_EQ(scanner->initialize(), 0);
    EXPECT_TRUE(fakeControl(*scanner)->apcProxyNull);
}

TEST_F(QvapiScannerTest, FailingCloudWithOnAccessOffIsReportedButEngineIsUsable) {
    LogCapture log;
    options_.setOptionNumeric(L"apcmode", 2);
    auto scanner = makeScanner();
    preload(*scanner).apcInitializeResult = 87;
    EXPECT_EQ(scanner->initialize(), 87);
    EXPECT_TRUE(scanner->isLoaded());
    EXPECT_FALSE(scanner->apcInitialized());
    EXPECT_TRUE(log.contains("Cannot initialize APC: error 87"));
}

TEST_F(QvapiScannerTest, FailingEngineLeavesWrapperUnusableAndRetryLoadsNothingTwice) {
    LogCapture log;
    auto scanner = makeScanner();
    FakeEngineControl& c = preload(*scanner);
    const HMODULE handle = scanner->libraryHandle();
    c.initializeResult = 13;

    EXPECT_EQ(scanner->initialize(), 13);
    EXPECT_FALSE(scanner->isLoaded());
    EXPECT_FALSE(scanner->engineInitialized());
    EXPECT_EQ(count(c, "QVAPI_extract_malware_names"), 0u);
    EXPECT_TRUE(log.contains("Cannot initialize QVAPI engine from folder " + WS2S(scannerFolder_) +
                             "/engine: error 13:Error: One or more engine files not found"));
    EXPECT_EQ(scanner->uninitialize(), 1);

    // The second attempt (after a restore of the engine folder) uses the same library.
    c.initializeResult = 0;
    EXPECT_EQ(scanner->initialize(), 0);
    EXPECT_TRUE(scanner->isLoaded());
    EXPECT_EQ(scanner->libraryHandle(), handle);
    EXPECT_EQ(fakeControl(*scanner), &c);
    EXPECT_EQ(count(c, "QVAPI_initialize"), 2u);
}

TEST_F(QvapiScannerTest, InitialisingASetUpWrapperTakesTheEngineDownFirst) {
    auto scanner = makeScanner();
    ASSERT_EQ(scanner->initialize(), 0);
    FakeEngineControl& c = *fakeControl(*scanner);
    c.calls.clear();
    ASSERT_EQ(scanner->initialize(), 0);
    ASSERT_GE(c.calls.size(), 2u);
    EXPECT_EQ(c.calls[0], "QVAPI_uninitialize");
    EXPECT_EQ(count(c, "QVAPI_initialize"), 1u);
}

TEST_F(QvapiScannerTest, UnloadableLibraryGivesOne) {
    LogCapture log;
    QVAPIScanner scanner(&options_);
    scanner.setLibraryFolder(S2WS(testsupport::makeTempDir("empty")));
    EXPECT_EQ(scanner.initialize(), 1);
    EXPECT_FALSE(scanner.isLoaded());
    EXPECT_TRUE(log.contains("Cannot load the engine library."));
}

TEST_F(QvapiScannerTest, OnAccessLayerGetsThreadsCallbacksLogAndExceptions) {
    options_.setOptionNumeric(L"onaccess", 1);
    options_.setOptionNumeric(L"oascanthreads", 10);
    options_.setOptionNumeric(L"apcmode", 2);
    EngineCallbacks callbacks{testLog, testCreated, testDestroyed};
    auto scanner = makeScanner("complete", callbacks);

    EXPECT_EQ(scanner->initialize(), 0);
    EXPECT_TRUE(scanner->isLoaded());
    EXPECT_TRUE(scanner->oaInitialized());
    EXPECT_EQ(options_.getOptionNumeric(L"onaccess"), 1);

    FakeEngineControl& c = *fakeControl(*scanner);
    EXPECT_EQ(c.lastOA.scan_threads, 10u);
    EXPECT_EQ(c.lastOA.reserved, 0u);
    EXPECT_EQ(c.created, &testCreated);
    EXPECT_EQ(c.destroyed, &testDestroyed);
    EXPECT_EQ(createdInstances.size(), 2u);

    // The engine's log now goes to the on-access log.
    const std::shared_ptr<Trace> oaLog = scanner->onAccessLog();
    ASSERT_NE(oaLog, nullptr);
    EXPECT_EQ(scanner->logContext().trace.load(), oaLog.get());
    EXPECT_TRUE(std::filesystem::exists(WS2S(getLogFolder()) + "/OA-Scan.log"));

    // This program and the system's csrss.exe are excepted on access.
    const std::wstring expected =
        getThisBinaryPath(nullptr) + L";" + S2WS(kitbase::systemFolder()) + L"/csrss.exe";
    ASSERT_FALSE(c.optionSets.empty());
    EXPECT_EQ(c.optionSets.back().instance, nullptr);
    EXPECT_EQ(c.optionSets.back().option, 3001u);
    EXPECT_EQ(c.optionSets.back().value, expected);

    // Uninitialisation goes down layer by layer.
    c.calls.clear();
    EXPECT_EQ(scanner->uninitialize(), 0);
    EXPECT_EQ(c.calls, (std::vector<std::string>{"QVAPI_OA_uninitialize", "QVAPI_APC_uninitialize",
                                                 "QVAPI_uninitialize"}));
    EXPECT_EQ(destroyedInstances, createdInstances);
    EXPECT_FALSE(scanner->isLoaded());
    EXPECT_EQ(scanner->uninitialize(), 1);
}

// A failing on-access layer leaves the engine usable for on-demand scans and switches
// on-access off in memory only.
TEST_F(QvapiScannerTest, OnAccessFailureSwitchesOnAccessOffInMemory) {
    const struct {
        const char* name;
        int32_t initResult;
        int32_t createResult;
        bool initLine;
    } cases[] = {{"initialisation fails", 18, 0, true}, {"instances fail", 0, 7, false}};
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        LogCapture log;
        _Options options;
        const std::string config = testsupport::makeTempDir("conf") + "/scanwarden.conf";
        options.setConfigFile(S2WS(config));
        options.setOptionNumeric(L"apcmode", 0);
        QVAPIScanner scanner(&options, EngineCallbacks{nullptr, testCreated, testDestroyed});
        const std::wstring folder = stageFakeEngine("complete");
        scanner.setLibraryFolder(folder);
        scanner.setEngineFolder(folder);
        FakeEngineControl& c = preload(scanner);
        c.oaInitializeResult = t.initResult;
        c.oaCreateResult = t.createResult;

        const int expected = t.initResult != 0 ? t.initResult : t.createResult;
        EXPECT_EQ(scanner.initialize(), expected);
        EXPECT_TRUE(scanner.isLoaded());
        EXPECT_FALSE(scanner.oaInitialized());
        EXPECT_EQ(options.getOptionNumeric(L"onaccess"), 0);
        EXPECT_EQ(log.contains("Cannot initialize OA scanning: error " + std::to_string(expected)),
                  t.initLine);
        EXPECT_TRUE(
            log.contains("Cannot initialize OA scanning instances: error " + std::to_string(expected)));

        // Not a configured value: the file keeps on-access as configured.
        ASSERT_EQ(options.writeCfg(), 0);
        EXPECT_EQ(testsupport::readFile(config).find("\nonaccess=0"), std::string::npos);
    }
}

TEST_F(QvapiScannerTest, ReloadHandsTheNewFolderToTheEngine) {
    LogCapture log;
    auto scanner = makeScanner();
    ASSERT_EQ(scanner->initialize(), 0);
    FakeEngineControl& c = *fakeControl(*scanner);
    c.extractFolder.clear();

    EXPECT_EQ(scanner->reload(L"/new/engine"), 0);
    EXPECT_EQ(c.reloadFolder, L"/new/engine");
    EXPECT_EQ(c.extractFolder, getTmp());
    EXPECT_EQ(scanner->engineFolder(), scannerFolder_ + L"/engine");

    c.reloadResult = 9;
    c.extractFolder.clear();
    EXPECT_EQ(scanner->reload(L"/bad/engine"), 9);
    EXPECT_TRUE(c.extractFolder.empty());
    EXPECT_TRUE(log.contains("Failed to reload the new engine from /bad/engine:Code 9"));
}

TEST_F(QvapiScannerTest, ReloadWithoutEngineCallsNothing) {
    QVAPIScanner scanner(&options_);
    EXPECT_EQ(scanner.reload(L"/new/engine"), 4002);
}

TEST_F(QvapiScannerTest, ScanOfOneFile) {
    auto scanner = makeScanner();
    ASSERT_EQ(scanner->initialize(), 0);
    FakeEngineControl& c = *fakeControl(*scanner);
    QVAPI_INSTANCE instance = reinterpret_cast<QVAPI_INSTANCE>(&c);
    ScanRecord record;

    // Bad arguments never reach the engine.
    EXPECT_EQ(scanner->scan(nullptr, &record, L"/x"), 1);
    EXPECT_EQ(scanner->scan(instance, nullptr, L"/x"), 1);
    EXPECT_EQ(scanner->scan(instance, &record, L""), 1);
    EXPECT_TRUE(c.scans.empty());

    EXPECT_EQ(scanner->scan(instance, &record, L"/data/clean.txt"), 0);
    EXPECT_EQ(c.scans, std::vector<std::wstring>{L"/data/clean.txt"});
    EXPECT_EQ(record.errors, 0u);

    c.scanResult = 33;
    EXPECT_EQ(scanner->scan(instance, &record, L"/data/locked.txt"), 33);
    EXPECT_EQ(record.errors, 1u);
}

TEST_F(QvapiScannerTest, AbortedRecordIsClearedWithoutScanning) {
    auto scanner = makeScanner();
    ASSERT_EQ(scanner->initialize(), 0);
    ScanRecord record;
    record.abort = true;
    record.malwareCount = 2;
    record.scanAnswer = 1;
    record.warning = 3;
    record.fileName = L"f";
    record.rootFile = L"r";
    record.malwareName = L"m";
    record.malwareType = L"t";
    record.message = L"x";
    EXPECT_EQ(scanner->scan(reinterpret_cast<QVAPI_INSTANCE>(&record), &record, L"/data/a"), 0);
    EXPECT_TRUE(fakeControl(*scanner)->scans.empty());
    EXPECT_EQ(record.malwareCount, 0u);
    EXPECT_EQ(record.scanAnswer, 0);
    EXPECT_EQ(record.warning, 0);
    EXPECT_TRUE(record.fileName.empty() && record.rootFile.empty() && record.malwareName.empty() &&
                record.malwareType.empty() && record.message.empty());
}

TEST_F(QvapiScannerTest, ScanWithoutUsableEngine) {
    ScanRecord record;
    QVAPI_INSTANCE instance = reinterpret_cast<QVAPI_INSTANCE>(&record);
    {
        QVAPIScanner notLoaded(&options_);
        EXPECT_EQ(notLoaded.scan(instance, &record, L"/data/a"), 4002);
        EXPECT_EQ(record.errors, 1u);
    }
    // An engine without the optional scan entry is never called through it.
    auto scanner = makeScanner("no_optional");
    ASSERT_EQ(scanner->initialize(), 0);
    EXPECT_EQ(scanner->scan(instance, &record, L"/data/a"), 19);
    EXPECT_EQ(record.errors, 2u);
}

TEST_F(QvapiScannerTest, VersionQueryFillsRecordTextAndLabels) {
    LogCapture log;
    options_.setOptionNumeric(L"apcmode", 2);
    auto scanner = makeScanner();
    FakeEngineControl& c = preload(*scanner);
    c.items = {{2001, L"8.3.70.2"}, {2002, L"8.20.1.4"}, {2005, L"123456"}, {2017, L"2024-05-06"}};
    ASSERT_EQ(scanner->initialize(), 0);

    EngineVersions versions;
    ASSERT_EQ(versions.query(scanner.get()), 0);
    EXPECT_EQ(c.liveInstances, 0);
    EXPECT_EQ(versions.signatureCount(), L"123456");
    EXPECT_EQ(versions.vdfDate(), L"2024-05-06");
    const EngineInfos infos = versions.engineInfos();
    EXPECT_EQ(infos.engine_ver, L"1.2.3.4");
    EXPECT_EQ(infos.ave_ver, L"8.3.70.2");
    EXPECT_EQ(infos.vdf_ver, L"8.20.1.4");
    EXPECT_EQ(infos.apc_ver, L"0.0.7.9");
    EXPECT_TRUE(log.contains("APC version:'7.9'"));
    EXPECT_TRUE(log.contains("VDF Date: 2024-05-06"));

    const std::wstring text = getString(1027) + L":1.2.3.4\n" + getString(1024) + L":8.3.70.2\n" +
                              getString(1025) + L":8.20.1.4\n" + getString(1026) + L":0.0.7.9\n";
    EXPECT_EQ(versions.infoText(), text);
    EXPECT_EQ(versions.toString(), text);
    const std::map<std::wstring, std::wstring> labels{{getString(1027), L"1.2.3.4"},
                                                      {getString(1024), L"8.3.70.2"},
                                                      {getString(1025), L"8.20.1.4"},
                                                      {getString(1026), L"0.0.7.9"}};
    EXPECT_EQ(versions.labels(), labels);
}

TEST_F(QvapiScannerTest, VersionQueryStopsAtTheFirstFailureAndReleasesTheInstance) {
    LogCapture log;
    auto scanner = makeScanner();
    FakeEngineControl& c = preload(*scanner);
    c.items = {{2001, L"8.3.70.2"}};
    c.itemResults = {{2002, 34}};
    ASSERT_EQ(scanner->initialize(), 0);

    EngineVersions versions;
    EXPECT_EQ(versions.query(scanner.get()), 34);
    EXPECT_EQ(c.liveInstances, 0);
    EXPECT_EQ(versions.engineInfos().ave_ver, L"8.3.70.2");
    EXPECT_TRUE(versions.infoText().empty());
    EXPECT_TRUE(log.contains("Cannot get QVAPI VDF version"));
}

TEST_F(QvapiScannerTest, VersionQueryNeedsAnInitialisedEngine) {
    EngineVersions versions;
    EXPECT_EQ(versions.query(nullptr), 0);
    QVAPIScanner scanner(&options_);
    EXPECT_EQ(versions.query(&scanner), 0);
    EXPECT_TRUE(versions.infoText().empty());
}

TEST_F(QvapiScannerTest, VersionQueryWithoutTheCloudVersionEntry) {
    options_.setOptionNumeric(L"apcmode", 2);
    auto scanner = makeScanner("no_optional");
    FakeEngineControl& c = preload(*scanner);
    c.items = {{2001, L"a"}, {2002, L"b"}, {2005, L"1"}};
    ASSERT_EQ(scanner->initialize(), 0);
    ASSERT_TRUE(scanner->apcInitialized());
    EngineVersions versions;
    EXPECT_EQ(versions.query(scanner.get()), 0);
    EXPECT_EQ(versions.engineInfos().apc_ver, L"0.0.0.0");
}

TEST(QvapiErrorText, CodesAndTheirTexts) {
    const struct {
        int32_t code;
        const wchar_t* text;
    } cases[] = {
        {0, L"Error: Unknown error code!"},
        {-1, L"Error: Unknown error code!"},
        {17, L"Error: Unknown error code!"},
        {102, L"Error: Unknown error code!"},
        {1001, L"Error: Unknown error code!"},
        {1, L"Error: Invalid parameter"},
        {13, L"Error: One or more engine files not found"},
        {25, L"Error: Encrypted content found!"},
        {69, L"Error: Encrypted content found!"},
        {95, L"Error: APC random id is invalid, not accesible or not computable based on the MAC address"},
        {99, L"Error: APC timeout restrictions not met: APCConnectionTimeout < APCScanTimeout < ScanTimeout"},
        {101, L"Error: APC quota limit reached"},
        {1000, L"Error: Compression method unsupported!"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(getQvapiErrorText(c.code), c.text) << c.code;
}
