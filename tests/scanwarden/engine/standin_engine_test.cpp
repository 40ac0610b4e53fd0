// The wrapper on the stand-in engine of the staged program tree: initialisation,
// versions, and single-file scans with the callbacks the engine calls meanwhile.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <vector>

#include "fake_engine_fixture.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "scanwarden/options.h"
#include "scanwarden/qvapi_scanner.h"
#include "support/test_root.h"

namespace fs = std::filesystem;

namespace {

// The staged scanner folder (library and engine files) copied to a folder of the test.
std::wstring copyStagedScanner() {
    const std::string folder = testsupport::makeTempDir("scanner");
    fs::copy(WS2S(getScannerPath()), folder,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    return S2WS(folder);
}

// What the callbacks saw, in order: callback type, scan answer (type 0) or -1.
struct Seen {
    uint32_t type;
    int32_t answer;
};
std::mutex seenLock;
std::vector<Seen> seen;

int32_t recordCallback(QVAPI_CALLBACK_DATA* data) {
    auto* record = static_cast<ScanRecord*>(data->user_data);
    int32_t answer = -1;
    if (data->type == QVAPI_CALLBACK_REPORT_FILE_STATUS) {
        auto* status = static_cast<QVAPI_FILE_STATUS_DATA*>(data->type_data);
        answer = status->scan_answer;
        if (answer == QVAPI_SCAN_ANSWER_MALWARE || answer == QVAPI_SCAN_ANSWER_SUSPICIOUS) {
            ++record->malwareCount;
            record->scanAnswer = answer;
            if (status->malware_name != nullptr)
                record->malwareName = status->malware_name;
        }
    }
    std::lock_guard<std::mutex> guard(seenLock);
    seen.push_back({data->type, answer});
    return QVAPI_CALLBACK_CONTINUE;
}

std::vector<QVAPI_INSTANCE> oaCreated;
int32_t onCreated(QVAPI_INSTANCE instance) {
    std::lock_guard<std::mutex> guard(seenLock);
    oaCreated.push_back(instance);
    return 0;
}
int32_t onDestroyed(QVAPI_INSTANCE) {
    return 0;
}

class StandinEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(WS2S(getScannerPath()) + "/qvapi.dll"))
            GTEST_SKIP() << "the stand-in engine is not staged";
        options_.setOptionNumeric(L"onaccess", 0);
        options_.setOptionNumeric(L"apcmode", 0);
        folder_ = copyStagedScanner();
        seen.clear();
        oaCreated.clear();
    }

    std::unique_ptr<QVAPIScanner> start(const EngineCallbacks& callbacks = EngineCallbacks()) {
        auto scanner = std::make_unique<QVAPIScanner>(&options_, callbacks);
        scanner->setLibraryFolder(folder_);
        scanner->setScannerFolder(folder_);
        scanner->setEngineFolder(folder_ + L"/engine");
        return scanner;
    }

    _Options options_;
    std::wstring folder_;
};

}  // namespace

TEST_F(StandinEngineTest, CleanAndEicarFilesThroughTheWrapper) {
    auto scanner = start();
    ASSERT_EQ(scanner->initialize(), 0);
    ASSERT_TRUE(scanner->isLoaded());

    QVAPI_INSTANCE instance = nullptr;
    const QVAPI_INSTANCE_INIT init{};
    ASSERT_EQ(scanner->QVAPI_create_instance(&init, &instance), 0);
    ScanRecord record;
    ASSERT_EQ(scanner->QVAPI_set_user_data(instance, &record), 0);
    for (uint32_t type :
         {QVAPI_CALLBACK_PRESCAN, QVAPI_CALLBACK_ARCHIVE_OPEN, QVAPI_CALLBACK_REPORT_FILE_STATUS,
          QVAPI_CALLBACK_REPORT_ERROR, QVAPI_CALLBACK_APC_SCAN})
        ASSERT_EQ(scanner->QVAPI_register_callback(instance, type, recordCallback), 0);

    const std::string data = testsupport::makeTempDir("data");
    testsupport::writeFile(data + "/clean.txt", "nothing to see here\n");
    testsupport::writeFile(data + "/eicar.com",
                           "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*");

    EXPECT_EQ(scanner->scan(instance, &record, S2WS(data + "/clean.txt")), 0);
    EXPECT_EQ(record.malwareCount, 0u);
    {
        std::lock_guard<std::mutex> guard(seenLock);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front().type, QVAPI_CALLBACK_PRESCAN);
        EXPECT_EQ(seen.back().type, QVAPI_CALLBACK_REPORT_FILE_STATUS);
        EXPECT_EQ(seen.back().answer, QVAPI_SCAN_ANSWER_DONE);
        seen.clear();
    }

    EXPECT_EQ(scanner->scan(instance, &record, S2WS(data + "/eicar.com")), 0);
    EXPECT_EQ(record.malwareCount, 1u);
    EXPECT_EQ(record.scanAnswer, QVAPI_SCAN_ANSWER_MALWARE);
    EXPECT_NE(lower(record.malwareName).find(L"eicar"), std::wstring::npos) << WS2S(record.malwareName);
    {
        // Pre-scan first, the detection before the closing "done" report.
        std::lock_guard<std::mutex> guard(seenLock);
        std::vector<int32_t> answers;
        for (const Seen& s : seen)
            if (s.type == QVAPI_CALLBACK_REPORT_FILE_STATUS)
                answers.push_back(s.answer);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front().type, QVAPI_CALLBACK_PRESCAN);
        EXPECT_EQ(answers, (std::vector<int32_t>{QVAPI_SCAN_ANSWER_MALWARE, QVAPI_SCAN_ANSWER_DONE}));
    }
    EXPECT_EQ(record.errors, 0u);

    EXPECT_EQ(scanner->scan(instance, &record, S2WS(data + "/missing.txt")) != 0, true);
    EXPECT_EQ(record.errors, 1u);

    ASSERT_EQ(scanner->QVAPI_release_instance(&instance), 0);
    EXPECT_EQ(scanner->uninitialize(), 0);
}

TEST_F(StandinEngineTest, VersionsAndOptionPasses) {
    auto scanner = start();
    ASSERT_EQ(scanner->initialize(), 0);
    EngineVersions versions;
    ASSERT_EQ(versions.query(scanner.get()), 0);
    const EngineInfos infos = versions.engineInfos();
    EXPECT_FALSE(infos.ave_ver.empty());
    EXPECT_FALSE(infos.vdf_ver.empty());
    EXPECT_FALSE(versions.signatureCount().empty());
    const std::wstring text = versions.infoText();
    EXPECT_EQ(std::count(text.begin(), text.end(), L'\n'), 4);

    // Every option the engine does not support answers 19, which is no error.
    options_.setOptionNumeric(L"onaccess", 1);
    EXPECT_EQ(options_.applyEngineOptions(scanner.get(), true, nullptr, false), 0);
    QVAPI_INSTANCE instance = nullptr;
    const QVAPI_INSTANCE_INIT init{};
    ASSERT_EQ(scanner->QVAPI_create_instance(&init, &instance), 0);
    EXPECT_EQ(options_.applyEngineOptions(scanner.get(), false, instance, false), 0);
    EXPECT_EQ(options_.applyEngineOptions(scanner.get(), false, instance, true), 0);
    scanner->QVAPI_release_instance(&instance);
}

TEST_F(StandinEngineTest, OnAccessInstancesPerThreadThroughTheSeam) {
    options_.setOptionNumeric(L"onaccess", 1);
    options_.setOptionNumeric(L"oascanthreads", 3);
    auto scanner = start(EngineCallbacks{nullptr, onCreated, onDestroyed});
    ASSERT_EQ(scanner->initialize(), 0);
    EXPECT_TRUE(scanner->oaInitialized());
    {
        std::lock_guard<std::mutex> guard(seenLock);
        EXPECT_EQ(oaCreated.size(), 3u);
    }
    EXPECT_EQ(scanner->uninitialize(), 0);
}
