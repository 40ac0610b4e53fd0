// Folder synchronisation of the engine files and the removal of malware-name files.
#include "scanwarden/engine_files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "support/test_root.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

struct Folders {
    std::string source = testsupport::makeTempDir("latest");
    std::string destination = testsupport::makeTempDir("engine");
    std::wstring src() const { return S2WS(source); }
    std::wstring dst() const { return S2WS(destination); }
};

size_t entries(const std::string& folder) {
    size_t n = 0;
    for (auto it = fs::directory_iterator(folder); it != fs::directory_iterator(); ++it)
        ++n;
    return n;
}

}  // namespace

TEST(EngineFiles, SynchronisationCopiesEveryFileOverTheOldOnes) {
    Folders f;
    writeFile(f.source + "/engine.bin", "new engine");
    writeFile(f.source + "/default.sig", "new signatures");
    fs::create_directory(f.source + "/sub");
    writeFile(f.destination + "/engine.bin", "old engine, longer than the new one");
    writeFile(f.destination + "/local.cfg", "kept");
    fs::permissions(f.source + "/engine.bin", fs::perms(0750));

    EXPECT_EQ(synchronizeFolders(f.src(), f.dst()), 0u);
    EXPECT_EQ(readFile(f.destination + "/engine.bin"), "new engine");
    EXPECT_EQ(readFile(f.destination + "/default.sig"), "new signatures");
    EXPECT_EQ(readFile(f.destination + "/local.cfg"), "kept");
    EXPECT_FALSE(fs::exists(f.destination + "/sub"));
    EXPECT_EQ(fs::status(f.destination + "/engine.bin").permissions(), fs::perms(0750));
    // Nothing but the three files: no temporary copies are left.
    EXPECT_EQ(entries(f.destination), 3u);
}

TEST(EngineFiles, EmptyOrMissingSourceLeavesTheDestinationAlone) {
    Folders f;
    writeFile(f.destination + "/engine.bin", "old");
    EXPECT_EQ(synchronizeFolders(f.src(), f.dst()), 1u);
    EXPECT_EQ(synchronizeFolders(f.src() + L"/missing", f.dst()), 1u);
    EXPECT_EQ(readFile(f.destination + "/engine.bin"), "old");
    EXPECT_EQ(entries(f.destination), 1u);
}

TEST(EngineFiles, MissingDestinationFolderIsCreated) {
    Folders f;
    writeFile(f.source + "/engine.bin", "e");
    const std::string gone = f.destination + "/engine";
    EXPECT_EQ(synchronizeFolders(f.src(), S2WS(gone)), 0u);
    EXPECT_EQ(readFile(gone + "/engine.bin"), "e");
}

TEST(EngineFiles, MissingSourceFileAbortsAndKeepsWhatWasCopied) {
    Folders f;
    writeFile(f.source + "/a.bin", "a");
    writeFile(f.source + "/c.bin", "c");
    EXPECT_EQ(copyFiles(f.src(), f.dst(), {L"a.bin", L"b.bin", L"c.bin"}), 4105u);
    EXPECT_EQ(readFile(f.destination + "/a.bin"), "a");
    EXPECT_FALSE(fs::exists(f.destination + "/c.bin"));
}

// A target that cannot be replaced is moved aside to ".tmp" and the copy made again.
TEST(EngineFiles, TargetInTheWayIsMovedAsideAndCopiedAgain) {
    Folders f;
    writeFile(f.source + "/engine.bin", "new");
    fs::create_directory(f.destination + "/engine.bin");  // cannot be renamed over
    writeFile(f.destination + "/engine.bin.tmp", "older leftover");

    EXPECT_EQ(copyFiles(f.src(), f.dst(), {L"engine.bin"}), 0u);
    EXPECT_EQ(readFile(f.destination + "/engine.bin"), "new");
    EXPECT_TRUE(fs::is_directory(f.destination + "/engine.bin.tmp"));
}

// When the second copy fails too, the target gets its name back: the engine folder
// never loses a file.
TEST(EngineFiles, SecondFailureRestoresTheTarget) {
    Folders f;
    fs::create_directory(f.source + "/engine.bin");  // cannot be read as a file
    writeFile(f.source + "/later.bin", "later");
    writeFile(f.destination + "/engine.bin", "current engine");

    EXPECT_EQ(copyFiles(f.src(), f.dst(), {L"engine.bin", L"later.bin"}), 4105u);
    EXPECT_EQ(readFile(f.destination + "/engine.bin"), "current engine");
    EXPECT_FALSE(fs::exists(f.destination + "/engine.bin.tmp"));
    EXPECT_FALSE(fs::exists(f.destination + "/later.bin"));
    EXPECT_EQ(entries(f.destination), 1u);
}

TEST(EngineFiles, MalwareNameFilesAreRemovedFromTheTemporaryFolder) {
    const std::string tmp = WS2S(getTmp());
    writeFile(tmp + "/AV-malware-names-1.txt", "x");
    writeFile(tmp + "/AV-malware-names-2", "y");
    writeFile(tmp + "/other.txt", "z");
    cleanMalwareNameFiles();
    EXPECT_FALSE(fs::exists(tmp + "/AV-malware-names-1.txt"));
    EXPECT_FALSE(fs::exists(tmp + "/AV-malware-names-2"));
    EXPECT_TRUE(fs::exists(tmp + "/other.txt"));
}
