#include "kitbase/platform/proclist.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

std::atomic<Wow64Probe> g_wow64Probe{nullptr};

bool realWow64Probe() {
    if (sizeof(void*) == 8)
        return false;
    utsname name{};
    return uname(&name) == 0 && std::strstr(name.machine, "64") != nullptr;
}

std::string baseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool readSmallFile(int dirfd, const char* name, std::string& out) {
    int fd = openat(dirfd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int err = errno;
            close(fd);
            errno = err;
            return n == 0;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

bool readLinkAt(int dirfd, const char* name, std::string& out) {
    char buf[PATH_MAX];
    ssize_t n = readlinkat(dirfd, name, buf, sizeof buf - 1);
    if (n <= 0)
        return false;
    out.assign(buf, static_cast<size_t>(n));
    return true;
}

bool isDeleted(const std::string& path) {
    static const std::string suffix = " (deleted)";
    return path.size() >= suffix.size() &&
           path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Parent id and short name from "stat": "pid (comm) state ppid ...".
bool parseStat(const std::string& stat, pid_t& parent, std::string& comm) {
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    comm = stat.substr(open + 1, close - open - 1);
    int ppid = 0;
    char state = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2)
        return false;
    parent = ppid;
    return true;
}

}  // namespace

bool listProcesses(std::vector<ProcessEntry>& result) {
    result.clear();
    DIR* proc = opendir("/proc");
    if (!proc) {
        setLastErrorFromErrno();
        return false;
    }
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || !end || *end != '\0')
            continue;
        int procFd = openat(dirfd(proc), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (procFd < 0)
            continue;
        ProcessEntry e;
        e.pid = static_cast<pid_t>(pid);
        std::string stat, comm;
        if (!readSmallFile(procFd, "stat", stat) || !parseStat(stat, e.parent, comm)) {
            close(procFd);
            continue;
        }
        std::string exe, cmdline;
        if (readLinkAt(procFd, "exe", exe) && !isDeleted(exe)) {
            e.name = baseName(exe);
        } else if (readSmallFile(procFd, "cmdline", cmdline) && !cmdline.empty() && cmdline[0] != '\0') {
            e.name = baseName(std::string(cmdline.c_str()));
        } else {
            e.name = comm;
        }
        close(procFd);
        result.push_back(std::move(e));
    }
    closedir(proc);
    std::sort(result.begin(), result.end(),
              [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; });
    return true;
}

bool processAlive(pid_t pid) {
    if (pid <= 0)
        return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = std::fopen(path, "re");
    if (!f)
        return false;
    char buf[512] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    std::string stat(buf, n);
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return false;
    char state = stat[close + 2];
    return state != 'Z' && state != 'X';
}

std::vector<pid_t> descendantsOf(pid_t pid, const std::vector<ProcessEntry>& processes) {
    std::multimap<pid_t, pid_t> children;
    for (const auto& p : processes)
        children.emplace(p.parent, p.pid);
    std::vector<pid_t> result;
    std::vector<pid_t> pending = {pid};
    std::set<pid_t> seen = {pid};
    while (!pending.empty()) {
        pid_t current = pending.back();
        pending.pop_back();
        auto range = children.equal_range(current);
        for (auto it = range.first; it != range.second; ++it) {
            if (seen.insert(it->second).second) {
                result.push_back(it->second);
                pending.push_back(it->second);
            }
        }
    }
    return result;
}

ProcessHandle::~ProcessHandle() {
    if (dirfd_ >= 0)
        close(dirfd_);
}

namespace {
#ifndef SYS_pidfd_open
constexpr long kSysPidfdOpen = 434;
#else
constexpr long kSysPidfdOpen = SYS_pidfd_open;
#endif
#ifndef SYS_pidfd_send_signal
constexpr long kSysPidfdSendSignal = 424;
#else
constexpr long kSysPidfdSendSignal = SYS_pidfd_send_signal;
#endif
}  // namespace

bool terminateProcess(pid_t pid, bool* opened) {
    long fd = syscall(kSysPidfdOpen, pid, 0);
    if (opened)
        *opened = fd >= 0;
    if (fd < 0) {
        setLastErrorFromErrno();
        return false;
    }
    long rc = syscall(kSysPidfdSendSignal, static_cast<int>(fd), SIGKILL, nullptr, 0);
    int err = errno;
    close(static_cast<int>(fd));
    if (rc != 0) {
        setLastErrorFromErrno(err);
        return false;
    }
    return true;
}

bool ProcessHandle::open(pid_t pid) {
    if (dirfd_ >= 0) {
        close(dirfd_);
        dirfd_ = -1;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d", static_cast<int>(pid));
    dirfd_ = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd_ < 0) {
        // A process that is gone is an invalid parameter, as for an unknown id.
        SetLastError(errno == ENOENT ? ERROR_INVALID_PARAMETER : winErrorFromErrno(errno));
        return false;
    }
    pid_ = pid;
    return true;
}

bool ProcessHandle::priority(int& nice) const {
    if (dirfd_ < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    errno = 0;
    int value = getpriority(PRIO_PROCESS, static_cast<id_t>(pid_));
    if (value == -1 && errno != 0) {
        setLastErrorFromErrno();
        return false;
    }
    nice = value;
    return true;
}

bool ProcessHandle::modules(std::vector<std::string>& out) const {
    out.clear();
    if (dirfd_ < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    std::string maps;
    if (!readSmallFile(dirfd_, "maps", maps)) {
        setLastErrorFromErrno(errno ? errno : EACCES);
        return false;
    }
    std::set<std::string> seen;
    std::string exe;
    if (readLinkAt(dirfd_, "exe", exe) && !isDeleted(exe)) {
        out.push_back(exe);
        seen.insert(exe);
    }
    size_t pos = 0;
    while (pos < maps.size()) {
        size_t end = maps.find('\n', pos);
        if (end == std::string::npos)
            end = maps.size();
        // address perms offset dev inode path: the path is the first "/" after the inode.
        size_t slash = maps.find('/', pos);
        if (slash != std::string::npos && slash < end) {
            std::string path = maps.substr(slash, end - slash);
            if (!isDeleted(path) && path.rfind("/dev/", 0) != 0 && path.rfind("/memfd:", 0) != 0 &&
                seen.insert(path).second)
                out.push_back(path);
        }
        pos = end + 1;
    }
    return true;
}

bool isWow64Process() {
    Wow64Probe probe = g_wow64Probe.load();
    return probe ? probe() : realWow64Probe();
}

void setWow64Probe(Wow64Probe probe) {
    g_wow64Probe.store(probe);
}

}  // namespace kitbase
