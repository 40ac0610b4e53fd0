#include "kitbase/platform/spawner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "kitbase/platform/winerror.h"
#include "probe_record.h"
#include "support/test_root.h"

using kitbase::ChildProcess;

namespace {

const std::string kProbe = SPAWN_PROBE;

class SpawnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        record_ = testsupport::makeTempDir("probe") + "/record.txt";
        setenv("SPAWN_PROBE_OUT", record_.c_str(), 1);
        unsetenv("SPAWN_PROBE_SLEEP_MS");
        unsetenv("SPAWN_PROBE_EXIT");
    }
    std::string record_;
};

struct SplitCase {
    std::string line;
    std::vector<std::string> args;
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, FollowsWindowsRules) {
    EXPECT_EQ(kitbase::splitCommandLine(GetParam().line), GetParam().args);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandLineTest,
    ::testing::Values(SplitCase{"", {}}, SplitCase{"prog a b", {"prog", "a", "b"}},
                      SplitCase{"prog   a\t b  ", {"prog", "a", "b"}},
                      SplitCase{R"("/opt/my app/x.exe" "a b" c)", {"/opt/my app/x.exe", "a b", "c"}},
                      SplitCase{R"(p a\\b)", {"p", R"(a\\b)"}},        // backslashes not before a quote
                      SplitCase{R"(p a\"b)", {"p", R"(a"b)"}},         // odd run: literal quote
                      SplitCase{R"(p a\\\"b)", {"p", R"(a\"b)"}},      // 3 -> one backslash and a quote
                      SplitCase{R"(p "a\\" b)", {"p", R"(a\)", "b"}},  // even run: the quote closes
                      SplitCase{R"(p "a""b")", {"p", R"(a"b)"}},       // "" inside quotes
                      SplitCase{R"(p "" x)", {"p", "", "x"}},          // empty argument
                      SplitCase{R"("p q\"r" s)", {R"(p q"r)", "s"}}    // the program reads escapes too
                      ),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return "Case" + std::to_string(info.index); });

TEST(QuoteCommandLine, EveryPathReadsBackAsTheProgramAndAsAnArgument) {
    const std::string paths[] = {
        "/opt/a\"b/servicehost x",      "/opt/tab\there", "/plain/prog", "", "a\\", "a\\\"b", "\"", "\\\\",
        "/with blank/and\\ trailing\\", "x\"\"y"};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        for (const std::string& quoted :
             {kitbase::quoteCommandLineArgument(path), kitbase::quoteCommandLineArgumentIfNeeded(path)}) {
            EXPECT_EQ(kitbase::splitCommandLine(quoted + " next"), (std::vector<std::string>{path, "next"}));
            EXPECT_EQ(kitbase::splitCommandLine("prog " + quoted), (std::vector<std::string>{"prog", path}));
        }
    }
    EXPECT_EQ(kitbase::quoteCommandLineArgumentIfNeeded("/plain/prog"), "/plain/prog");
}

TEST_F(SpawnerTest, PassesArgumentsFolderAndEnvironment) {
    const std::string folder = testsupport::makeTempDir("work dir");
    ChildProcess child;
    ASSERT_TRUE(child.start("\"" + kProbe + "\" plain \"with blank\" a\\\"q", folder));
    ASSERT_TRUE(child.wait(10000));
    EXPECT_EQ(child.exitCode(), 0u);
    probe::Record r;
    ASSERT_TRUE(probe::waitForRecord(record_, r));
    EXPECT_EQ(r.args, (std::vector<std::string>{kProbe, "plain", "with blank", "a\"q"}));
    EXPECT_EQ(r.cwd, folder);
}

TEST_F(SpawnerTest, KeepsExitCode) {
    setenv("SPAWN_PROBE_EXIT", "7", 1);
    ChildProcess child;
    ASSERT_TRUE(child.start(kProbe));
    EXPECT_EQ(child.exitCode(), kitbase::STILL_ACTIVE);
    ASSERT_TRUE(child.wait(INFINITE));
    EXPECT_EQ(child.exitCode(), 7u);
    EXPECT_FALSE(child.running());
}

TEST_F(SpawnerTest, StartFailuresGiveWindowsCodes) {
    ChildProcess child;
    SetLastError(0);
    EXPECT_FALSE(child.start("no-such-program-here.exe arg"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(child.start(testsupport::testRoot() + "/missing/prog.exe"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(child.start(kProbe, testsupport::testRoot() + "/no-such-folder"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    const std::string notExecutable = testsupport::testRoot() + "/data.txt";
    testsupport::writeFile(notExecutable, "text");
    EXPECT_FALSE(child.start(notExecutable));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(child.running());
}

TEST_F(SpawnerTest, WaitIsBounded) {
    setenv("SPAWN_PROBE_SLEEP_MS", "20000", 1);
    ChildProcess child;
    ASSERT_TRUE(child.start(kProbe));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(child.wait(200));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(child.running());
    EXPECT_EQ(child.exitCode(), kitbase::STILL_ACTIVE);
    kill(child.pid(), SIGKILL);
    ASSERT_TRUE(child.wait(10000));
    EXPECT_EQ(child.exitCode(), 128u + SIGKILL);
}

TEST_F(SpawnerTest, UnwaitedChildIsReapedWithoutTakingOtherExitCodes) {
    pid_t pid = 0;
    {
        ChildProcess quick;
        ASSERT_TRUE(quick.start(kProbe));
        pid = quick.pid();
    }  // given up without a wait
    // Another child, started and waited for after the reaper is running, keeps its code.
    setenv("SPAWN_PROBE_EXIT", "3", 1);
    setenv("SPAWN_PROBE_SLEEP_MS", "300", 1);
    ChildProcess other;
    ASSERT_TRUE(other.start(kProbe));
    // A zombie keeps its /proc entry; a reaped child has none.
    EXPECT_TRUE(
        probe::eventually([pid] { return access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0; }));
    ASSERT_TRUE(other.wait(10000));
    EXPECT_EQ(other.exitCode(), 3u);
}

TEST_F(SpawnerTest, ChildInheritsNoDescriptorAndDefaultSignals) {
    // Descriptors opened the careless way (no close-on-exec), among them a listening socket.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    signal(SIGPIPE, SIG_IGN);

    ChildProcess child;
    ASSERT_TRUE(child.start(kProbe));
    ASSERT_TRUE(child.wait(10000));
    probe::Record r;
    ASSERT_TRUE(probe::waitForRecord(record_, r));
    for (int fd : r.fds)
        EXPECT_LE(fd, 2) << "inherited descriptor " << fd;
    EXPECT_EQ(r.sigpipe, "dfl");
    close(listener);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST_F(SpawnerTest, DetachedProgramRunsInItsOwnSession) {
    setenv("SPAWN_PROBE_SLEEP_MS", "200", 1);
    pid_t pid = 0;
    ASSERT_TRUE(kitbase::spawnDetached("\"" + kProbe + "\" detached", testsupport::testRoot(), &pid));
    EXPECT_GT(pid, 0);
    probe::Record r;
    ASSERT_TRUE(probe::waitForRecord(record_, r));
    EXPECT_EQ(r.args, (std::vector<std::string>{kProbe, "detached"}));
    EXPECT_EQ(r.cwd, testsupport::testRoot());
    EXPECT_NE(r.sid, static_cast<long>(getsid(0)));
    for (int fd : r.fds)
        EXPECT_LE(fd, 2);

    SetLastError(0);
    EXPECT_FALSE(kitbase::spawnDetached("no-such-program-here.exe", ""));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(kitbase::spawnDetached(kProbe, testsupport::testRoot() + "/no-such-folder"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
}

TEST(FindProgramTest, SearchesProgramFolderAndPath) {
    EXPECT_EQ(kitbase::findProgram("/some/where/x.exe"), "/some/where/x.exe");
    EXPECT_EQ(kitbase::findProgram("no-such-program-here.exe"), "");
    const std::string folder = testsupport::makeTempDir("bin");
    testsupport::writeFile(folder + "/tool.exe", "#!/bin/sh\n");
    chmod((folder + "/tool.exe").c_str(), 0755);
    setenv("PATH", (folder + ":/usr/bin:/bin").c_str(), 1);
    EXPECT_EQ(kitbase::findProgram("tool.exe"), folder + "/tool.exe");
}

}  // namespace
