#include "kitbase/platform/named_objects.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/winerror.h"

namespace {

using kitbase::NamedEventHandle;
using kitbase::NamedMutexHandle;
using kitbase::namedObjectPath;

struct PathCase {
    std::wstring name;
    const char* kind;
    std::string file;
};

TEST(NamedObjectsTest, NamesMapToOneSafeFileInTheRunFolder) {
    const PathCase cases[] = {
        {L"Global\\Scan-Warden-Unique", "mutex", "mutex-Global%5CScan-Warden-Unique"},
        {L"Global\\lumenpost-Global", "mutex", "mutex-Global%5Clumenpost-Global"},
        {L"../../etc/passwd", "mutex", "mutex-%2E%2E%2F%2E%2E%2Fetc%2Fpasswd"},
        {L"..", "event", "event-%2E%2E"},
        {L"a b%\u00fc", "event", "event-a%20b%25%C3%BC"},
        {L"non-defined-event", "event", "event-non-defined-event"},
    };
    for (const auto& c : cases) {
        std::string path;
        ASSERT_EQ(namedObjectPath(c.name, c.kind, path), ERROR_SUCCESS);
        EXPECT_EQ(path, kitbase::runFolder() + "/" + c.file);
    }
}

TEST(NamedObjectsTest, EmptyAndOverlongNamesAreRefused) {
    std::string path;
    EXPECT_EQ(namedObjectPath(L"", "mutex", path), ERROR_INVALID_NAME);
    // "mutex-" and the name must fit in one file name of 255 bytes.
    EXPECT_EQ(namedObjectPath(std::wstring(249, L'x'), "mutex", path), ERROR_SUCCESS);
    EXPECT_EQ(namedObjectPath(std::wstring(250, L'x'), "mutex", path), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(namedObjectPath(std::wstring(100, L'.'), "mutex", path), ERROR_FILENAME_EXCED_RANGE);
    std::unique_ptr<NamedMutexHandle> handle;
    EXPECT_EQ(NamedMutexHandle::create(L"", handle), ERROR_INVALID_NAME);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
}

TEST(NamedObjectsTest, ObjectFilesAreReadableByTheirOwnerOnly) {
    std::unique_ptr<NamedMutexHandle> mutex;
    std::unique_ptr<NamedEventHandle> event;
    ASSERT_EQ(NamedMutexHandle::create(L"Global\\Mode", mutex), ERROR_SUCCESS);
    ASSERT_EQ(NamedEventHandle::create(L"Global\\Mode", event), ERROR_SUCCESS);
    for (const char* kind : {"mutex", "event"}) {
        std::string path;
        ASSERT_EQ(namedObjectPath(L"Global\\Mode", kind, path), ERROR_SUCCESS);
        struct stat st = {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
    }
}

TEST(NamedObjectsTest, AProgramStartedByTheOwnerDoesNotInheritTheLock) {
    const std::wstring name = L"Global\\Inherit";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::unique_ptr<NamedMutexHandle> mutex;
        if (NamedMutexHandle::create(name, mutex) != ERROR_SUCCESS)
            _exit(2);
        int execSeen[2];
        if (pipe2(execSeen, O_CLOEXEC) != 0)
            _exit(3);
        pid_t grandchild = fork();
        if (grandchild == 0) {
            close(execSeen[0]);
            execl("/bin/sleep", "sleep", "5", static_cast<char*>(nullptr));
            _exit(4);
        }
        close(execSeen[1]);
        char byte;
        // End of file: the exec closed the grandchild's end.
        if (read(execSeen[0], &byte, 1) != 0)
            _exit(5);
        std::string pid = std::to_string(grandchild);
        if (write(ready[1], pid.data(), pid.size()) < 0)
            _exit(6);
        _exit(0);  // the owner ends; the grandchild runs on
    }
    close(ready[1]);
    char buffer[32] = {};
    ssize_t got = read(ready[0], buffer, sizeof buffer - 1);
    close(ready[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_GT(got, 0);
    pid_t grandchild = std::stoi(buffer);
    EXPECT_FALSE(NamedMutexHandle::exists(name));
    kill(grandchild, SIGKILL);
}

TEST(NamedObjectsTest, AProbeOfTheMutexDoesNotMakeItLookTaken) {
    // exists() locks shared for an instant; an attempt to own the mutex at the same
    // time still succeeds.
    std::unique_ptr<NamedMutexHandle> owner;
    for (int i = 0; i < 200; ++i) {
        std::atomic<bool> go{true};
        std::thread prober([&] {
            while (go)
                NamedMutexHandle::exists(L"Probe");
        });
        DWORD code = NamedMutexHandle::create(L"Probe", owner);
        go = false;
        prober.join();
        ASSERT_EQ(code, ERROR_SUCCESS) << "round " << i;
        ASSERT_TRUE(owner->owned());
        owner.reset();
    }
}

TEST(NamedObjectsTest, EventWaitTimesOutAndWakesOnSet) {
    std::unique_ptr<NamedEventHandle> waiter, setter;
    ASSERT_EQ(NamedEventHandle::create(L"Wake", waiter), ERROR_SUCCESS);
    ASSERT_EQ(NamedEventHandle::open(L"Wake", setter), ERROR_SUCCESS);
    EXPECT_EQ(waiter->wait(0), NamedEventHandle::WaitResult::Timeout);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(waiter->wait(60), NamedEventHandle::WaitResult::Timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(60));
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        setter->set();
    });
    EXPECT_EQ(waiter->wait(INFINITE), NamedEventHandle::WaitResult::Signaled);
    later.join();
}

}  // namespace
