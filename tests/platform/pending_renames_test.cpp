#include "kitbase/platform/pending_renames.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"
#include "support/test_root.h"

namespace fs = std::filesystem;

namespace {

using testsupport::readFile;
using testsupport::writeFile;

std::wstring W(const std::string& s) {
    return kitbase::utf8ToWide(s);
}

TEST(PendingRenamesTest, RenamesWaitForTheNextStartInOrder) {
    const std::string dir = testsupport::makeTempDir("renames");
    writeFile(dir + "/a", "A");
    writeFile(dir + "/b", "B");
    writeFile(dir + "/target", "old");
    const std::string odd = dir + "/name with\nline feed ü";
    writeFile(odd, "odd");

    ASSERT_EQ(0u, kitbase::addPendingRename(W(dir + "/a"), W(dir + "/target")));
    ASSERT_EQ(0u, kitbase::addPendingRename(W(dir + "/b"), W(dir + "/a")));  // takes a's place after a moved
    ASSERT_EQ(0u, kitbase::addPendingRename(W(odd), W(odd + ".detected")));
    EXPECT_EQ("A", readFile(dir + "/a"));  // nothing moved yet

    const std::vector<kitbase::PendingRename> list = kitbase::readPendingRenames();
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(W(dir + "/a"), list[0].first);
    EXPECT_EQ(W(dir + "/target"), list[0].second);
    EXPECT_EQ(W(odd), list[2].first);

    std::vector<kitbase::PendingRenameFailure> failures;
    EXPECT_EQ(3u, kitbase::applyPendingRenames(&failures));
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ("A", readFile(dir + "/target"));
    EXPECT_EQ("B", readFile(dir + "/a"));
    EXPECT_FALSE(fs::exists(dir + "/b"));
    EXPECT_EQ("odd", readFile(odd + ".detected"));

    // Applied once: the list is gone.
    EXPECT_TRUE(kitbase::readPendingRenames().empty());
    EXPECT_FALSE(fs::exists(kitbase::pendingRenamesPath()));
    EXPECT_EQ(0u, kitbase::applyPendingRenames());
}

TEST(PendingRenamesTest, BadRequestsAreRefusedAndFailedRenamesReported) {
    const std::string dir = testsupport::makeTempDir("renames");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, kitbase::addPendingRename(W(dir + "/none"), W(dir + "/x")));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, kitbase::addPendingRename(L"", W(dir + "/x")));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, kitbase::addPendingRename(W(dir), L""));
    EXPECT_TRUE(kitbase::readPendingRenames().empty());

    writeFile(dir + "/vanishes", "v");
    writeFile(dir + "/stays", "s");
    ASSERT_EQ(0u, kitbase::addPendingRename(W(dir + "/vanishes"), W(dir + "/v2")));
    ASSERT_EQ(0u, kitbase::addPendingRename(W(dir + "/stays"), W(dir + "/no/such/folder/s")));
    ASSERT_EQ(0u, kitbase::addPendingRename(W(dir + "/stays"), W(dir + "/s2")));
    fs::remove(dir + "/vanishes");

    std::vector<kitbase::PendingRenameFailure> failures;
    EXPECT_EQ(1u, kitbase::applyPendingRenames(&failures));
    ASSERT_EQ(2u, failures.size());
    EXPECT_EQ(W(dir + "/vanishes"), failures[0].rename.first);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, failures[0].error);
    EXPECT_EQ("s", readFile(dir + "/s2"));
    EXPECT_TRUE(kitbase::readPendingRenames().empty());
}

TEST(PendingRenamesTest, AnUnfinishedListEntryIsIgnored) {
    const std::string dir = testsupport::makeTempDir("renames");
    writeFile(dir + "/a", "A");
    ASSERT_EQ(0u, kitbase::addPendingRename(W(dir + "/a"), W(dir + "/b")));
    // A list cut inside its second pair.
    std::string content = readFile(kitbase::pendingRenamesPath());
    writeFile(kitbase::pendingRenamesPath(), content + dir + "/a");
    EXPECT_EQ(1u, kitbase::readPendingRenames().size());
}

TEST(PendingRenamesTest, AMoveToAnotherFileSystemCopiesTheFile) {
    const std::string dir = testsupport::makeTempDir("renames");
    struct stat here {
    }, shm{};
    if (stat(dir.c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
        GTEST_SKIP() << "no second file system at hand";
    const std::string target = "/dev/shm/kitbase-rename-" + std::to_string(getpid());
    writeFile(dir + "/a", std::string(100000, 'x'));
    chmod((dir + "/a").c_str(), 0640);
    ASSERT_EQ(0u, kitbase::addPendingRename(W(dir + "/a"), W(target)));
    EXPECT_EQ(1u, kitbase::applyPendingRenames());
    EXPECT_EQ(std::string(100000, 'x'), readFile(target));
    EXPECT_FALSE(fs::exists(dir + "/a"));
    struct stat moved {};
    ASSERT_EQ(0, stat(target.c_str(), &moved));
    EXPECT_EQ(0640u, moved.st_mode & 0777);
    fs::remove(target);
}

TEST(PendingRenamesTest, ConcurrentRecordsAreAllKept) {
    const std::string dir = testsupport::makeTempDir("renames");
    writeFile(dir + "/f", "f");
    constexpr int kThreads = 4;
    constexpr int kEach = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&dir, t] {
            for (int i = 0; i < kEach; ++i)
                kitbase::addPendingRename(W(dir + "/f"),
                                          W(dir + "/" + std::to_string(t) + "-" + std::to_string(i)));
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), kitbase::readPendingRenames().size());
}

}  // namespace
