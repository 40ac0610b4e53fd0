#include "onaccess.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <unordered_map>

#include "engine.h"
#include "file_scanner.h"
#include "instance.h"
#include "text.h"

namespace qv {

namespace {

thread_local bool workerThread = false;
constexpr uint64_t kWatchMask = FAN_OPEN_PERM | FAN_OPEN_EXEC_PERM;
constexpr uint32_t kMaxIgnoreMarks = 200000;
// One event per read: with one worker woken per event, each open goes to its own
// worker instead of waiting behind the scans of the same batch.
constexpr size_t kEventsPerRead = 1;
// How long a worker looks for the next access before it sleeps.
constexpr auto kSpin = std::chrono::microseconds(100);

std::string readLink(const std::string& path) {
    char buffer[4096];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    return std::string(buffer, static_cast<size_t>(n));
}

bool underFolder(const std::string& path, const std::string& folder) {
    if (folder == "/")
        return true;
    return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

}  // namespace

struct OnAccess::Access {
    ~Access() {
        if (fd >= 0)
            close(fd);
    }
    int fd = -1;
    bool kernel = false;
    std::string narrow;
    std::wstring path;
    int32_t pid = 0;
    uint32_t access = QVAPI_OA_ACCESS_OPEN;
    Deadline deadline = Deadline::max();
    std::atomic<bool> answered{false};
    std::mutex lock;
    std::condition_variable done;
    bool decided = false;
    int32_t verdict = QVAPI_OA_ALLOW;
    bool knownClean = false;
    struct stat st {};
    bool hasStat = false;
};

OnAccess::OnAccess(Engine& engine, uint32_t threads)
    : engine_(engine), threads_(threads), ownPid_(getpid()) {}

OnAccess::~OnAccess() {
    stop();
    destroyInstances();
}

bool OnAccess::onWorkerThread() {
    return workerThread;
}

int32_t OnAccess::createInstances(QVAPI_OA_INSTANCE_CALLBACK created, QVAPI_OA_INSTANCE_CALLBACK destroyed) {
    if (running_)
        return QVAPI_E_BUSY;
    destroyInstances();
    destroyed_ = destroyed;
    for (uint32_t i = 0; i < threads_; ++i) {
        auto* instance = new qvapi_instance(true);
        instances_.push_back(instance);
        if (created) {
            int32_t r = 0;
            try {
                r = created(instance);
            } catch (...) {
                r = QVAPI_E_INTERNAL;
            }
            if (r != 0)
                engine_.log(QVAPI_LOG_WARNING, "on-access instance " + std::to_string(i) +
                                                   ": set-up callback answered " + std::to_string(r));
        }
    }
    return QVAPI_OK;
}

void OnAccess::destroyInstances() {
    for (auto* instance : instances_) {
        if (destroyed_) {
            try {
                destroyed_(instance);
            } catch (...) {
            }
        }
        instance->magic = 0;
        delete instance;
    }
    instances_.clear();
}

void OnAccess::readScope() {
    scope_.folders.clear();
    std::ifstream in(engine_.engineFolder() + "/qvoa.conf");
    std::string line;
    while (std::getline(in, line)) {
        std::string t = trim(line);
        if (t.rfind("watch ", 0) == 0) {
            std::string folder = withoutTrailingSlash(trim(t.substr(6)));
            if (!folder.empty() && folder[0] == '/')
                scope_.folders.push_back(folder);
        }
    }
    if (scope_.folders.empty())
        scope_.folders.push_back("/");
}

int32_t OnAccess::start() {
    if (instances_.empty())
        return QVAPI_E_NOT_INITIALIZED;
    if (running_)
        return QVAPI_E_ALREADY_RUNNING;
    readScope();
    fanFd_ = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK | FAN_UNLIMITED_QUEUE,
                           O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fanFd_ < 0) {
        engine_.log(QVAPI_LOG_WARNING, std::string("on-access: file access events unavailable (") +
                                           strerror(errno) + "); only injected accesses are scanned");
    } else {
        size_t marked = 0;
        for (const auto& folder : scope_.folders) {
            int r =
                fanotify_mark(fanFd_, FAN_MARK_ADD | FAN_MARK_MOUNT, kWatchMask, AT_FDCWD, folder.c_str());
            if (r != 0 && errno == EINVAL)  // kernels without open-for-execute events
                r = fanotify_mark(fanFd_, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_PERM, AT_FDCWD,
                                  folder.c_str());
            if (r == 0)
                ++marked;
            else
                engine_.log(QVAPI_LOG_ERROR, "on-access: cannot watch " + folder + ": " + strerror(errno));
        }
        if (marked == 0) {
            close(fanFd_);
            fanFd_ = -1;
        } else {
            engine_.log(QVAPI_LOG_INFO, "on-access: watching " + std::to_string(marked) + " folder(s)");
        }
    }
    queueFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        stopping_ = false;
    }
    running_ = true;
    workersStop_ = false;
    if (fanFd_ >= 0) {
        watchdogStop_ = false;
        watchdog_ = std::thread(&OnAccess::watchdogMain, this);
    }
    for (size_t i = 0; i < instances_.size(); ++i)
        workers_.emplace_back(&OnAccess::workerMain, this, i);
    return QVAPI_OK;
}

int32_t OnAccess::stop() {
    if (!running_)
        return QVAPI_OK;
    if (workerThread)
        return QVAPI_E_BUSY;
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        stopping_ = true;
    }
    workersStop_ = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(stopFd_, &one, sizeof one);
    for (auto& worker : workers_)
        worker.join();
    workers_.clear();
    std::deque<std::shared_ptr<Access>> left;
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        left.swap(queue_);
    }
    for (auto& access : left)
        answer(*access, QVAPI_OA_ALLOW);
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        watchdogStop_ = true;
        for (auto& [key, access] : pending_)
            answer(*access, QVAPI_OA_ALLOW);
        pending_.clear();
    }
    pendingChanged_.notify_all();
    if (watchdog_.joinable())
        watchdog_.join();
    for (int* fd : {&fanFd_, &queueFd_, &stopFd_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    ignoreMarks_ = 0;
    running_ = false;
    return QVAPI_OK;
}

void OnAccess::forgetCleanFiles() {
    if (fanFd_ >= 0)
        fanotify_mark(fanFd_, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
    ignoreMarks_ = 0;
}

void OnAccess::ignoreFromNowOn(const std::shared_ptr<Access>& access) {
    if (fanFd_ < 0 || !access->kernel)
        return;
    // Set by the worker that answered, after the answer: the opener does not wait for it.
    // The kernel drops an ignore mark when the file is modified, so a clean file is not
    // reported again until someone writes to it.
    if (ignoreMarks_.fetch_add(1) >= kMaxIgnoreMarks)
        forgetCleanFiles();
    fanotify_mark(fanFd_, FAN_MARK_ADD | FAN_MARK_IGNORED_MASK, kWatchMask, access->fd, nullptr);
}

void OnAccess::answer(Access& access, int32_t verdict) {
    if (access.answered.exchange(true))
        return;
    if (access.kernel) {
        fanotify_response response{access.fd,
                                   static_cast<uint32_t>(verdict == QVAPI_OA_DENY ? FAN_DENY : FAN_ALLOW)};
        [[maybe_unused]] ssize_t n = write(fanFd_, &response, sizeof response);
    } else {
        std::lock_guard<std::mutex> guard(access.lock);
        access.decided = true;
        access.verdict = verdict;
        access.done.notify_all();
    }
}

bool OnAccess::inScope(const std::string& path) const {
    for (const auto& folder : scope_.folders)
        if (underFolder(path, folder))
            return true;
    return false;
}

bool OnAccess::excepted(const std::string& path, int32_t pid) const {
    auto options = engine_.globals();
    for (const auto& file : options->exceptedFiles)
        if (underFolder(path, file))
            return true;
    if (!options->exceptedProcesses.empty()) {
        std::string exe = readLink("/proc/" + std::to_string(pid) + "/exe");
        if (!exe.empty()) {
            std::string base = lowerAscii(exe.substr(exe.rfind('/') + 1));
            for (const auto& entry : options->exceptedProcesses) {
                if (entry.find('/') != std::string::npos ? entry == lowerAscii(exe) : entry == base)
                    return true;
            }
        }
    }
    return false;
}

bool OnAccess::decideAtOnce(Access& access) {
    if (access.pid == ownPid_)
        return true;
    struct stat& st = access.st;
    if (fstat(access.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return true;
    access.hasStat = true;
    if (auto db = engine_.db()) {
        bool needArchives = false;
        for (auto* instance : instances_)
            needArchives = needArchives || instance->archiveScan.load();
        if (engine_.cache().isClean(VerdictCache::Key::of(st), db->generation(), needArchives)) {
            access.knownClean = true;
            return true;
        }
    }
    if (access.kernel) {
        access.narrow = readLink("/proc/self/fd/" + std::to_string(access.fd));
        if (access.narrow.empty() || access.narrow[0] != '/')
            return true;
        access.path = fromUtf8(access.narrow);
    }
    if (!inScope(access.narrow))
        return true;
    if (excepted(access.narrow, access.pid))
        return true;
    if (!engine_.scanNetworkDrives()) {
        // The kind of file system per device, looked up once per worker.
        thread_local std::unordered_map<dev_t, bool> networkDevices;
        auto known = networkDevices.find(st.st_dev);
        if (known == networkDevices.end()) {
            struct statfs fs {};
            bool network = false;
            if (fstatfs(access.fd, &fs) == 0) {
                auto type = static_cast<uint64_t>(fs.f_type);
                network = type == 0x6969 || type == 0x517B || type == 0xFF534D42 || type == 0xFE534D42;
            }
            known = networkDevices.emplace(st.st_dev, network).first;
        }
        if (known->second)
            return true;
    }
    return false;
}

void OnAccess::enqueue(const std::shared_ptr<Access>& access) {
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        if (!stopping_) {
            queue_.push_back(access);
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = write(queueFd_, &one, sizeof one);
            return;
        }
    }
    answer(*access, QVAPI_OA_ALLOW);  // scanning stops: nobody would scan it
}

void OnAccess::process(qvapi_instance* instance, const std::shared_ptr<Access>& access) {
    ScanOutcome outcome = scanFile(engine_, instance, access->path, access->fd, access->deadline,
                                   access->hasStat ? &access->st : nullptr);
    QVAPI_OA_FILE_STATUS_DATA data{access->path.c_str(), access->pid, access->access};
    int32_t verdict = fireCallback(instance, QVAPI_CALLBACK_OA_FILE_STATUS, &data) == QVAPI_OA_DENY
                          ? QVAPI_OA_DENY
                          : QVAPI_OA_ALLOW;
    answer(*access, verdict);
    if (outcome.clean && outcome.result == 0 && verdict == QVAPI_OA_ALLOW)
        ignoreFromNowOn(access);
}

void OnAccess::handleKernelEvent(qvapi_instance* instance, const std::shared_ptr<Access>& access,
                                 bool permission) {
    if (!permission || decideAtOnce(*access)) {
        answer(*access, QVAPI_OA_ALLOW);
        if (access->knownClean)
            ignoreFromNowOn(access);
        return;
    }
    process(instance, access);
}

void OnAccess::handleKernelRead(qvapi_instance* instance, const char* buffer, ssize_t length) {
    // Every access read goes on the watchdog's list before the first of them is
    // scanned: one that waits here behind a slow scan is still allowed on time.
    const Deadline deadline = deadlineIn(engine_.oaScanTimeout());
    std::shared_ptr<Access> batch[kEventsPerRead];
    bool permission[kEventsPerRead] = {};
    size_t count = 0;
    auto* event = reinterpret_cast<const fanotify_event_metadata*>(buffer);
    for (; FAN_EVENT_OK(event, length) && count < kEventsPerRead; event = FAN_EVENT_NEXT(event, length)) {
        if (event->vers != FANOTIFY_METADATA_VERSION || event->fd < 0)
            continue;
        auto access = std::make_shared<Access>();
        access->fd = event->fd;
        access->kernel = true;
        access->pid = event->pid;
        access->access = (event->mask & FAN_OPEN_EXEC_PERM) ? QVAPI_OA_ACCESS_EXEC : QVAPI_OA_ACCESS_OPEN;
        access->deadline = deadline;
        permission[count] = (event->mask & kWatchMask) != 0;
        batch[count++] = std::move(access);
    }
    if (deadline != Deadline::max()) {
        std::lock_guard<std::mutex> guard(pendingLock_);
        for (size_t i = 0; i < count; ++i)
            pending_.emplace(batch[i].get(), batch[i]);
    }
    for (size_t i = 0; i < count; ++i)
        handleKernelEvent(instance, batch[i], permission[i]);
    if (deadline != Deadline::max()) {
        std::lock_guard<std::mutex> guard(pendingLock_);
        for (size_t i = 0; i < count; ++i)
            pending_.erase(batch[i].get());
    }
}

void OnAccess::workerMain(size_t index) {
    workerThread = true;
    qvapi_instance* instance = instances_[index];
    alignas(fanotify_event_metadata) char buffer[kEventsPerRead * sizeof(fanotify_event_metadata)];
    // A wait set of its own: an access wakes one worker, not all of them; the stop
    // wakes everyone.
    int waitSet = epoll_create1(EPOLL_CLOEXEC);
    if (waitSet < 0)
        return;
    auto watch = [&](int fd, uint32_t events) {
        epoll_event e{};
        e.events = events;
        e.data.fd = fd;
        epoll_ctl(waitSet, EPOLL_CTL_ADD, fd, &e);
    };
    watch(stopFd_, EPOLLIN);
    watch(queueFd_, EPOLLIN | EPOLLEXCLUSIVE);
    if (fanFd_ >= 0)
        watch(fanFd_, EPOLLIN | EPOLLEXCLUSIVE);
    for (;;) {
        // Right after an access the next one often follows within microseconds (a
        // program reads one file after the other): one worker at a time looks for it
        // for a short while before it goes to sleep, which saves the wake-up.
        if (workersStop_)
            break;
        if (fanFd_ >= 0 && !spinning_.exchange(true)) {
            const auto until = std::chrono::steady_clock::now() + kSpin;
            ssize_t length = -1;
            do {
                length = read(fanFd_, buffer, sizeof buffer);
            } while (length <= 0 && std::chrono::steady_clock::now() < until);
            spinning_ = false;
            if (length > 0) {
                handleKernelRead(instance, buffer, length);
                continue;
            }
        }
        epoll_event ready[3];
        int count = epoll_wait(waitSet, ready, 3, -1);
        if (count < 0 && errno != EINTR)
            break;
        bool stop = false, queued = false, kernel = false;
        for (int i = 0; i < count; ++i) {
            stop = stop || ready[i].data.fd == stopFd_;
            queued = queued || ready[i].data.fd == queueFd_;
            kernel = kernel || ready[i].data.fd == fanFd_;
        }
        if (stop)
            break;
        if (queued) {
            uint64_t value = 0;
            if (read(queueFd_, &value, sizeof value) == sizeof value) {
                std::shared_ptr<Access> access;
                {
                    std::lock_guard<std::mutex> guard(queueLock_);
                    if (!queue_.empty()) {
                        access = std::move(queue_.front());
                        queue_.pop_front();
                    }
                }
                if (access)
                    process(instance, access);
            }
        }
        if (kernel) {
            ssize_t length = read(fanFd_, buffer, sizeof buffer);
            if (length > 0)
                handleKernelRead(instance, buffer, length);
        }
    }
    close(waitSet);
}

void OnAccess::watchdogMain() {
    std::unique_lock<std::mutex> guard(pendingLock_);
    while (!watchdogStop_) {
        auto now = std::chrono::steady_clock::now();
        // New accesses are not announced: their time-outs (a second or more) are caught
        // by the next round.
        auto next = now + std::chrono::milliseconds(250);
        for (auto& [key, access] : pending_) {
            if (access->answered)
                continue;
            if (now >= access->deadline) {
                engine_.log(QVAPI_LOG_WARNING, "on-access: scan time-out, access allowed: " + access->narrow);
                answer(*access, QVAPI_OA_ALLOW);
            } else {
                next = std::min(next, access->deadline);
            }
        }
        pendingChanged_.wait_until(guard, next);
    }
}

int32_t OnAccess::inject(const wchar_t* path, int32_t pid, uint32_t accessKind, int32_t* verdict) {
    if (!path || !verdict)
        return QVAPI_E_INVALID_PARAMETER;
    *verdict = QVAPI_OA_ALLOW;
    if (!running_)
        return QVAPI_E_NOT_INITIALIZED;
    auto access = std::make_shared<Access>();
    access->path = path;
    access->narrow = toUtf8(path);
    access->pid = pid;
    access->access = accessKind;
    if (access->narrow.empty() || access->narrow[0] != '/')
        return QVAPI_E_NOT_ABSOLUTE;
    access->fd = open(access->narrow.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (access->fd < 0)
        return QVAPI_E_OPEN;
    if (decideAtOnce(*access))
        return QVAPI_OK;
    access->deadline = deadlineIn(engine_.oaScanTimeout());
    enqueue(access);
    std::unique_lock<std::mutex> guard(access->lock);
    if (access->deadline == Deadline::max()) {
        access->done.wait(guard, [&] { return access->decided; });
    } else if (!access->done.wait_until(guard, access->deadline, [&] { return access->decided; })) {
        guard.unlock();
        answer(*access, QVAPI_OA_ALLOW);
        guard.lock();
        *verdict = access->verdict;
        return access->verdict == QVAPI_OA_ALLOW ? QVAPI_E_TIMEOUT : QVAPI_OK;
    }
    *verdict = access->verdict;
    return QVAPI_OK;
}

}  // namespace qv
