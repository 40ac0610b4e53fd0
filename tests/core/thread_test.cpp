#include "kitbase/core/thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>

#include "kitbase/core/trace.h"
#include "kitbase/platform/utf8.h"
#include "support/test_root.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A thread whose body is given by the test, with short sleep steps (20 ms, ten
// checks on stop) so that nothing waits for real seconds.
class Worker : public Thread {
public:
    explicit Worker(std::function<int(Worker&)> body, const std::wstring& name = L"Worker",
                    std::chrono::milliseconds step = 20ms)
        : Thread(nullptr, name), body_(std::move(body)) {
        setStepTime(step);
    }
    // The body uses this object's members: it must have ended before they go.
    ~Worker() override {
        stop();
        join(-1);
    }
    int main() override { return body_(*this); }
    using Thread::setStepTime;
    using Thread::setStopSteps;

private:
    std::function<int(Worker&)> body_;
};

// The usual body: wait in steps until stopped.
int untilStopped(Worker& self) {
    while (self.isRunning())
        self.SLEEP(1);
    return 0;
}

long long elapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

TEST(ThreadTest, StopRightAfterRunIsNeverLost) {
    // The flag is raised by run itself, so a stop issued before the body has even
    // started still reaches it.
    for (int i = 0; i < 200; ++i) {
        Worker worker([](Worker& self) {
            self.startLoop(1);
            return 0;
        });
        ASSERT_EQ(worker.run(), 0);
        EXPECT_TRUE(worker.isRunning());
        worker.stop();
        ASSERT_TRUE(worker.isFinished()) << "round " << i;
        EXPECT_FALSE(worker.isRunning());
    }
}

TEST(ThreadTest, SecondRunWhileRunningStartsNothing) {
    std::atomic<int> starts{0};
    Worker worker([&](Worker& self) {
        ++starts;
        return untilStopped(self);
    });
    unsigned before = Thread::threadscounter.data();
    ASSERT_EQ(worker.run(), 0);
    EXPECT_EQ(worker.run(), 0);
    EXPECT_EQ(std::async(std::launch::async, [&] { return worker.run(); }).get(), 0);
    EXPECT_EQ(Thread::threadscounter.data(), before + 1);
    worker.stop();
    EXPECT_EQ(starts.load(), 1);
}

TEST(ThreadTest, RunAfterTheBodyEndedStartsItAgainWithoutCountingTwice) {
    std::atomic<int> starts{0};
    Worker worker([&](Worker&) { return ++starts; });
    unsigned before = Thread::threadscounter.data();
    EXPECT_EQ(worker.execute(), 1);
    EXPECT_EQ(worker.execute(), 2);
    EXPECT_EQ(Thread::threadscounter.data(), before + 1);
}

std::atomic<bool> lingeringStarted{false};
std::atomic<bool> lingeringDone{false};

// A body that keeps running for a while after the flag is cleared and uses nothing
// of its own object but the base.
class Lingering : public Thread {
public:
    Lingering() { setStepTime(20ms); }
    int main() override {
        lingeringStarted = true;
        while (isRunning())
            SLEEP(1);
        std::this_thread::sleep_for(400ms);  // longer than a stop waits (10 x 20 ms)
        lingeringDone = true;
        return 0;
    }
};

TEST(ThreadTest, DestroyingARunningThreadWaitsForItsBodyAndJoinsIt) {
    auto worker = std::make_unique<Lingering>();
    ASSERT_EQ(worker->run(), 0);
    while (!lingeringStarted)
        std::this_thread::sleep_for(1ms);
    worker.reset();
    EXPECT_TRUE(lingeringDone);
}

TEST(ThreadTest, StopGivesUpAfterTenStepsButTheBodyStaysOwned) {
    std::atomic<bool> release{false};
    Worker worker([&](Worker&) {
        while (!release.load())
            std::this_thread::sleep_for(5ms);
        return 4;
    });
    worker.setStepTime(10ms);
    ASSERT_EQ(worker.run(), 0);
    auto begin = Clock::now();
    worker.stop();
    EXPECT_GE(elapsedMs(begin), 100);
    EXPECT_FALSE(worker.isFinished());
    release = true;
    EXPECT_EQ(worker.join(-1), 0);
    EXPECT_TRUE(worker.isFinished());
}

TEST(ThreadTest, AThreadStoppingItselfDoesNotWaitForItself) {
    // With one-second steps a wait for itself would take ten seconds.
    std::atomic<long long> stopMs{-1};
    Worker worker(
        [&](Worker& self) {
            auto begin = Clock::now();
            self.stop();
            stopMs = elapsedMs(begin);
            return self.isRunning() ? 1 : 5;
        },
        L"SelfStop", 1000ms);
    EXPECT_EQ(worker.execute(), 5);
    EXPECT_GE(stopMs.load(), 0);
    EXPECT_LT(stopMs.load(), 500);
}

TEST(ThreadTest, ABodyMayDestroyItsOwnObject) {
    unsigned before = Thread::threadscounter.data();
    std::promise<void> destroyed;
    auto* worker = new Worker([&](Worker& self) {
        auto* done = &destroyed;  // the closure goes with the object
        delete &self;
        done->set_value();
        return 0;
    });
    ASSERT_EQ(worker->run(), 0);
    ASSERT_EQ(destroyed.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(Thread::threadscounter.data(), before);
}

TEST(ThreadTest, ExecuteReturnsTheBodysResult) {
    for (int code : {0, 1, 42, -3}) {
        Worker worker([code](Worker&) { return code; });
        EXPECT_EQ(worker.execute(), code);
        EXPECT_TRUE(worker.isFinished());
    }
}

TEST(ThreadTest, ABodyEndedByAnExceptionFinishesWithMinusOne) {
    Worker worker([](Worker&) -> int { throw std::runtime_error("broken"); });
    EXPECT_EQ(worker.execute(), -1);
    EXPECT_TRUE(worker.isFinished());
}

TEST(ThreadTest, LiveThreadCounterCountsStartedObjectsUntilDestroyed) {
    unsigned base = Thread::threadscounter.data();
    { Worker neverStarted(untilStopped); }
    EXPECT_EQ(Thread::threadscounter.data(), base);  // no wrap-around below zero

    auto first = std::make_unique<Worker>(untilStopped);
    auto second = std::make_unique<Worker>(untilStopped);
    EXPECT_EQ(first->getThreadCnt(), 0u);
    ASSERT_EQ(first->run(), 0);
    EXPECT_EQ(first->getThreadCnt(), base + 1);
    ASSERT_EQ(second->run(), 0);
    EXPECT_EQ(second->getThreadCnt(), base + 2);
    EXPECT_EQ(Thread::threadscounter.data(), base + 2);
    first->stop();
    EXPECT_EQ(Thread::threadscounter.data(), base + 2);  // counted until destroyed
    first.reset();
    EXPECT_EQ(Thread::threadscounter.data(), base + 1);
    second.reset();
    EXPECT_EQ(Thread::threadscounter.data(), base);
}

TEST(ThreadTest, NamesAndIds) {
    std::atomic<DWORD> seen{0};
    Worker anonymous(
        [&](Worker& self) {
            seen = self.getThreadId();
            return 0;
        },
        L"");
    EXPECT_EQ(anonymous.getThreadId(), 0u);
    EXPECT_EQ(anonymous.execute(), 0);
    ASSERT_NE(seen.load(), 0u);
    EXPECT_NE(seen.load(), static_cast<DWORD>(gettid()));
    EXPECT_EQ(anonymous.getName(), L"<Anonymous thread " + std::to_wstring(seen.load()) +
                                       L" created by thread " + std::to_wstring(gettid()) + L">");

    Worker named([](Worker&) { return 0; }, L"LogCleaner");
    EXPECT_EQ(named.execute(), 0);
    EXPECT_EQ(named.getName(), L"LogCleaner");
}

TEST(ThreadTest, PackageIsKept) {
    int value = 0;
    Worker worker([&](Worker& self) { return self.getPackage() == &value ? 1 : 0; });
    EXPECT_EQ(worker.getPackage(), nullptr);
    worker.setPackage(&value);
    EXPECT_EQ(worker.execute(), 1);
}

TEST(ThreadTest, SleepCountsZeroAsOneStepAndReturnsAtOnceWhenNotRunning) {
    std::atomic<long long> slept{-1};
    Worker worker(
        [&](Worker& self) {
            auto begin = Clock::now();
            self.SLEEP(0);
            slept = elapsedMs(begin);
            return 0;
        },
        L"Sleeper", 100ms);
    EXPECT_EQ(worker.execute(), 0);
    EXPECT_GE(slept.load(), 90);

    auto begin = Clock::now();
    worker.SLEEP(50);  // the body has returned: the running flag is clear
    EXPECT_LT(elapsedMs(begin), 50);
}

TEST(ThreadTest, StopEndsALongSleepWithinAStepAtTheDefaultTiming) {
    Worker worker(
        [](Worker& self) {
            self.SLEEP(900);
            return 0;
        },
        L"LongSleep", 1000ms);
    ASSERT_EQ(worker.run(), 0);
    auto begin = Clock::now();
    worker.stop();
    EXPECT_TRUE(worker.isFinished());
    EXPECT_LT(elapsedMs(begin), 1000);
}

TEST(ThreadTest, StopAndJoinOnANeverStartedThread) {
    Worker worker(untilStopped);
    auto begin = Clock::now();
    worker.stop();
    EXPECT_LT(elapsedMs(begin), 20);
    EXPECT_EQ(worker.join(-1), 1);
    EXPECT_EQ(worker.join(0), 1);
    EXPECT_EQ(worker.getHandle(), nullptr);
}

TEST(ThreadTest, JoinWaitsForTheEndOrTheTimeOut) {
    Worker worker(untilStopped);
    ASSERT_EQ(worker.run(), 0);
    auto begin = Clock::now();
    EXPECT_EQ(worker.join(0), 0);
    EXPECT_EQ(worker.join(50), 0);
    EXPECT_GE(elapsedMs(begin), 50);
    EXPECT_FALSE(worker.isFinished());
    auto stopper = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(50ms);
        worker.stop();
    });
    EXPECT_EQ(worker.join(-1), 0);
    EXPECT_TRUE(worker.isFinished());
    stopper.get();
}

TEST(ThreadTest, JoinByTheThreadItselfFailsInsteadOfHanging) {
    Worker worker([](Worker& self) { return self.join(-1) == 1 ? 7 : 0; });
    EXPECT_EQ(worker.execute(), 7);
}

TEST(ThreadTest, JoinExWaitsForBothThreads) {
    Worker first([](Worker&) {
        std::this_thread::sleep_for(30ms);
        return 0;
    });
    Worker second([](Worker&) {
        std::this_thread::sleep_for(80ms);
        return 0;
    });
    ASSERT_EQ(first.run(), 0);
    ASSERT_EQ(second.run(), 0);
    EXPECT_EQ(first.joinEx(second.getHandle()), 0);
    EXPECT_TRUE(first.isFinished());
    EXPECT_TRUE(second.isFinished());

    int notAHandle = 0;
    EXPECT_EQ(first.joinEx(&notAHandle), 1);
    EXPECT_EQ(first.joinEx(nullptr), 1);
}

TEST(ThreadTest, TerminateAsksTheBodyToEndAndReportsTheOutcome) {
    const std::string path = testsupport::makeTempDir("log") + "/trace.log";
    __trace__._inittrace(kitbase::utf8ToWide(path), TRACE_DEBUG, false, false, false);
    Worker cooperative(untilStopped, L"Cooperative");
    cooperative.terminate();  // never started: nothing to do
    ASSERT_EQ(cooperative.run(), 0);
    while (cooperative.getThreadId() == 0)
        std::this_thread::sleep_for(1ms);
    cooperative.terminate();
    EXPECT_TRUE(cooperative.isFinished());

    std::atomic<bool> release{false};
    Worker stubborn(
        [&](Worker&) {
            while (!release)
                std::this_thread::sleep_for(1ms);
            return 0;
        },
        L"Stubborn");
    ASSERT_EQ(stubborn.run(), 0);
    while (stubborn.getThreadId() == 0)
        std::this_thread::sleep_for(1ms);
    stubborn.terminate();
    EXPECT_FALSE(stubborn.isFinished());  // never killed from outside
    release = true;
    __trace__._closetrace(false);

    const std::string log = testsupport::readFile(path);
    auto tid = [](const Worker& w) { return std::to_string(w.getThreadId()); };
    EXPECT_EQ(log.find("Terminating thread Cooperative(tid:"),
              log.rfind("Terminating thread Cooperative(tid:"));
    for (const std::string& record : {
             "Terminating thread Cooperative(tid:" + tid(cooperative) + ")",
             "Thread Cooperative(tid:" + tid(cooperative) + ") was terminated",
             "Terminating thread Stubborn(tid:" + tid(stubborn) + ")",
             "Thread Stubborn(tid:" + tid(stubborn) + ") could not be terminated",
         })
        EXPECT_NE(log.find(record), std::string::npos) << record;
}

}  // namespace
