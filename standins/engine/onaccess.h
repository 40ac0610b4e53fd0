#pragma once
// The on-access layer: a pool of scan workers, one engine instance each. Every worker
// reads file accesses from the kernel itself (fanotify permission events on opens and
// opens for execute, when the process has the privilege) and takes accesses injected
// by QVAPI_OA_inject_access, so an access is scanned and answered on one thread. Each
// access gets exactly one verdict: the worker's scan and the caller's type 9 callback
// decide it, the time-out allows it, and accesses by this process, by excepted
// programs, to excepted files, outside the watched folders or to files known clean are
// allowed at once without a scan.
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "scanwarden/qvapi_interface.h"

namespace qv {

class Engine;

class OnAccess {
public:
    OnAccess(Engine& engine, uint32_t threads);
    ~OnAccess();

    int32_t createInstances(QVAPI_OA_INSTANCE_CALLBACK created, QVAPI_OA_INSTANCE_CALLBACK destroyed);
    void destroyInstances();
    int32_t start();
    int32_t stop();
    bool running() const { return running_.load(); }
    int32_t inject(const wchar_t* path, int32_t pid, uint32_t access, int32_t* verdict);
    // After a signature reload: files found clean before must be scanned again.
    void forgetCleanFiles();
    // True on one of this layer's worker threads.
    static bool onWorkerThread();

private:
    struct Access;
    struct Scope {
        std::vector<std::string> folders;  // watched folders
    };

    void workerMain(size_t index);
    // Handles the kernel accesses of one read.
    void handleKernelRead(qvapi_instance* instance, const char* buffer, ssize_t length);
    // One file access read from the kernel; `permission` false for an event that asks
    // for no decision (it is allowed).
    void handleKernelEvent(qvapi_instance* instance, const std::shared_ptr<Access>& access, bool permission);
    void process(qvapi_instance* instance, const std::shared_ptr<Access>& access);
    void watchdogMain();
    void enqueue(const std::shared_ptr<Access>& access);
    void answer(Access& access, int32_t verdict);
    // Decides an access without a scan when it can; true when decided.
    bool decideAtOnce(Access& access);
    bool inScope(const std::string& path) const;
    bool excepted(const std::string& path, int32_t pid) const;
    void readScope();
    // Asks the kernel to stop reporting a file found clean (until it is modified).
    void ignoreFromNowOn(const std::shared_ptr<Access>& access);

    Engine& engine_;
    const uint32_t threads_;
    std::vector<qvapi_instance*> instances_;
    QVAPI_OA_INSTANCE_CALLBACK destroyed_ = nullptr;

    std::atomic<bool> running_{false};
    std::mutex queueLock_;
    std::deque<std::shared_ptr<Access>> queue_;  // injected accesses
    int queueFd_ = -1;                           // counts queued accesses (wakes one worker per access)
    int stopFd_ = -1;                            // readable once the workers must stop
    bool stopping_ = false;
    std::vector<std::thread> workers_;

    int fanFd_ = -1;
    std::thread watchdog_;
    bool watchdogStop_ = false;
    std::mutex pendingLock_;
    std::condition_variable pendingChanged_;
    std::unordered_map<Access*, std::shared_ptr<Access>> pending_;  // kernel accesses being scanned
    std::atomic<uint32_t> ignoreMarks_{0};
    std::atomic<bool> spinning_{false};     // a worker is looking for the next access
    std::atomic<bool> workersStop_{false};  // the workers end (also one that keeps finding accesses)
    Scope scope_;
    const pid_t ownPid_;
};

}  // namespace qv
