#include "kitbase/platform/private_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/test_root.h"

using testsupport::makeTempDir;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

unsigned modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

constexpr uid_t kNobody = 65534;

}  // namespace

TEST(PrivateFiles, ModesDoNotDependOnTheUmask) {
    std::string base = makeTempDir("modes");
    mode_t old = umask(0);
    ASSERT_TRUE(kitbase::ensurePrivateFolder(base + "/a/b"));
    EXPECT_EQ(modeOf(base + "/a/b"), 0750u);
    int fd = kitbase::openPrivateAppend(base + "/a/b/log.txt");
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(modeOf(base + "/a/b/log.txt"), 0640u);
    ASSERT_TRUE(kitbase::writeFileAtomically(base + "/a/b/record", "content", kitbase::kSecretFileMode));
    EXPECT_EQ(modeOf(base + "/a/b/record"), 0600u);
    EXPECT_EQ(readFile(base + "/a/b/record"), "content");
    umask(old);
}

TEST(PrivateFiles, LinksPlantedAtFixedNamesAreNeverFollowed) {
    std::string base = makeTempDir("links");
    std::string victim = base + "/victim";
    writeFile(victim, "untouched");
    symlink(victim.c_str(), (base + "/append.log").c_str());
    EXPECT_LT(kitbase::openPrivateAppend(base + "/append.log"), 0);
    symlink(victim.c_str(), (base + "/fresh").c_str());
    int fd = kitbase::createExclusive(base + "/fresh", 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "new", 3), 3);
    close(fd);
    EXPECT_EQ(readFile(base + "/fresh"), "new");
    symlink(victim.c_str(), (base + "/kept").c_str());
    EXPECT_LT(kitbase::createExclusive(base + "/kept", 0600, false), 0);
    symlink(victim.c_str(), (base + "/record").c_str());
    ASSERT_TRUE(kitbase::writeFileAtomically(base + "/record", "record", 0600));
    EXPECT_EQ(readFile(victim), "untouched");
    EXPECT_EQ(readFile(base + "/record"), "record");
}

TEST(PrivateFiles, FoldersOthersMayWriteOrOwnAreRefused) {
    std::string open = makeTempDir("open");
    chmod(open.c_str(), 0777);
    std::string why;
    EXPECT_FALSE(kitbase::ensurePrivateFolder(open, kitbase::kPrivateFolderMode, &why));
    EXPECT_NE(why.find("writable"), std::string::npos) << why;
    if (geteuid() != 0)
        GTEST_SKIP() << "ownership checks need root";
    std::string foreign = makeTempDir("foreign");
    ASSERT_EQ(chown(foreign.c_str(), kNobody, kNobody), 0);
    EXPECT_FALSE(kitbase::ensurePrivateFolder(foreign));
    EXPECT_FALSE(kitbase::isTrustedPlace(foreign + "/anything"));
    std::string mine = makeTempDir("mine");
    EXPECT_TRUE(kitbase::isTrustedPlace(mine));
    chmod(mine.c_str(), 0775);
    EXPECT_FALSE(kitbase::isTrustedPlace(mine));
}

TEST(PrivateFiles, TestOverridesNeedTheTestsDataRoot) {
    setenv("KITBASE_SOME_TEST_SWITCH", "1", 1);
    EXPECT_EQ(kitbase::testOverride("KITBASE_SOME_TEST_SWITCH"), "1");
    std::string root = getenv("KITBASE_ROOT");
    unsetenv("KITBASE_ROOT");
    EXPECT_EQ(kitbase::testOverride("KITBASE_SOME_TEST_SWITCH"), "");
    setenv("KITBASE_ROOT", root.c_str(), 1);
}
