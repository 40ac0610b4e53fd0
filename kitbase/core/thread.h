#pragma once
// Base class of every worker thread: one OS thread per object, the body in the
// virtual main(), a cooperative stop through the running flag.
//
// Stop protocol: the owner calls stop() (or destroys the object); the body polls
// isRunning() (directly, or because SLEEP / startLoop return early) and returns.
// stop() waits a bounded time; the destructor waits for the body to end and joins
// the OS thread. A derived class whose body uses the derived class's own members
// must stop its thread in its own destructor: when ~Thread runs, those members are
// already gone.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "kitbase/core/locks.h"
#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

class KITBASE_API Thread {
public:
    explicit Thread(void* package = nullptr, const std::wstring& name = L"");
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // The thread's body; its result becomes the thread's exit code.
    virtual int main() = 0;

    // Starts the thread: 0 when started or already running, 1 when no OS thread
    // could be created. The running flag is set before the thread starts.
    int run();
    // Clears the running flag and waits (at most ten steps of one second) for the
    // body to finish. Called by the body itself, it only clears the flag.
    void stop();
    // Waits for the thread's end, `timeout` in milliseconds (negative: no limit).
    // 1 when the wait is impossible (never started, or called by the thread itself),
    // else 0, also when the time elapses.
    int join(int timeout);
    // Waits without limit for the end of this thread and of the thread whose handle
    // (getHandle) is `other`; 1 when either handle is unknown or the wait is
    // impossible, else 0.
    int joinEx(HANDLE other);
    // run(), then waits without limit; the body's result, or -1 when the thread could
    // not be started or not be waited for.
    int execute();
    // Asks the thread to end at once (the running flag is cleared) and reports
    // whether it ended within one step. A thread is never killed from outside: that
    // would leave its locks and data in an unknown state.
    void terminate();

    // Sleeps `seconds` steps of one second (0 counts as 1), returning as soon as
    // the running flag is clear.
    void SLEEP(unsigned int seconds);
    // While the running flag is set, sleeps `ms` milliseconds at a time.
    void startLoop(unsigned int ms);

    void* getPackage() const { return package_.load(); }
    void setPackage(void* package) { package_.store(package); }
    // The live-thread count just after this thread's start.
    unsigned int getThreadCnt() const { return threadNumber_.load(); }
    // OS id of the thread; 0 until the body starts.
    DWORD getThreadId() const;
    std::wstring getName() const;
    // The handle of the started thread (for joinEx); null until run.
    HANDLE getHandle() const;
    bool isRunning() const;
    bool isFinished() const;

    // Objects that have been started and are not yet destroyed.
    static MTProtectedType<unsigned int, 0> threadscounter;

protected:
    // Length of one sleep step of SLEEP and of one check of stop (default 1 s) and
    // the number of checks of stop (default 10); tests shorten them.
    void setStepTime(std::chrono::milliseconds step);
    void setStopSteps(unsigned int steps);

private:
    struct Control;
    static void entry(std::shared_ptr<Control> control, Thread* self);
    bool calledByOwnThread() const;
    // Waits for the finished flag at most `limit` (negative: no limit); true when set.
    bool waitFinished(std::chrono::milliseconds limit) const;
    void clearRunning();

    std::shared_ptr<Control> control_;
    std::mutex lifecycle_;  // guards thread_, counted_ and the start of a new run
    std::thread thread_;
    bool counted_ = false;
    std::atomic<void*> package_;
    std::atomic<unsigned int> threadNumber_{0};
    const DWORD creatorThreadId_;
};
