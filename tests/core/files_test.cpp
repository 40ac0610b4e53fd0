#include "kitbase/core/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kitbase/core/folders.h"
#include "kitbase/core/md5.h"
#include "kitbase/core/strings.h"
#include "kitbase/platform/winerror.h"
#include "support/test_root.h"

namespace {

namespace fs = std::filesystem;
using testsupport::makeTempDir;
using testsupport::readFile;
using testsupport::writeFile;

std::vector<std::wstring> sorted(std::vector<std::wstring> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// A folder with files, a subfolder, a FIFO and symbolic links whose names all
// match "*.dat" or "*.*".
class Listing : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = makeTempDir("list");
        for (const char* name : {"a.dat", "B.DAT", "c.dat.bak", "Product.log", "Product.log0",
                                 "Product.log10", "README", "AV-malware-names-1"})
            writeFile(dir_ + "/" + name, name);
        fs::create_directory(dir_ + "/sub.dat");
        ASSERT_EQ(mkfifo((dir_ + "/pipe.dat").c_str(), 0666), 0);
        fs::create_symlink(dir_ + "/a.dat", dir_ + "/link.dat");
        fs::create_directory_symlink(dir_ + "/sub.dat", dir_ + "/dirlink.dat");
        fs::create_symlink(dir_ + "/gone", dir_ + "/dangling.dat");
    }
    std::wstring wdir() const { return S2WS(dir_); }
    std::string dir_;
};

TEST_F(Listing, PatternsListRegularFilesOnly) {
    struct Case {
        const wchar_t* pattern;
        std::vector<std::wstring> names;
    };
    const Case cases[] = {
        {L"*.dat", {L"B.DAT", L"a.dat"}},
        {L"*.*",
         {L"AV-malware-names-1", L"B.DAT", L"Product.log", L"Product.log0", L"Product.log10", L"README",
          L"a.dat", L"c.dat.bak"}},
        {L"Product.log?", {L"Product.log", L"Product.log0"}},
        {L"*.log?", {L"Product.log", L"Product.log0"}},
        {L"AV-malware-names-*", {L"AV-malware-names-1"}},
        {L"readme", {L"README"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WS2S(c.pattern));
        std::vector<std::wstring> out;
        EXPECT_EQ(listFiles(wdir(), c.pattern, out, false), static_cast<int>(c.names.size()));
        EXPECT_EQ(sorted(out), c.names);
    }
}

TEST_F(Listing, FullPathsJoinFolderAndName) {
    std::vector<std::wstring> out;
    EXPECT_EQ(listFiles(wdir(), L"a.*", out, true), 1);
    EXPECT_EQ(out, std::vector<std::wstring>{S2WS(dir_ + "/a.dat")});
    EXPECT_EQ(listFiles(wdir() + L"/", L"a.*", out, true), 1);
    EXPECT_EQ(out, std::vector<std::wstring>{S2WS(dir_ + "/a.dat")});
}

TEST_F(Listing, NothingMatchingLeavesTheCallersVector) {
    std::vector<std::wstring> out = {L"kept"};
    EXPECT_EQ(listFiles(wdir(), L"*.none", out, false), 0);
    EXPECT_EQ(out, std::vector<std::wstring>{L"kept"});
    EXPECT_EQ(listFiles(wdir() + L"/missing", L"*", out, false), 0);
    EXPECT_EQ(out, std::vector<std::wstring>{L"kept"});
    // With a match the content is replaced.
    EXPECT_EQ(listFiles(wdir(), L"README", out, false), 1);
    EXPECT_EQ(out, std::vector<std::wstring>{L"README"});
}

TEST_F(Listing, UnreadableFilesAreLeftOut) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    chmod((dir_ + "/a.dat").c_str(), 0);
    std::vector<std::wstring> out;
    EXPECT_EQ(listFiles(wdir(), L"*.dat", out, false), 1);
    EXPECT_EQ(out, std::vector<std::wstring>{L"B.DAT"});
}

TEST_F(Listing, RemoveFilesDeletesMatchesButNotFoldersOrLinkTargets) {
    // Matches: a.dat, B.DAT, pipe.dat, link.dat, dirlink.dat, dangling.dat (deleted)
    // and sub.dat (a folder: fails, not counted).
    EXPECT_EQ(removeFiles(wdir(), L"*.dat"), 6);
    EXPECT_TRUE(fs::is_directory(dir_ + "/sub.dat"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ + "/link.dat")));
    EXPECT_TRUE(fs::exists(dir_ + "/c.dat.bak"));
    EXPECT_FALSE(fs::exists(dir_ + "/a.dat"));
    EXPECT_EQ(removeFiles(wdir(), L"*.dat"), 0);
    EXPECT_EQ(removeFiles(wdir() + L"/missing", L"*"), 0);
}

TEST_F(Listing, FileTests) {
    struct Case {
        const char* name;
        bool exists, directory, regular;
    };
    const Case cases[] = {
        {"a.dat", true, false, true},     {"sub.dat", true, true, false},
        {"link.dat", true, false, false}, {"dirlink.dat", true, true, false},
        {"pipe.dat", true, false, false}, {"dangling.dat", false, false, false},
        {"missing", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring path = S2WS(dir_ + "/" + c.name);
        EXPECT_EQ(fileExists(path), c.exists);
        EXPECT_EQ(isDirectory(path), c.directory);
        EXPECT_EQ(isRegularFile(path), c.regular);
    }
    struct stat st;
    ASSERT_EQ(stat((dir_ + "/a.dat").c_str(), &st), 0);
    EXPECT_TRUE(isRegularFile(st));
    EXPECT_FALSE(isDirectory(st));
    EXPECT_FALSE(isHardLink(st));
}

TEST(FileDates, SizesAndTimes) {
    std::string dir = makeTempDir("dates");
    std::string path = dir + "/f.bin";
    writeFile(path, std::string(1234, 'z'));
    const struct timespec times[2] = {{1600000000, 0}, {1700000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    std::wstring w = S2WS(path);
    EXPECT_EQ(tgetFileSize(w), 1234u);
    EXPECT_EQ(tgetFileMDate(w), 1700000000);
    EXPECT_EQ(getChangedTime(w), 1700000000);
    int64_t created = tgetFileCDate(w);
    EXPECT_GT(created, 0);
    EXPECT_LE(created, static_cast<int64_t>(time(nullptr)));

    std::wstring missing = S2WS(dir + "/missing");
    EXPECT_EQ(tgetFileSize(missing), 0xFFFFFFFFu);
    EXPECT_EQ(tgetFileCDate(missing), -1);
    EXPECT_EQ(tgetFileMDate(missing), -1);
    EXPECT_EQ(getChangedTime(missing), -1);
}

TEST(FileDates, SizeOfAFileOverFourGigabytesIsItsLow32Bits) {
    std::string path = makeTempDir("big") + "/sparse.bin";
    writeFile(path, "");
    std::error_code ec;
    fs::resize_file(path, 5ull << 30, ec);  // sparse: no real disk use
    if (ec)
        GTEST_SKIP() << "file system refuses a 5 GB sparse file";
    EXPECT_EQ(tgetFileSize(S2WS(path)), static_cast<uint32_t>((5ull << 30) & 0xFFFFFFFFu));
}

class Copy : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = makeTempDir("copy");
        content_.resize(300000);
        for (size_t i = 0; i < content_.size(); ++i)
            content_[i] = static_cast<char>(i * 7);
        writeFile(dir_ + "/src.bin", content_);
    }
    std::wstring path(const char* name) const { return S2WS(dir_ + "/" + name); }
    std::string dir_;
    std::string content_;
};

TEST_F(Copy, CopiesEveryByteAndReplacesTheTarget) {
    writeFile(dir_ + "/dst.bin", std::string(500000, 'o'));
    EXPECT_EQ(copyfile(path("src.bin"), path("dst.bin")), 0u);
    EXPECT_EQ(readFile(dir_ + "/dst.bin"), content_);
}

TEST_F(Copy, OpenFailuresGiveOne) {
    EXPECT_EQ(copyfile(path("missing"), path("dst.bin")), 1u);
    EXPECT_FALSE(fs::exists(dir_ + "/dst.bin"));
    EXPECT_EQ(copyfile(path("src.bin"), path("nofolder/dst.bin")), 1u);
}

TEST_F(Copy, OntoItselfIsRefusedAndKeepsTheFile) {
    EXPECT_EQ(copyfile(path("src.bin"), path("src.bin")), 2u);
    fs::create_hard_link(dir_ + "/src.bin", dir_ + "/hard.bin");
    EXPECT_EQ(copyfile(path("src.bin"), path("hard.bin")), 2u);
    EXPECT_EQ(readFile(dir_ + "/src.bin"), content_);
}

TEST_F(Copy, FailingWritesAreReportedAndThePartialTargetRemoved) {
    // Writes past the file-size limit fail (EFBIG) once 64 KiB are written.
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit limited = saved;
    limited.rlim_cur = 65536;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    unsigned int result = copyfile(path("src.bin"), path("dst.bin"));
    DWORD error = GetLastError();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(result, 2u);
    EXPECT_NE(error, ERROR_SUCCESS);
    EXPECT_FALSE(fs::exists(dir_ + "/dst.bin"));
}

TEST_F(Copy, FailingWritesToADeviceLeaveTheDevice) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(copyfile(path("src.bin"), L"/dev/full"), 2u);
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST_F(Copy, ReadOnlyTargetFolder) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes everywhere";
    fs::create_directory(dir_ + "/ro");
    chmod((dir_ + "/ro").c_str(), 0555);
    EXPECT_EQ(copyfile(path("src.bin"), path("ro/dst.bin")), 1u);
}

TEST(FileContent, WholeFilesAsStored) {
    std::string dir = makeTempDir("content");
    const std::string bytes = std::string("a=1\r\nb=\xC3\xA4\n") + std::string(1, '\0') + "tail";
    writeFile(dir + "/cfg.conf", bytes);
    std::string content = "old", extra = "old";
    EXPECT_EQ(getConfFileContent(S2WS(dir + "/cfg.conf"), content), 0u);
    EXPECT_EQ(content, bytes);
    content = "old";
    EXPECT_EQ(getLogFileContent(S2WS(dir + "/cfg.conf"), content, extra), 0u);
    EXPECT_EQ(content, bytes);
    EXPECT_NE(getConfFileContent(S2WS(dir + "/missing"), content), 0u);
    EXPECT_NE(getLogFileContent(S2WS(dir + "/missing"), content, extra), 0u);
}

TEST(FileContent, CheckHash) {
    std::string path = makeTempDir("hash") + "/f.txt";
    writeFile(path, "abc");
    const std::wstring md5 = L"900150983cd24fb0d6963f7d28e17f72";
    EXPECT_TRUE(checkHash(S2WS(path), md5));
    EXPECT_FALSE(checkHash(S2WS(path), upper(md5)));
    EXPECT_FALSE(checkHash(S2WS(path + ".missing"), L""));
}

TEST(TempNames, NameIsANumberInTheTemporaryFolder) {
    std::wstring path;
    unsigned int number = GenerateTmpFileName(path);
    EXPECT_EQ(path, createPath(getTmp(), std::to_wstring(number) + L".tmp"));
    // The name is taken: an empty file only its owner can read.
    struct stat st {};
    ASSERT_EQ(lstat(WS2S(path).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(GenerateTmpFileName(), path);
}

TEST(TempNames, UniqueAcrossManyThreads) {
    constexpr int kThreads = 16, kPerThread = 2000;
    std::mutex lock;
    std::set<std::wstring> names;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            std::vector<std::wstring> mine;
            for (int i = 0; i < kPerThread; ++i)
                mine.push_back(GenerateTmpFileName());
            std::lock_guard<std::mutex> guard(lock);
            names.insert(mine.begin(), mine.end());
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(names.size(), static_cast<size_t>(kThreads * kPerThread));
}

TEST(Ownership, UnknownPrivilege) {
    EXPECT_EQ(SetPrivilege(nullptr, L"SeNoSuchPrivilege", TRUE), FALSE);
    EXPECT_EQ(GetLastError(), 1313u);
}

TEST(Ownership, MissingFolderOrLinkFails) {
    std::string dir = makeTempDir("own");
    EXPECT_EQ(TakeOwnership(S2WS(dir + "/missing").c_str()), FALSE);
    fs::create_directory_symlink(dir, dir + "/link");
    EXPECT_EQ(TakeOwnership(S2WS(dir + "/link").c_str()), FALSE);
}

class OwnershipAsRoot : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        dir_ = makeTempDir("own") + "/folder";
        fs::create_directory(dir_);
    }
    struct stat status() const {
        struct stat st = {};
        stat(dir_.c_str(), &st);
        return st;
    }
    std::string dir_;
};

TEST_F(OwnershipAsRoot, RootOwnedFolderOnlyGetsItsMode) {
    ASSERT_EQ(chown(dir_.c_str(), 0, 65534), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    EXPECT_EQ(TakeOwnership(S2WS(dir_).c_str()), TRUE);
    EXPECT_EQ(status().st_mode & 07777, 0755u);
    EXPECT_EQ(status().st_uid, 0u);
    EXPECT_EQ(status().st_gid, 65534u);  // owner untouched
}

TEST_F(OwnershipAsRoot, ForeignOwnerIsReplacedAndPrivilegeKept) {
    ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    EXPECT_EQ(TakeOwnership(S2WS(dir_).c_str()), TRUE);
    EXPECT_EQ(status().st_uid, 0u);
    EXPECT_EQ(status().st_gid, 0u);
    EXPECT_EQ(status().st_mode & 07777, 0755u);
    // The process still may change owners afterwards.
    EXPECT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
}

TEST_F(OwnershipAsRoot, UnprivilegedCallerCannotTakeOwnership) {
    ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    const std::wstring path = S2WS(dir_);
    EXPECT_EXIT(
        {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(3);
            _exit(TakeOwnership(path.c_str()) == FALSE ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(status().st_uid, 65534u);
    EXPECT_EQ(status().st_mode & 07777, 0777u);
}

TEST_F(OwnershipAsRoot, PrivilegeSwitchesOffAndOn) {
    ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
    EXPECT_EQ(SetPrivilege(nullptr, L"SeTakeOwnershipPrivilege", FALSE), TRUE);
    EXPECT_NE(chown(dir_.c_str(), 0, 0), 0);  // CAP_CHOWN is off
    EXPECT_EQ(SetPrivilege(nullptr, L"SeTakeOwnershipPrivilege", TRUE), TRUE);
    EXPECT_EQ(chown(dir_.c_str(), 0, 0), 0);
}

}  // namespace
