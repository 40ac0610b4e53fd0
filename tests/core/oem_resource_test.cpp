#include "kitbase/core/oem_resource.h"

#include <gtest/gtest.h>
#include <link.h>

#include <filesystem>
#include <latch>
#include <regex>
#include <thread>
#include <type_traits>
#include <vector>

#include "kitbase/core/folders.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "support/test_root.h"

namespace {

// The test programs run from the stage folder, which is their program folder and
// holds the staged branding library.
std::string stagedBrandpack() {
    return kitbase::executableFolder() + "/brandpack.dll";
}

// Number of objects (program and libraries) mapped into the process.
size_t loadedObjects() {
    size_t n = 0;
    dl_iterate_phdr(
        [](struct dl_phdr_info*, size_t, void* count) {
            ++*static_cast<size_t*>(count);
            return 0;
        },
        &n);
    return n;
}

size_t count(const std::wstring& text, const std::wstring& part) {
    size_t n = 0;
    for (size_t pos = text.find(part); pos != std::wstring::npos; pos = text.find(part, pos + part.size()))
        ++n;
    return n;
}

}  // namespace

static_assert(!std::is_copy_constructible_v<_OEMResource>);
static_assert(!std::is_copy_assignable_v<_OEMResource>);

TEST(OEMResource, BrandingLibraryHasEveryTextTheSystemAsksFor) {
    const unsigned ids[] = {1028, 1053, 1029, 1030, 1031, 1013, 50001, 1002, 1045, 1046,  1047,  1048, 1049,
                            1050, 1062, 1024, 1025, 1026, 1027, 1064,  1065, 9099, 32815, 32817, 1058, 1060};
    for (unsigned id : ids)
        EXPECT_FALSE(getString(id).empty()) << id;

    EXPECT_EQ(getString(1028), L"Scanwarden");
    // The service name names files, keys and sockets: one plain word.
    EXPECT_TRUE(std::regex_match(kitbase::wideToUtf8(getString(1029)), std::regex("[a-z][a-z0-9]*")));
    // The notification templates are formats of exactly four texts.
    for (unsigned id : {1045u, 1046u}) {
        std::wstring format = getString(id);
        EXPECT_EQ(count(format, L"%ls"), 4u) << id;
        EXPECT_EQ(count(format, L"%"), 4u) << id;
    }
    // Server addresses are addresses.
    for (unsigned id : {1058u, 1060u})
        EXPECT_EQ(getString(id).rfind(L"https://", 0), 0u) << id;
}

TEST(OEMResource, UnknownIdGivesAnEmptyText) {
    EXPECT_EQ(getString(4242), L"");
    EXPECT_EQ(getString(0), L"");
    // The library stays usable.
    EXPECT_EQ(getString(1028), L"Scanwarden");
}

TEST(OEMResource, HolderLoadsOnceAndKeepsTheLibrary) {
    _OEMResource holder;
    EXPECT_EQ(holder.className(), L"OEMResource");
    HINSTANCE first = holder.getModule();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(holder.getModule(), first);
    // A loaded library answers every later load request.
    EXPECT_EQ(holder.LoadResourceDLL(L"/nowhere/other.dll"), first);
    EXPECT_EQ(getString(1031, first), getString(1031));
}

TEST(OEMResource, MissingLibraryGivesEmptyTextsAndIsRetried) {
    std::string folder = testsupport::makeTempDir("program");
    setWorkingPath(kitbase::utf8ToWide(folder));
    EXPECT_EQ(getString(1028), L"");
    EXPECT_EQ(getString(1029), L"");

    // Once the library is there, the next request loads it.
    std::filesystem::copy_file(stagedBrandpack(), folder + "/brandpack.dll");
    EXPECT_EQ(getString(1028), L"Scanwarden");
    EXPECT_EQ(getString(1029), L"scanwarden");
}

TEST(OEMResource, ConcurrentFirstRequestsLoadOneLibrary) {
    constexpr int kThreads = 16;
    std::latch start(kThreads);
    std::vector<std::wstring> names(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            names[i] = getString(i % 2 ? 1028 : 1029);
        });
    }
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(names[i], i % 2 ? L"Scanwarden" : L"scanwarden") << i;
}

TEST(OEMResource, LibraryFailingTheSignatureCheckIsNotLoaded) {
    std::string folder = testsupport::makeTempDir("tampered");
    std::string path = folder + "/brandpack.dll";
    std::string bytes = testsupport::readFile(stagedBrandpack());
    size_t at = bytes.find("Scanwarden Real-Time Protection");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 's';
    testsupport::writeFile(path, bytes);

    std::string log = testsupport::testRoot() + "/oem.log";
    inittrace(kitbase::utf8ToWide(log), TRACE_DEBUG, false, false);
    size_t before = loadedObjects();
    _OEMResource holder;
    EXPECT_EQ(holder.LoadResourceDLL(kitbase::utf8ToWide(path)), nullptr);
    EXPECT_EQ(loadedObjects(), before);
    closetrace();
    EXPECT_NE(
        testsupport::readFile(log).find("Invalid or corrupted DLL found. It will not be loaded: " + path),
        std::string::npos);
    // Not kept as a failure either: the genuine library loads afterwards.
    EXPECT_NE(holder.LoadResourceDLL(kitbase::utf8ToWide(stagedBrandpack())), nullptr);
}
