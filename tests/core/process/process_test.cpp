#include "kitbase/core/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <unordered_set>
#include <vector>

#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "kitbase/platform/proclist.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/spawner.h"
#include "kitbase/platform/winerror.h"
#include "probe_record.h"
#include "support/test_root.h"

namespace fs = std::filesystem;

namespace {

const std::string kProbe = SPAWN_PROBE;

// A probe that sleeps for a long time, started as our child. It is killed when the
// object goes, so a test that fails half-way leaves nothing running.
class Sleeper : public kitbase::ChildProcess {
public:
    explicit Sleeper(const std::string& program) {
        setenv("SPAWN_PROBE_SLEEP_MS", "60000", 1);
        EXPECT_TRUE(start("\"" + program + "\""));
        unsetenv("SPAWN_PROBE_SLEEP_MS");
    }
    ~Sleeper() {
        if (running())
            kill(pid(), SIGKILL);
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;
};

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        record_ = testsupport::makeTempDir("probe") + "/record.txt";
        setenv("SPAWN_PROBE_OUT", record_.c_str(), 1);
        unsetenv("SPAWN_PROBE_SLEEP_MS");
        unsetenv("SPAWN_PROBE_EXIT");
        programFolder_ = getWorkingPath();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove(kitbase::systemFolder() + "/taskkill.exe", ec);
        kitbase::setWow64Probe(nullptr);
        setWorkingPath(programFolder_);
        kitbase::setProcessWaitLimit(60000);
    }

    // A copy of the probe under its own name (so it can be found by image name).
    std::string copyProbe(const std::string& folder, const std::string& name) {
        fs::create_directories(folder);
        const std::string path = folder + "/" + name;
        fs::copy_file(kProbe, path, fs::copy_options::overwrite_existing);
        chmod(path.c_str(), 0755);
        return path;
    }

    // Puts the staged taskkill.exe into the test root's system folder.
    void installTaskKill() {
        fs::create_directories(kitbase::systemFolder());
        fs::create_symlink(TASKKILL_PROGRAM, kitbase::systemFolder() + "/taskkill.exe");
    }

    std::string record_;
    std::wstring programFolder_;
};

TEST_F(ProcessTest, ExecuteQuotesProgramPathWithBlankTabOrQuote) {
    for (const char* folder : {"/my programs", "/tab\tfolder", "/a\"b"}) {
        const std::string program = copyProbe(testsupport::testRoot() + folder, "probe.exe");
        for (const std::wstring& path : {S2WS(program), L"\"" + S2WS(program) + L"\""}) {
            if (path.front() == L'"' && std::string(folder).find('"') != std::string::npos)
                continue;  // a hand-quoted path cannot hold a quote
            SCOPED_TRACE(program);
            std::remove(record_.c_str());
            ASSERT_TRUE(execute(path, L"one \"two three\"", false, true));
            probe::Record r;
            ASSERT_TRUE(probe::waitForRecord(record_, r));
            EXPECT_EQ(r.args, (std::vector<std::string>{program, "one", "two three"}));
        }
    }
}

TEST_F(ProcessTest, ExecuteOfMissingProgramFailsWithCode2) {
    SetLastError(0);
    EXPECT_FALSE(execute(L"/no/such/folder/prog.exe", L"", false, false));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ProcessTest, ExecuteWaitIsBoundedAndLeavesProgramRunning) {
    kitbase::setProcessWaitLimit(300);
    setenv("SPAWN_PROBE_SLEEP_MS", "1500", 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(execute(S2WS(kProbe), L"", false, true));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
    // The program goes on and finishes its work.
    probe::Record r;
    EXPECT_TRUE(probe::waitForRecord(record_, r));
}

TEST_F(ProcessTest, ShellExecuteRunsInTheFilesFolderUnquoted) {
    const std::string folder = testsupport::testRoot() + "/a folder";
    const std::string program = copyProbe(folder, "tool.exe");
    ASSERT_TRUE(shellExecute(S2WS(program), L"-reload", false, false));
    probe::Record r;
    ASSERT_TRUE(probe::waitForRecord(record_, r));
    EXPECT_EQ(r.cwd, folder);
    EXPECT_EQ(r.args, (std::vector<std::string>{program, "-reload"}));

    SetLastError(0);
    EXPECT_FALSE(shellExecute(S2WS(folder + "/missing.exe"), L"", false, true));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ProcessTest, ProcessListHoldsTheModulesOfASpawnedSleeper) {
    Sleeper sleeper(kProbe);
    ASSERT_TRUE(probe::eventually([&] {
        kitbase::ProcessHandle h;
        std::vector<std::string> m;
        return h.open(sleeper.pid()) && h.modules(m) && !m.empty() && m[0] == fs::canonical(kProbe).string();
    }));
    std::unordered_set<std::wstring> paths;
    std::atomic<BYTE> abort{0};
    EXPECT_EQ(GetProcessList(paths, abort, nullptr), 1u);
    EXPECT_TRUE(paths.count(S2WS(fs::canonical(kProbe).string())));
    EXPECT_TRUE(paths.count(S2WS(kitbase::executablePath())));
}

TEST_F(ProcessTest, ProcessListStopsOnAbort) {
    std::unordered_set<std::wstring> paths;
    std::atomic<BYTE> abort{1};
    EXPECT_EQ(GetProcessList(paths, abort, nullptr), 0u);
    EXPECT_TRUE(paths.empty());
}

bool pretendWow64() {
    return true;
}

TEST_F(ProcessTest, ProcessListAddsTheListersModules) {
    kitbase::setWow64Probe(pretendWow64);
    Sleeper sleeper(kProbe);
    std::unordered_set<std::wstring> paths;
    std::atomic<BYTE> abort{0};
    // The staged lister sits beside the test program, in the program folder.
    EXPECT_EQ(GetProcessList(paths, abort, nullptr), 1u);
    EXPECT_TRUE(paths.count(S2WS(fs::canonical(kProbe).string())));
    EXPECT_FALSE(paths.count(L""));
    // The list file is removed again.
    EXPECT_TRUE(fs::is_empty(WS2S(getTmp())));

    // Without the lister the call fails, after the modules of the first pass were added.
    setWorkingPath(S2WS(testsupport::makeTempDir("empty-program-folder")));
    paths.clear();
    EXPECT_EQ(GetProcessList(paths, abort, nullptr), 0u);
    EXPECT_FALSE(paths.empty());
}

TEST_F(ProcessTest, TaskKillEndsProcessById) {
    installTaskKill();
    Sleeper sleeper(kProbe);
    EXPECT_EQ(TaskKill(nullptr, static_cast<DWORD>(sleeper.pid()), L"", false), 1u);
    ASSERT_TRUE(sleeper.wait(10000));
    EXPECT_EQ(sleeper.exitCode(), 128u + SIGKILL);
}

TEST_F(ProcessTest, TaskKillEndsProcessByName) {
    installTaskKill();
    const std::string name = "sleeper" + std::to_string(getpid()) + ".exe";
    Sleeper sleeper(copyProbe(testsupport::testRoot() + "/bin", name));
    ASSERT_TRUE(probe::eventually([&] {
        std::vector<kitbase::ProcessEntry> list;
        kitbase::listProcesses(list);
        for (const auto& p : list)
            if (p.pid == sleeper.pid())
                return p.name == name;
        return false;
    }));
    EXPECT_EQ(TaskKill(nullptr, 0, S2WS(name), true), 1u);
    ASSERT_TRUE(sleeper.wait(10000));
    EXPECT_EQ(sleeper.exitCode(), 128u + SIGKILL);
}

TEST_F(ProcessTest, TaskKillByNameNeverTakesOptionsFromTheName) {
    installTaskKill();
    Sleeper sleeper(kProbe);
    const std::wstring pid = I2WS(static_cast<DWORD>(sleeper.pid()));
    const std::wstring names[] = {
        L"x\" /PID " + pid + L" /IM \"y",
        L"\"x\" /PID " + pid + L" /IM \"y\"",
        L"x\\\" /PID " + pid + L" /IM \\\"y",
    };
    for (const std::wstring& name : names) {
        EXPECT_EQ(TaskKill(nullptr, 0, name, true), 0u) << WS2S(name);
        EXPECT_FALSE(sleeper.wait(0)) << WS2S(name);
    }
}

TEST_F(ProcessTest, TaskKillReportsFailureWhenNothingWasEnded) {
    // Started, but the kill program answers "not found": no success.
    installTaskKill();
    const DWORD noSuchPid = 0x3FFFFFF0;
    EXPECT_EQ(TaskKill(nullptr, noSuchPid, L"", false), 0u);
    EXPECT_EQ(TaskKill(nullptr, 0, L"no-such-image-anywhere.exe", true), 0u);
    EXPECT_EQ(TaskKill(nullptr, 0, L"", true), 0u);
}

TEST_F(ProcessTest, TaskKillWithoutTheKillProgramFails) {
    Sleeper sleeper(kProbe);
    EXPECT_EQ(TaskKill(nullptr, static_cast<DWORD>(sleeper.pid()), L"", false), 0u);
    EXPECT_TRUE(sleeper.running());
}

TEST_F(ProcessTest, KillProcess) {
    EXPECT_EQ(KillProcess(nullptr, 0, L"anything.exe"), 0u);

    Sleeper sleeper(kProbe);
    EXPECT_EQ(KillProcess(nullptr, static_cast<DWORD>(sleeper.pid()), L""), 1u);
    ASSERT_TRUE(sleeper.wait(10000));
    EXPECT_EQ(sleeper.exitCode(), 128u + SIGKILL);

    // An id that names no process falls back to taskkill, which finds nothing.
    installTaskKill();
    EXPECT_EQ(KillProcess(nullptr, 0x3FFFFFF0, L""), 0u);
}

}  // namespace
