#include "kitbase/core/thread.h"

#include <unistd.h>

#include <condition_variable>
#include <exception>
#include <map>
#include <system_error>

#include "kitbase/core/trace.h"
#include "kitbase/platform/winerror.h"

MTProtectedType<unsigned int, 0> Thread::threadscounter(0);

// The state the object shares with its OS thread. The thread keeps its own
// reference, so a body that destroys its own object leaves the entry something
// valid to write its result into.
struct Thread::Control {
    mutable std::mutex mutex;                 // guards name; pairs with `changed`
    mutable std::condition_variable changed;  // running cleared or finished set
    std::atomic<bool> running{false};
    std::atomic<bool> finished{false};
    std::atomic<bool> started{false};  // an OS thread was created at least once
    std::atomic<int> exitCode{0};
    std::atomic<DWORD> threadId{0};
    std::atomic<long long> stepMs{1000};
    std::atomic<unsigned int> stopSteps{10};
    std::wstring name;

    // Waits for the finished flag at most `limit` (negative: no limit).
    bool waitFinished(std::chrono::milliseconds limit) const {
        std::unique_lock<std::mutex> lock(mutex);
        auto done = [this] { return finished.load(); };
        if (limit.count() < 0) {
            changed.wait(lock, done);
            return true;
        }
        return changed.wait_for(lock, limit, done);
    }
    // Sleeps at most `length`, returning early when the running flag is cleared.
    void sleepStep(std::chrono::milliseconds length) const {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, length, [this] { return !running.load(); });
    }
    std::chrono::milliseconds step() const { return std::chrono::milliseconds(stepMs.load()); }
};

namespace {

DWORD currentThreadId() {
    return static_cast<DWORD>(gettid());
}

// The handles of the started threads, so that joinEx can tell a live handle from an
// unknown or stale one. Never destroyed: threads owned by process-wide objects are
// destroyed at exit, possibly after this file's own objects.
std::mutex& handlesLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::map<const void*, std::weak_ptr<void>>& handles() {
    static auto* map = new std::map<const void*, std::weak_ptr<void>>;
    return *map;
}

}  // namespace

Thread::Thread(void* package, const std::wstring& name)
    : control_(std::make_shared<Control>()), package_(package), creatorThreadId_(currentThreadId()) {
    std::lock_guard<std::mutex> lock(control_->mutex);
    control_->name = name;
}

Thread::~Thread() {
    clearRunning();
    {
        std::lock_guard<std::mutex> lock(lifecycle_);
        if (thread_.joinable()) {
            if (calledByOwnThread()) {
                // The body destroys its own object: it cannot wait for itself. The
                // entry only touches the shared control block from here on.
                thread_.detach();
            } else {
                auto limit = control_->step() * control_->stopSteps.load();
                if (!waitFinished(limit)) {
                    std::wstring name = getName();
                    __trace__.warning(L"Thread %ls(tid:%d) did not stop in time; waiting for it to end", name,
                                      getThreadId());
                }
                thread_.join();
            }
        }
        if (counted_) {
            --threadscounter;
            counted_ = false;
        }
    }
    std::lock_guard<std::mutex> lock(handlesLock());
    handles().erase(control_.get());
}

void Thread::entry(std::shared_ptr<Control> control, Thread* self) {
    DWORD tid = currentThreadId();
    control->threadId.store(tid);
    {
        std::lock_guard<std::mutex> lock(control->mutex);
        if (control->name.empty())
            control->name = L"<Anonymous thread " + std::to_wstring(tid) + L" created by thread " +
                            std::to_wstring(self->creatorThreadId_) + L">";
    }
    int result = -1;
    try {
        result = self->main();
    } catch (const std::exception& e) {
        std::wstring name;
        {
            std::lock_guard<std::mutex> lock(control->mutex);
            name = control->name;
        }
        __trace__.error(L"Thread %ls(tid:%d) ended by an exception: %s", name, tid, e.what());
    } catch (...) {
        std::wstring name;
        {
            std::lock_guard<std::mutex> lock(control->mutex);
            name = control->name;
        }
        __trace__.error(L"Thread %ls(tid:%d) ended by an exception", name, tid);
    }
    // `self` may be gone now (a body may destroy its own object); only the control
    // block is used from here on.
    {
        std::lock_guard<std::mutex> lock(control->mutex);
        control->exitCode.store(result);
        control->running.store(false);
        control->finished.store(true);
    }
    control->changed.notify_all();
}

int Thread::run() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (control_->running.load())
        return 0;
    if (thread_.joinable()) {
        // An earlier run: one OS thread per object, so the earlier body must have
        // ended before a new one starts. The body cannot restart its own object.
        if (calledByOwnThread())
            return 1;
        waitFinished(std::chrono::milliseconds(-1));
        thread_.join();
    }
    bool raised = false;
    if (!counted_) {
        threadNumber_.store(++threadscounter);
        raised = true;
    } else {
        threadNumber_.store(threadscounter.data());
    }
    control_->threadId.store(0);
    {
        std::lock_guard<std::mutex> state(control_->mutex);
        control_->exitCode.store(0);
        control_->finished.store(false);
        control_->running.store(true);
    }
    try {
        thread_ = std::thread(&Thread::entry, control_, this);
    } catch (const std::system_error& e) {
        {
            std::lock_guard<std::mutex> state(control_->mutex);
            control_->running.store(false);
        }
        if (raised)
            --threadscounter;
        setLastErrorFromErrno(e.code().value());
        return 1;
    }
    counted_ = true;
    if (!control_->started.exchange(true)) {
        std::lock_guard<std::mutex> handlesGuard(handlesLock());
        handles()[control_.get()] = control_;
    }
    return 0;
}

void Thread::clearRunning() {
    {
        std::lock_guard<std::mutex> lock(control_->mutex);
        control_->running.store(false);
    }
    control_->changed.notify_all();
}

void Thread::stop() {
    if (!control_->running.load())
        return;
    clearRunning();
    if (calledByOwnThread())
        return;
    waitFinished(control_->step() * control_->stopSteps.load());
}

int Thread::join(int timeout) {
    if (!control_->started.load() || calledByOwnThread())
        return 1;
    if (!waitFinished(std::chrono::milliseconds(timeout < 0 ? -1 : timeout)))
        return 0;
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (thread_.joinable() && control_->finished.load())
        thread_.join();
    return 0;
}

int Thread::joinEx(HANDLE other) {
    std::shared_ptr<Control> peer;
    {
        std::lock_guard<std::mutex> lock(handlesLock());
        auto it = handles().find(other);
        if (it != handles().end())
            peer = std::static_pointer_cast<Control>(it->second.lock());
    }
    if (!peer || !control_->started.load() || calledByOwnThread() ||
        peer->threadId.load() == currentThreadId())
        return 1;
    if (join(-1) != 0)
        return 1;
    peer->waitFinished(std::chrono::milliseconds(-1));
    return 0;
}

int Thread::execute() {
    if (run() != 0)
        return -1;
    if (join(-1) != 0)
        return -1;
    return control_->exitCode.load();
}

void Thread::terminate() {
    if (!control_->started.load())
        return;
    std::wstring name = getName();
    __trace__.debug(L"Terminating thread %ls(tid:%d)", name, getThreadId());
    clearRunning();
    if (!calledByOwnThread() && waitFinished(control_->step()))
        __trace__.debug(L"Thread %ls(tid:%d) was terminated", name, getThreadId());
    else
        __trace__.warning(L"Thread %ls(tid:%d) could not be terminated", name, getThreadId());
}

void Thread::SLEEP(unsigned int seconds) {
    if (seconds == 0)
        seconds = 1;
    for (unsigned int i = 0; i < seconds; ++i) {
        if (!control_->running.load())
            return;
        control_->sleepStep(control_->step());
    }
}

void Thread::startLoop(unsigned int ms) {
    while (control_->running.load())
        control_->sleepStep(std::chrono::milliseconds(ms));
}

DWORD Thread::getThreadId() const {
    return control_->threadId.load();
}

std::wstring Thread::getName() const {
    std::lock_guard<std::mutex> lock(control_->mutex);
    return control_->name;
}

HANDLE Thread::getHandle() const {
    return control_->started.load() ? static_cast<HANDLE>(control_.get()) : nullptr;
}

bool Thread::isRunning() const {
    return control_->running.load();
}

bool Thread::isFinished() const {
    return control_->finished.load();
}

void Thread::setStepTime(std::chrono::milliseconds step) {
    control_->stepMs.store(step.count());
}

void Thread::setStopSteps(unsigned int steps) {
    control_->stopSteps.store(steps);
}

bool Thread::calledByOwnThread() const {
    DWORD tid = control_->threadId.load();
    return tid != 0 && tid == currentThreadId() && !control_->finished.load();
}

bool Thread::waitFinished(std::chrono::milliseconds limit) const {
    return control_->waitFinished(limit);
}
