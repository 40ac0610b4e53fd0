// The engine binding: signature check, loading and the entry table.
#include "scanwarden/qvapi_api.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fake_engine_fixture.h"
#include "kitbase/core/strings.h"
#include "kitbase/platform/signature_container.h"
#include "support/test_root.h"

using enginetest::fakeControl;
using enginetest::LogCapture;
using enginetest::stageFakeEngine;

namespace {

// Every entry of the table, in lookup order, with whether it is bound.
std::vector<bool> boundEntries(const QVAPI_API& api) {
    return {api.QVAPI_initialize != nullptr,
            api.QVAPI_uninitialize != nullptr,
            api.QVAPI_APC_initialize != nullptr,
            api.QVAPI_APC_uninitialize != nullptr,
            api.QVAPI_set_log_callback != nullptr,
            api.QVAPI_create_instance != nullptr,
            api.QVAPI_release_instance != nullptr,
            api.QVAPI_set_user_data != nullptr,
            api.QVAPI_get_user_data != nullptr,
            api.QVAPI_register_callback != nullptr,
            api.QVAPI_unregister_callback != nullptr,
            api.QVAPI_engine_modules_get != nullptr,
            api.QVAPI_reload_engine_ex != nullptr,
            api.QVAPI_get != nullptr,
            api.QVAPI_set != nullptr,
            api.QVAPI_global_set != nullptr,
            api.QVAPI_scan != nullptr,
            api.QVAPI_simple_scan != nullptr,
            api.QVAPI_get_version != nullptr,
            api.QVAPI_APC_get_version != nullptr,
            api.QVAPI_set_fops != nullptr,
            api.QVAPI_free != nullptr,
            api.QVAPI_is_running_ex != nullptr,
            api.QVAPI_OA_initialize != nullptr,
            api.QVAPI_OA_uninitialize != nullptr,
            api.QVAPI_OA_create_instances != nullptr,
            api.QVAPI_OA_start_scan != nullptr,
            api.QVAPI_OA_stop_scan != nullptr,
            api.QVAPI_extract_malware_names != nullptr};
}

constexpr size_t kScanEntry = 16;
constexpr size_t kApcVersionEntry = 19;

}  // namespace

TEST(QvapiApi, CompleteLibraryLoadsWithEveryEntryBound) {
    QVAPI_API api;
    api.setLibraryFolder(stageFakeEngine("complete"));
    ASSERT_EQ(api.load(), 0);
    EXPECT_TRUE(api.isLoaded());
    const std::vector<bool> bound = boundEntries(api);
    ASSERT_EQ(bound.size(), 29u);
    for (size_t i = 0; i < bound.size(); ++i)
        EXPECT_TRUE(bound[i]) << "entry " << i;
}

TEST(QvapiApi, LibraryWithoutTheOptionalEntriesLoads) {
    QVAPI_API api;
    api.setLibraryFolder(stageFakeEngine("no_optional"));
    ASSERT_EQ(api.load(), 0);
    const std::vector<bool> bound = boundEntries(api);
    for (size_t i = 0; i < bound.size(); ++i)
        EXPECT_EQ(bound[i], i != kScanEntry && i != kApcVersionEntry) << "entry " << i;
}

TEST(QvapiApi, MissingRequiredEntryFailsWithEverythingCleared) {
    LogCapture log;
    QVAPI_API api;
    const std::wstring folder = stageFakeEngine("missing_required");
    api.setLibraryFolder(folder);
    // The last lookup (QVAPI_extract_malware_names) succeeds; the result is still an error.
    EXPECT_EQ(api.load(), 127);
    EXPECT_FALSE(api.isLoaded());
    EXPECT_EQ(api.libraryHandle(), nullptr);
    for (bool b : boundEntries(api))
        EXPECT_FALSE(b);
    EXPECT_TRUE(log.contains("Cannot load one or more symbols from the engine library from folder: '" +
                             WS2S(folder) + "'. Code: 127"));
}

TEST(QvapiApi, SecondLoadKeepsTheLoadedLibrary) {
    QVAPI_API api;
    api.setLibraryFolder(stageFakeEngine("complete"));
    ASSERT_EQ(api.load(), 0);
    const HMODULE first = api.libraryHandle();
    FakeEngineControl* control = fakeControl(api);
    ASSERT_NE(control, nullptr);
    control->calls.push_back("marker");
    ASSERT_EQ(api.load(), 0);
    EXPECT_EQ(api.libraryHandle(), first);
    EXPECT_EQ(fakeControl(api), control);
    EXPECT_EQ(control->calls.back(), "marker");
}

// The loader refuses a library that is not signed by the engine vendor, or whose bytes
// changed after signing; nothing is loaded.
TEST(QvapiApi, UnsignedOrModifiedLibraryIsRefused) {
    struct Case {
        const char* name;
        void (*damage)(const std::string& path);
    } cases[] = {
        {"signature removed",
         [](const std::string& path) {
             const kitbase::SignatureInfo info = kitbase::verifySignatureOfFile(path);
             ASSERT_EQ(info.failure, kitbase::SignatureFailure::None);
             std::filesystem::resize_file(path, info.coveredSize);
         }},
        {"byte changed",
         [](const std::string& path) {
             std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(200);
             char c = 0;
             f.read(&c, 1);
             f.seekp(200);
             c = static_cast<char>(c ^ 0x5a);
             f.write(&c, 1);
         }},
        {"file missing", [](const std::string& path) { std::filesystem::remove(path); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        const std::wstring folder = stageFakeEngine("complete");
        const std::string path = WS2S(folder) + "/qvapi.dll";
        c.damage(path);
        QVAPI_API api;
        api.setLibraryFolder(folder);
        EXPECT_EQ(api.load(), 4129);
        EXPECT_FALSE(api.isLoaded());
        EXPECT_EQ(api.QVAPI_initialize, nullptr);
        EXPECT_TRUE(log.contains(path +
                                 " has been modified and is no longer signed by Quorvane. The program will "
                                 "not be executed."));
    }
}

TEST(QvapiApi, SignedFileThatIsNoLibraryIsNotLoadable) {
    LogCapture log;
    const std::string folder = testsupport::makeTempDir("scanner");
    const std::string path = folder + "/qvapi.dll";
    testsupport::writeFile(path, "this is not a shared object\n");
    kitbase::SigningOptions signer;
    signer.keyFile = std::string(KITBASE_TEST_PKI_DIR) + "/quorvane-operations-gmbh-co-kg.key";
    signer.certificateFile = std::string(KITBASE_TEST_PKI_DIR) + "/quorvane-operations-gmbh-co-kg.pem";
    std::string error;
    ASSERT_TRUE(kitbase::signFile(path, signer, error)) << error;

    QVAPI_API api;
    api.setLibraryFolder(S2WS(folder));
    EXPECT_EQ(api.load(), 1);
    EXPECT_FALSE(api.isLoaded());
    EXPECT_TRUE(log.contains("Cannot load engine library : '" + path + "'. Code: "));
}
