#include "kitbase/core/kernel_objects.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "kitbase/core/trace.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"
#include "support/test_root.h"

namespace {

const std::wstring kUnique = L"Global\\Scan-Warden-Unique";

// A child process that runs `body`, reports its result to the parent, then stays
// alive (holding what it took) until the parent kills it or lets it go.
class Child {
public:
    explicit Child(const std::function<DWORD()>& body) {
        int up[2], down[2];
        if (pipe(up) != 0 || pipe(down) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(up[0]);
            close(down[1]);
            DWORD result = body();
            if (write(up[1], &result, sizeof result) != sizeof result)
                _exit(3);
            char byte;
            while (read(down[0], &byte, 1) > 0) {
            }
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        fromChild_ = up[0];
        toChild_ = down[1];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(fromChild_);
        close(toChild_);
    }
    // The body's result; -1 when the child could not report.
    DWORD result() {
        DWORD value = static_cast<DWORD>(-1);
        if (read(fromChild_, &value, sizeof value) != sizeof value)
            return static_cast<DWORD>(-1);
        return value;
    }
    // Lets the child end normally, or kills it; waits for its end.
    void finish(bool kill9) {
        if (kill9)
            kill(pid_, SIGKILL);
        close(toChild_);
        toChild_ = -1;
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int fromChild_ = -1;
    int toChild_ = -1;
};

TEST(MutexTest, ASecondProcessIsRefusedUntilTheHolderDies) {
    Child holder([] {
        static Mutex mutex(kUnique);  // kept for the child's life
        return mutex.Create();
    });
    ASSERT_EQ(holder.result(), ERROR_SUCCESS);

    Mutex second(kUnique);
    EXPECT_TRUE(second.checkIfExists());
    EXPECT_EQ(second.Create(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

    holder.finish(true);  // dies without releasing
    EXPECT_FALSE(second.checkIfExists());
    EXPECT_EQ(second.Create(), ERROR_SUCCESS);

    // Now this process holds it: another process is refused.
    Child late([] {
        Mutex mutex(kUnique);
        DWORD exists = mutex.checkIfExists() ? 1 : 0;
        return exists * 1000 + mutex.Create();
    });
    EXPECT_EQ(late.result(), 1000 + ERROR_ALREADY_EXISTS);
}

TEST(MutexTest, ReleasedWhenTheHolderEndsNormally) {
    Child holder([] {
        static Mutex mutex(kUnique);
        return mutex.Create();
    });
    ASSERT_EQ(holder.result(), ERROR_SUCCESS);
    holder.finish(false);
    Mutex next(kUnique);
    EXPECT_EQ(next.Create(), ERROR_SUCCESS);
}

TEST(MutexTest, CreateDestroyAndTakeOwnershipWithinOneProcess) {
    Mutex first(L"Global\\lumenpost-Global");
    Mutex second(L"Global\\lumenpost-Global");
    EXPECT_FALSE(first.checkIfExists());
    EXPECT_FALSE(first.takeOwnershipAndDestroy());  // nothing of that name

    ASSERT_EQ(first.Create(), ERROR_SUCCESS);
    EXPECT_EQ(first.Create(), ERROR_ALREADY_EXISTS);  // a second Create keeps the hold
    EXPECT_TRUE(second.checkIfExists());
    EXPECT_EQ(second.Create(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(second.takeOwnershipAndDestroy());  // never takes away first's hold
    EXPECT_TRUE(second.checkIfExists());

    first.Destroy();
    EXPECT_FALSE(second.checkIfExists());
    ASSERT_EQ(second.Create(), ERROR_SUCCESS);
    EXPECT_TRUE(second.takeOwnershipAndDestroy());
    EXPECT_FALSE(first.checkIfExists());
    {
        Mutex scoped(L"Global\\lumenpost-Global");
        ASSERT_EQ(scoped.Create(), ERROR_SUCCESS);
    }
    EXPECT_FALSE(first.checkIfExists());  // the destructor released it
}

TEST(MutexTest, InvalidNamesFailWithAnErrorCode) {
    Mutex empty(L"");
    EXPECT_EQ(empty.Create(), ERROR_INVALID_NAME);
    EXPECT_FALSE(empty.checkIfExists());
}

TEST(EventTest, ManualResetEventSetWaitResetTimeout) {
    Event creator(L"Global\\Scan-Event");
    Event other(L"Global\\Scan-Event");
    EXPECT_FALSE(other.checkIfExists());
    EXPECT_FALSE(other.Set());  // nothing to open

    ASSERT_EQ(creator.Create(), ERROR_SUCCESS);
    EXPECT_TRUE(other.checkIfExists());
    EXPECT_FALSE(creator.WaitForEvent(0));
    EXPECT_FALSE(creator.WaitForEvent(30));

    EXPECT_TRUE(other.Set());
    EXPECT_TRUE(creator.WaitForEvent(0));
    EXPECT_TRUE(creator.WaitForEvent(0));  // stays signalled until reset
    EXPECT_TRUE(other.Reset());
    EXPECT_FALSE(creator.WaitForEvent(10));

    EXPECT_EQ(other.Create(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(creator.Create(), ERROR_ALREADY_EXISTS);
}

TEST(EventTest, SetAndExistenceChecksKeepTheCreatorsOwnHandle) {
    Event event(L"Own");
    ASSERT_EQ(event.Create(), ERROR_SUCCESS);
    EXPECT_TRUE(event.checkIfExists());
    EXPECT_TRUE(event.Set());
    EXPECT_TRUE(event.WaitForEvent(0));
    EXPECT_TRUE(event.Reset());
    EXPECT_FALSE(event.WaitForEvent(0));
    EXPECT_TRUE(event.checkIfExists());
}

TEST(EventTest, ExistsOnlyWhileAHandleIsHeld) {
    Event event(L"Lifetime");
    Event probe(L"Lifetime");
    ASSERT_EQ(event.Create(), ERROR_SUCCESS);
    ASSERT_TRUE(probe.Set());
    event.Destroy();
    EXPECT_FALSE(probe.checkIfExists());
    EXPECT_FALSE(event.WaitForEvent(0));       // no handle any more
    EXPECT_EQ(event.Create(), ERROR_SUCCESS);  // created afresh, not signalled
    EXPECT_FALSE(event.WaitForEvent(0));
    EXPECT_TRUE(probe.takeOwnershipAndDestroy());
    EXPECT_TRUE(event.takeOwnershipAndDestroy());
    EXPECT_FALSE(probe.checkIfExists());
    EXPECT_FALSE(probe.takeOwnershipAndDestroy());
}

TEST(EventTest, DefaultNameIsNonDefinedEvent) {
    Event event;
    ASSERT_EQ(event.Create(), ERROR_SUCCESS);
    EXPECT_TRUE(Event(L"non-defined-event").checkIfExists());
}

TEST(EventTest, AnotherProcessWakesTheWaiter) {
    Event event(L"Global\\Cross");
    ASSERT_EQ(event.Create(), ERROR_SUCCESS);
    Child setter([] {
        usleep(100 * 1000);
        return Event(L"Global\\Cross").Set() ? 1u : 0u;
    });
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(event.WaitForEvent(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(4));
    EXPECT_EQ(setter.result(), 1u);
}

TEST(EventTest, AnEventLeftByADeadProcessIsCreatedAfresh) {
    Child holder([] {
        static Event event(L"Global\\Stale");
        DWORD created = event.Create();
        return event.Set() ? created : 99;
    });
    ASSERT_EQ(holder.result(), ERROR_SUCCESS);
    Event seen(L"Global\\Stale");
    EXPECT_TRUE(seen.checkIfExists());
    holder.finish(true);
    EXPECT_FALSE(seen.checkIfExists());
    ASSERT_EQ(seen.Create(), ERROR_SUCCESS);
    EXPECT_FALSE(seen.WaitForEvent(0));
}

TEST(EventTest, WritesItsDebugRecords) {
    const std::string path = testsupport::makeTempDir("log") + "/trace.log";
    __trace__._inittrace(kitbase::utf8ToWide(path), TRACE_DEBUG, false, false, false);
    Event event(L"Logged");
    event.Set();
    event.WaitForEvent(0);
    event.Create();
    event.Set();
    event.WaitForEvent(0);
    event.Reset();
    event.WaitForEvent(0);
    __trace__._closetrace(false);
    const std::string log = testsupport::readFile(path);
    const std::wstring notFound = tgetErrorString(ERROR_FILE_NOT_FOUND);
    const std::wstring badHandle = tgetErrorString(ERROR_INVALID_HANDLE);
    const std::wstring records[] = {
        L"Cannot open Event 'Logged': '" + notFound + L"'",
        L"SetEvent 'Logged' was unsuccessful: Error '" + notFound + L"'",
        L"Waiting for the event 'Logged'",
        L"Event Logged wait error: " + badHandle,
        L"Created Event 'Logged'",
        L"SetEvent 'Logged' was successful",
        L"Event Logged signaled",
        L"ResetEvent 'Logged' was successful",
        L"Event Logged timeout",
    };
    for (const std::wstring& record : records)
        EXPECT_NE(log.find(kitbase::wideToUtf8(record)), std::string::npos) << kitbase::wideToUtf8(record);
}

}  // namespace
