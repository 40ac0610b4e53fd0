#include "kitbase/services/quarantine_ops.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "kitbase/core/folders.h"
#include "kitbase/core/md5.h"
#include "kitbase/core/strings.h"
#include "kitbase/platform/pending_renames.h"
#include "kitbase/services/quarantine_file.h"
#include "support/test_root.h"

namespace fs = std::filesystem;

namespace {

using testsupport::readFile;
using testsupport::writeFile;

// Bytes that differ at every offset, so a misplaced XOR shows.
std::string pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return s;
}

// An entry in `folder` made as the quarantine manager makes one: the record with its
// index, then the scrambled copy. Returns the index path.
std::wstring makeEntry(const std::string& folder, const std::string& source) {
    QuaFile entry(S2WS(folder), S2WS(source), L"", L"", L"Test.Malware", L"test", EngineInfos(), false);
    EXPECT_EQ(0u, entry.writeResult);
    EXPECT_TRUE(SecureCopyFile(S2WS(source), entry.dstfile));
    return entry.dstfile + L".dat";
}

class QuarantineOpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        quarantine = testsupport::makeTempDir("quarantine");
        sources = testsupport::makeTempDir("sources");
        setSmartDeleteRetryDelay(1);
    }
    std::string quarantine;
    std::string sources;
};

TEST_F(QuarantineOpsTest, ScrambledCopyRoundTrips) {
    for (const size_t size : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(65537), size_t(1) << 20}) {
        SCOPED_TRACE(size);
        const std::string original = pattern(size);
        writeFile(sources + "/in", original);
        ASSERT_TRUE(SecureCopyFile(S2WS(sources + "/in"), S2WS(sources + "/scrambled")));
        const std::string scrambled = readFile(sources + "/scrambled");
        ASSERT_EQ(size, scrambled.size());
        bool exact = true;
        for (size_t i = 0; i < size; ++i) {
            const char expected = (i % 2 == 0) ? static_cast<char>(original[i] ^ 0x2B) : original[i];
            exact = exact && scrambled[i] == expected;
        }
        EXPECT_TRUE(exact);
        ASSERT_TRUE(SecureCopyFile(S2WS(sources + "/scrambled"), S2WS(sources + "/back")));
        EXPECT_TRUE(readFile(sources + "/back") == original);
    }
}

TEST_F(QuarantineOpsTest, FailedCopiesReportFailureAndLeaveNoPartialFile) {
    writeFile(sources + "/in", pattern(5000));
    // No source.
    EXPECT_FALSE(SecureCopyFile(S2WS(sources + "/none"), S2WS(sources + "/out")));
    EXPECT_FALSE(fs::exists(sources + "/out"));
    // No folder for the destination.
    EXPECT_FALSE(SecureCopyFile(S2WS(sources + "/in"), S2WS(sources + "/missing/out")));
    // A device that is full.
    EXPECT_FALSE(SecureCopyFile(S2WS(sources + "/in"), L"/dev/full"));
    EXPECT_TRUE(fs::exists("/dev/full"));
    // A source that cannot be read (a folder).
    EXPECT_FALSE(SecureCopyFile(S2WS(sources), S2WS(quarantine + "/out")));
    EXPECT_FALSE(fs::exists(quarantine + "/out"));
    // A FIFO is refused instead of waiting for a writer.
    ASSERT_EQ(0, mkfifo((sources + "/fifo").c_str(), 0600));
    EXPECT_FALSE(SecureCopyFile(S2WS(sources + "/fifo"), S2WS(quarantine + "/out")));
    EXPECT_FALSE(fs::exists(quarantine + "/out"));
    // Onto itself: the source is kept whole.
    EXPECT_FALSE(SecureCopyFile(S2WS(sources + "/in"), S2WS(sources + "/./in")));
    EXPECT_EQ(pattern(5000), readFile(sources + "/in"));
}

TEST_F(QuarantineOpsTest, SmartDelete) {
    writeFile(sources + "/f", "x");
    EXPECT_EQ(0u, SmartDeleteFile(S2WS(sources + "/f")));
    EXPECT_FALSE(fs::exists(sources + "/f"));

    // A missing file ends at once, without waiting between tries.
    setSmartDeleteRetryDelay(500);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1u, SmartDeleteFile(S2WS(sources + "/f")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));

    // Access denied on every try (a folder cannot be deleted as a file): a failure.
    setSmartDeleteRetryDelay(1);
    fs::create_directory(sources + "/dir");
    EXPECT_NE(0u, SmartDeleteFile(S2WS(sources + "/dir")));
    EXPECT_TRUE(fs::is_directory(sources + "/dir"));
}

TEST_F(QuarantineOpsTest, SmartMoveHappensAtTheNextStart) {
    writeFile(sources + "/f", "payload");
    const std::wstring from = S2WS(sources + "/f");
    const std::wstring to = from + L".detected";
    EXPECT_EQ(0u, SmartMoveFile(from, to));
    EXPECT_TRUE(fs::exists(sources + "/f"));  // left where it is until then
    ASSERT_EQ(1u, kitbase::readPendingRenames().size());
    EXPECT_EQ(1u, kitbase::applyPendingRenames());
    EXPECT_EQ("payload", readFile(sources + "/f.detected"));
    EXPECT_FALSE(fs::exists(sources + "/f"));

    EXPECT_EQ(2u, SmartMoveFile(from, to));  // no such file
    EXPECT_TRUE(kitbase::readPendingRenames().empty());
}

TEST_F(QuarantineOpsTest, RestorePutsTheFileBackAndRemovesTheEntry) {
    const std::string source = sources + "/doc.bin";
    const std::string content = pattern(4097);
    writeFile(source, content);
    const std::wstring dat = makeEntry(quarantine, source);
    fs::remove(source);

    EXPECT_EQ(0u, restoreQuaFile(dat));
    EXPECT_TRUE(readFile(source) == content);
    EXPECT_TRUE(fs::is_empty(quarantine));
}

TEST_F(QuarantineOpsTest, AFailedRestoreKeepsTheEntry) {
    const std::string folder = testsupport::makeTempDir("gone");
    const std::string source = folder + "/doc.bin";
    writeFile(source, pattern(100));
    const std::wstring dat = makeEntry(quarantine, source);
    fs::remove_all(folder);  // nowhere to put it back

    EXPECT_EQ(1u, restoreQuaFile(dat));
    QuaFile kept;
    ASSERT_EQ(0u, readQuaFile(dat, kept));
    EXPECT_TRUE(fs::exists(WS2S(kept.dstfile)));

    // Restorable once the folder is back, deletable in any case.
    fs::create_directory(folder);
    EXPECT_EQ(0u, restoreQuaFile(dat));
    EXPECT_EQ(pattern(100), readFile(source));
}

TEST_F(QuarantineOpsTest, DeleteRemovesCopyAndIndex) {
    writeFile(sources + "/a", "aaaa");
    writeFile(sources + "/b", "bbbb");
    const std::wstring first = makeEntry(quarantine, sources + "/a");
    const std::wstring second = makeEntry(quarantine, sources + "/b");

    EXPECT_EQ(0u, deleteQuaFile(first));
    EXPECT_EQ(2u, std::distance(fs::directory_iterator(quarantine), {}));  // the other entry stays

    // A copy already gone still lets the index go.
    QuaFile r(second);
    fs::remove(WS2S(r.dstfile));
    EXPECT_EQ(0u, deleteQuaFile(second));
    EXPECT_TRUE(fs::is_empty(quarantine));

    EXPECT_EQ(1u, deleteQuaFile(second));  // no index
}

// An index whose first line names any other file than the copy beside it.
TEST_F(QuarantineOpsTest, ACraftedIndexIsRefused) {
    // The victim carries the name the crafted index's copy would have.
    writeFile(sources + "/crafted", "precious");
    writeFile(sources + "/other", "other entry");
    const std::wstring otherDat = makeEntry(quarantine, sources + "/other");
    QuaFile other(otherDat);

    const std::string victim = sources + "/crafted";
    const std::wstring names[] = {
        S2WS(victim),  // same name, outside the quarantine
        S2WS(quarantine + "/../" + fs::path(sources).filename().string() +
             "/crafted"),                   // out through the parent
        other.dstfile,                      // another entry's copy
        S2WS(quarantine + "/crafted.dat"),  // the index itself
    };
    for (const std::wstring& name : names) {
        SCOPED_TRACE(WS2S(name));
        QuaFile crafted;
        crafted.dstfile = name;
        crafted.srcfile = S2WS(sources + "/restored");
        crafted.hash = L"0123456789abcdef0123456789abcdef";
        crafted.message = std::wstring(80, L'm');
        writeFile(quarantine + "/crafted.dat", WS2S(crafted.toString(false)));

        EXPECT_EQ(1u, deleteQuaFile(S2WS(quarantine + "/crafted.dat")));
        EXPECT_EQ(1u, restoreQuaFile(S2WS(quarantine + "/crafted.dat")));
        EXPECT_EQ("precious", readFile(victim));
        EXPECT_TRUE(fs::exists(WS2S(other.dstfile)));
        EXPECT_TRUE(fs::exists(quarantine + "/crafted.dat"));
        EXPECT_FALSE(fs::exists(sources + "/restored"));
    }

    // An index that puts the file back over its own copy.
    QuaFile selfRestore(otherDat);
    selfRestore.srcfile = selfRestore.dstfile;
    ASSERT_EQ(0u, selfRestore.write());
    EXPECT_EQ(1u, restoreQuaFile(otherDat));
    EXPECT_TRUE(fs::exists(WS2S(other.dstfile)));
}

TEST_F(QuarantineOpsTest, FakeMalwareGoesIntoTheQuarantineFolder) {
    const std::string folder = WS2S(getQuarantineFolder());
    ASSERT_FALSE(folder.empty());
    fs::create_directories(folder);
    const std::string source = sources + "/fake.exe";
    writeFile(source, "not really malware");
    const std::wstring hash = MD5FileW(S2WS(source));

    EXPECT_EQ(0u, moveToQuaFake(S2WS(source)));
    EXPECT_FALSE(fs::exists(source));
    QuaFile r(S2WS(folder) + L"/" + hash + L".dat");
    EXPECT_EQ(L"Fake Malware", r.malwarename);
    EXPECT_EQ(L"This is a fake malware", r.message);
    EXPECT_EQ(S2WS(source), r.srcfile);
    EXPECT_FALSE(r.onreboot);
    EXPECT_EQ(0u, restoreQuaFile(r.dstfile + L".dat"));
    EXPECT_EQ("not really malware", readFile(source));
}

TEST_F(QuarantineOpsTest, AFailedFakeMoveLeavesNoEntryAndKeepsTheSource) {
    const std::string folder = WS2S(getQuarantineFolder());
    fs::create_directories(folder);
    const std::string source = sources + "/fake.exe";
    writeFile(source, "content");
    const std::string copy = folder + "/" + WS2S(MD5FileW(S2WS(source)));
    fs::create_directory(copy);  // the copy cannot be written

    EXPECT_EQ(1u, moveToQuaFake(S2WS(source)));
    EXPECT_EQ("content", readFile(source));
    EXPECT_FALSE(fs::exists(copy + ".dat"));

    // Without a quarantine folder nothing is written at all.
    fs::remove_all(folder);
    EXPECT_EQ(1u, moveToQuaFake(S2WS(source)));
    EXPECT_EQ("content", readFile(source));
}

}  // namespace
