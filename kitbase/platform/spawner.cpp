#include "kitbase/platform/spawner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/winerror.h"

extern char** environ;

namespace kitbase {

namespace {

#ifndef SYS_pidfd_send_signal
constexpr long kSysPidfdSendSignal = 424;
#else
constexpr long kSysPidfdSendSignal = SYS_pidfd_send_signal;
#endif
#ifndef SYS_pidfd_open
constexpr long kSysPidfdOpen = 434;
#else
constexpr long kSysPidfdOpen = SYS_pidfd_open;
#endif
#ifndef SYS_close_range
constexpr long kSysCloseRange = 436;
#else
constexpr long kSysCloseRange = SYS_close_range;
#endif
constexpr unsigned int kCloseRangeCloexec = 1u << 2;

int openPidfd(pid_t pid) {
    long fd = syscall(kSysPidfdOpen, pid, 0);
    return fd < 0 ? -1 : static_cast<int>(fd);
}

DWORD exitCodeOf(int status) {
    if (WIFEXITED(status))
        return static_cast<DWORD>(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return 128u + static_cast<DWORD>(WTERMSIG(status));
    return STILL_ACTIVE;
}

// Collects children that nobody waits for any more. Each child is collected by its
// own process id, so exit codes of other children are never taken. The thread is
// started on first use and joined when the process ends.
class Reaper {
public:
    static Reaper& instance() {
        static Reaper reaper;
        return reaper;
    }

    void adopt(pid_t pid, int pidfd) {
        std::lock_guard<std::mutex> guard(lock_);
        children_.emplace_back(pid, pidfd);
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        wake();
    }

    ~Reaper() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
            wake();
        }
        if (thread_.joinable())
            thread_.join();
        for (auto& child : children_)
            if (child.second >= 0)
                close(child.second);
        if (wakeFd_ >= 0)
            close(wakeFd_);
    }

private:
    Reaper() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    void wake() {
        if (wakeFd_ >= 0) {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
        }
    }

    void run() {
        for (;;) {
            std::vector<pollfd> fds;
            bool needsPolling = wakeFd_ < 0;
            {
                std::lock_guard<std::mutex> guard(lock_);
                // Collect whatever has ended.
                for (size_t i = 0; i < children_.size();) {
                    pid_t r = waitpid(children_[i].first, nullptr, WNOHANG);
                    if (r == children_[i].first || (r < 0 && errno == ECHILD)) {
                        if (children_[i].second >= 0)
                            close(children_[i].second);
                        children_.erase(children_.begin() + static_cast<long>(i));
                    } else {
                        ++i;
                    }
                }
                if (stop_)
                    return;
                if (wakeFd_ >= 0)
                    fds.push_back({wakeFd_, POLLIN, 0});
                for (const auto& child : children_) {
                    if (child.second >= 0)
                        fds.push_back({child.second, POLLIN, 0});
                    else
                        needsPolling = true;
                }
            }
            // Without a process descriptor the children are looked at every 100 ms.
            int rc = poll(fds.data(), fds.size(), needsPolling ? 100 : -1);
            if (rc > 0 && wakeFd_ >= 0 && (fds[0].revents & POLLIN)) {
                uint64_t value;
                [[maybe_unused]] ssize_t n = read(wakeFd_, &value, sizeof value);
            }
        }
    }

    std::mutex lock_;
    std::vector<std::pair<pid_t, int>> children_;
    std::thread thread_;
    int wakeFd_;
    bool stop_ = false;
};

// What a child reports through its status pipe before exec (nothing when exec works).
struct ChildReport {
    int kind;   // 'P' process id of a detached grandchild, 'D' folder failed, 'E' exec failed
    int value;  // the process id or errno
};

void report(int fd, int kind, int value) {
    ChildReport r{kind, value};
    [[maybe_unused]] ssize_t n = write(fd, &r, sizeof r);
}

// Everything the child needs, prepared before the fork (the child only makes
// async-signal-safe calls).
struct LaunchPlan {
    std::string program;
    std::vector<std::string> args;
    std::vector<char*> argv;
    std::string folder;
};

bool prepare(const std::string& commandLine, const std::string& workingFolder, LaunchPlan& plan) {
    plan.args = splitCommandLine(commandLine);
    if (plan.args.empty() || plan.args[0].empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    plan.program = findProgram(plan.args[0]);
    if (plan.program.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    // A relative program path is the caller's, not the working folder's.
    if (plan.program[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd))
            plan.program = std::string(cwd) + "/" + plan.program;
    }
    for (auto& a : plan.args)
        plan.argv.push_back(a.data());
    plan.argv.push_back(nullptr);
    plan.folder = workingFolder;
    return true;
}

// In the child: folder, descriptors, signals, then the program. Never returns.
[[noreturn]] void runChild(const LaunchPlan& plan, int statusFd, bool detached) {
    if (detached) {
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2)
                close(null);
        }
    }
    if (!plan.folder.empty() && chdir(plan.folder.c_str()) != 0) {
        report(statusFd, 'D', errno);
        _exit(127);
    }
    // Nothing but the standard descriptors survives the exec (the status pipe is
    // close-on-exec already).
    if (syscall(kSysCloseRange, 3u, ~0u, kCloseRangeCloexec) != 0) {
        rlimit limit{};
        rlim_t max = (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
                         ? limit.rlim_cur
                         : 65536;
        for (int fd = 3; fd < static_cast<int>(max); ++fd)
            fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(plan.program.c_str(), plan.argv.data(), environ);
    report(statusFd, 'E', errno);
    _exit(127);
}

DWORD startError(const ChildReport& r) {
    if (r.kind == 'D')
        return ERROR_DIRECTORY;
    return r.value == 0 ? ERROR_INVALID_FUNCTION : winErrorFromErrno(r.value);
}

// Forks with all signals blocked, so no handler of ours runs in the child.
pid_t forkQuietly() {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = fork();
    if (pid != 0)
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return pid;
}

// Forks with a pipe on which the child reports how its start went: the parent gets
// the child's id and keeps the read end, the child gets 0 and keeps the write end.
// -1 with the last error set when neither the pipe nor the child could be made.
pid_t forkWithReportPipe(int pipeFds[2]) {
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        setLastErrorFromErrno();
        return -1;
    }
    pid_t pid = forkQuietly();
    if (pid < 0) {
        int err = errno;
        close(pipeFds[0]);
        close(pipeFds[1]);
        setLastErrorFromErrno(err);
        return -1;
    }
    if (pid == 0)
        close(pipeFds[0]);
    return pid;
}

bool readReport(int fd, ChildReport& r) {
    for (;;) {
        ssize_t n = read(fd, &r, sizeof r);
        if (n == static_cast<ssize_t>(sizeof r))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::vector<std::string> splitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    const size_t n = line.size();
    size_t i = 0;
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= n)
            break;
        std::string arg;
        bool inQuote = false;
        while (i < n) {
            char c = line[i];
            if (!inQuote && (c == ' ' || c == '\t'))
                break;
            if (c == '\\') {
                size_t count = 0;
                while (i < n && line[i] == '\\') {
                    ++count;
                    ++i;
                }
                if (i < n && line[i] == '"') {
                    arg.append(count / 2, '\\');
                    if (count % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(count, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (inQuote && i + 1 < n && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                    continue;
                }
                inQuote = !inQuote;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(arg);
    }
    return args;
}

std::string quoteCommandLineArgument(const std::string& text) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled and the quote escaped; others stay.
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    // Before the closing quote, backslashes are doubled too.
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

std::string quoteCommandLineArgumentIfNeeded(const std::string& text) {
    if (!text.empty() && text.find_first_of(" \t\"") == std::string::npos)
        return text;
    return quoteCommandLineArgument(text);
}

std::string findProgram(const std::string& name) {
    if (name.empty())
        return std::string();
    if (name.find('/') != std::string::npos)
        return name;
    std::vector<std::string> folders = {executableFolder(), systemFolder()};
    if (const char* path = getenv("PATH")) {
        std::string list = path;
        size_t start = 0;
        for (;;) {
            size_t end = list.find(':', start);
            std::string dir = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!dir.empty())
                folders.push_back(dir);
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    for (const auto& dir : folders) {
        std::string candidate = dir + "/" + name;
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::string();
}

ChildProcess::~ChildProcess() {
    release();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::exchange(other.pidfd_, -1)),
      ended_(std::exchange(other.ended_, false)),
      exitCode_(std::exchange(other.exitCode_, STILL_ACTIVE)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        release();
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::exchange(other.pidfd_, -1);
        ended_ = std::exchange(other.ended_, false);
        exitCode_ = std::exchange(other.exitCode_, STILL_ACTIVE);
    }
    return *this;
}

bool ChildProcess::start(const std::string& commandLine, const std::string& workingFolder) {
    if (running()) {
        SetLastError(ERROR_BUSY);
        return false;
    }
    release();
    LaunchPlan plan;
    if (!prepare(commandLine, workingFolder, plan))
        return false;
    int pipeFds[2];
    pid_t pid = forkWithReportPipe(pipeFds);
    if (pid < 0)
        return false;
    if (pid == 0)
        runChild(plan, pipeFds[1], false);
    close(pipeFds[1]);
    ChildReport r{};
    bool failed = readReport(pipeFds[0], r);
    close(pipeFds[0]);
    if (failed) {
        waitpid(pid, nullptr, 0);
        SetLastError(startError(r));
        return false;
    }
    pid_ = pid;
    pidfd_ = openPidfd(pid);
    ended_ = false;
    exitCode_ = STILL_ACTIVE;
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool ChildProcess::wait(DWORD timeoutMs) {
    if (ended_)
        return true;
    if (pid_ <= 0)
        return false;
    using Clock = std::chrono::steady_clock;
    const bool forever = timeoutMs == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            ended_ = true;
            exitCode_ = exitCodeOf(status);
            return true;
        }
        if (r < 0 && errno != EINTR) {
            // Nobody else reaps our children; treat a vanished child as ended.
            ended_ = true;
            exitCode_ = ERROR_INVALID_FUNCTION;
            return true;
        }
        long long left = -1;
        if (!forever) {
            left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
        }
        if (pidfd_ >= 0) {
            pollfd p{pidfd_, POLLIN, 0};
            int slice = (left < 0 || left > INT_MAX) ? (left < 0 ? -1 : INT_MAX) : static_cast<int>(left);
            poll(&p, 1, slice);
        } else {
            long long step = (left < 0 || left > 5) ? 5 : left;
            std::this_thread::sleep_for(std::chrono::milliseconds(step));
        }
    }
}

bool ChildProcess::signal(int signalNumber) {
    if (!running() || pidfd_ < 0)
        return false;
    return syscall(kSysPidfdSendSignal, pidfd_, signalNumber, nullptr, 0) == 0;
}

void ChildProcess::release() {
    if (pid_ > 0 && !ended_) {
        Reaper::instance().adopt(pid_, pidfd_);
    } else if (pidfd_ >= 0) {
        close(pidfd_);
    }
    pid_ = -1;
    pidfd_ = -1;
    ended_ = false;
    exitCode_ = STILL_ACTIVE;
}

bool spawnDetached(const std::string& commandLine, const std::string& workingFolder, pid_t* pid) {
    LaunchPlan plan;
    if (!prepare(commandLine, workingFolder, plan))
        return false;
    int pipeFds[2];
    pid_t middle = forkWithReportPipe(pipeFds);
    if (middle < 0)
        return false;
    if (middle == 0) {
        // The middle process opens the new session, starts the program and leaves, so
        // the program is adopted by init (or the nearest subreaper).
        setsid();
        pid_t grandchild = fork();
        if (grandchild == 0)
            runChild(plan, pipeFds[1], true);
        report(pipeFds[1], grandchild < 0 ? 'E' : 'P', grandchild < 0 ? errno : grandchild);
        _exit(0);
    }
    close(pipeFds[1]);
    pid_t started = -1;
    DWORD error = ERROR_SUCCESS;
    ChildReport r{};
    while (readReport(pipeFds[0], r)) {
        if (r.kind == 'P')
            started = r.value;
        else
            error = startError(r);
    }
    close(pipeFds[0]);
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (error == ERROR_SUCCESS && started <= 0)
        error = ERROR_INVALID_FUNCTION;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return false;
    }
    if (pid)
        *pid = started;
    SetLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace kitbase
