#include "kitbase/core/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_set>

#include "kitbase/core/folders.h"
#include "kitbase/core/md5.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/private_files.h"
#include "kitbase/platform/wildcard.h"
#include "kitbase/platform/winerror.h"

namespace {

std::string narrow(const std::wstring& path) {
    return WS2S(path);
}

std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty())
        return name;
    if (folder.back() == L'/')
        return folder + name;
    return folder + L"/" + name;
}

// ---- temporary names -------------------------------------------------------------

// A 32-bit number from the system's secure random source; when that fails, from a
// generator seeded per process with the time, the process id and the thread.
uint32_t drawNumber() {
    uint32_t number = 0;
    if (getrandom(&number, sizeof number, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof number))
        return number;
    static std::mutex lock;
    static std::mt19937 generator([] {
        std::seed_seq seed{static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
                           static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()),
                           static_cast<uint32_t>(getpid()),
                           static_cast<uint32_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()))};
        return std::mt19937(seed);
    }());
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<uint32_t>(generator());
}

// Numbers this process has handed out, so that no name is given twice.
bool claimNumber(uint32_t number) {
    static std::mutex lock;
    static std::unordered_set<uint32_t> issued;
    std::lock_guard<std::mutex> guard(lock);
    return issued.insert(number).second;
}

bool pathPresent(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// ---- directory listing -----------------------------------------------------------

// Splits folder / pattern into the folder to read and the wildcard of the names.
void splitPattern(const std::wstring& folder, const std::wstring& pattern, std::wstring& dir,
                  std::wstring& mask) {
    size_t slash = pattern.rfind(L'/');
    if (slash == std::wstring::npos) {
        dir = folder;
        mask = pattern;
    } else {
        dir = joinPath(folder, pattern.substr(0, slash));
        mask = pattern.substr(slash + 1);
    }
    if (dir.empty())
        dir = L".";
}

// Calls visit(name) for every entry of the folder whose name matches the mask, "."
// and ".." included, in directory order. `dirFd` is the open folder for *at calls.
template <class Visit>
void forEachMatch(const std::wstring& dir, const std::wstring& mask, Visit visit) {
    DIR* d = opendir(narrow(dir).c_str());
    if (!d)
        return;
    while (dirent* entry = readdir(d)) {
        std::wstring name = S2WS(entry->d_name);
        if (kitbase::wildcardMatch(mask, name))
            visit(dirfd(d), entry->d_name, name);
    }
    closedir(d);
}

// True for a regular file that can be opened for reading; symbolic links are not
// followed and FIFOs, sockets and devices are never opened.
bool isReadableRegularAt(int dirFd, const char* name) {
    struct stat st;
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return false;
    int fd = openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    return regular;
}

// ---- whole files -----------------------------------------------------------------

unsigned int readWholeFile(const std::wstring& path, std::string& content) {
    int fd = open(narrow(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return 1;
    std::string data;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return 2;
        }
        if (n == 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    content = std::move(data);
    return 0;
}

// ---- privileges ------------------------------------------------------------------

struct PrivilegeName {
    const wchar_t* name;
    int capability;
};

// The privileges the system switches, with the capability that grants the same right.
constexpr PrivilegeName kPrivileges[] = {
    {L"setakeownershipprivilege", CAP_CHOWN},    {L"serestoreprivilege", CAP_DAC_OVERRIDE},
    {L"sebackupprivilege", CAP_DAC_READ_SEARCH}, {L"sesecurityprivilege", CAP_FOWNER},
    {L"sedebugprivilege", CAP_SYS_PTRACE},       {L"seshutdownprivilege", CAP_SYS_BOOT},
};

bool lookupPrivilege(const wchar_t* name, int& capability) {
    if (!name)
        return false;
    std::wstring key = lower(std::wstring(name));
    for (const PrivilegeName& p : kPrivileges)
        if (key == p.name) {
            capability = p.capability;
            return true;
        }
    return false;
}

struct Capabilities {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
};

bool readCapabilities(Capabilities& caps) {
    return syscall(SYS_capget, &caps.header, caps.data) == 0;
}

bool capabilityEffective(int capability) {
    Capabilities caps;
    return readCapabilities(caps) && (caps.data[capability / 32].effective & (1u << (capability % 32)));
}

constexpr mode_t kOwnedFolderMode = 0755;

}  // namespace

unsigned int GenerateTmpFileName(std::wstring& path) {
    const std::wstring& folder = getTmp();
    uint32_t number = 0;
    std::wstring candidate;
    // A handful of draws is plenty; the bound only guards against a broken source.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        number = drawNumber();
        candidate = createPath(folder, std::to_wstring(number) + L".tmp");
        if (!claimNumber(number) || pathPresent(narrow(candidate)))
            continue;
        // The name is taken by creating the file, exclusively and private, so that no
        // one can put a file or a link there before the caller opens it.
        int fd = kitbase::createExclusive(narrow(candidate), kitbase::kSecretFileMode, false);
        if (fd >= 0) {
            close(fd);
            break;
        }
    }
    path = candidate;
    return number;
}

std::wstring GenerateTmpFileName() {
    std::wstring path;
    GenerateTmpFileName(path);
    return path;
}

bool checkHash(const std::wstring& path, const std::wstring& md5) {
    std::wstring digest = MD5FileW(path);
    return !digest.empty() && digest == md5;
}

bool fileExists(const std::wstring& path) {
    struct stat st;
    return stat(narrow(path).c_str(), &st) == 0;
}

bool isDirectory(const std::wstring& path) {
    struct stat st;
    return stat(narrow(path).c_str(), &st) == 0 && isDirectory(st);
}

bool isDirectory(const struct stat& status) {
    return S_ISDIR(status.st_mode);
}

bool isRegularFile(const std::wstring& path) {
    return isReadableRegularAt(AT_FDCWD, narrow(path).c_str());
}

bool isRegularFile(const struct stat& status) {
    return S_ISREG(status.st_mode);
}

bool isHardLink(const struct stat&) {
    return false;
}

uint32_t tgetFileSize(const std::wstring& path) {
    struct stat st;
    if (stat(narrow(path).c_str(), &st) != 0)
        return static_cast<uint32_t>(-1);
    return static_cast<uint32_t>(static_cast<uint64_t>(st.st_size));
}

int64_t tgetFileCDate(const std::wstring& path) {
    struct statx sx;
    if (statx(AT_FDCWD, narrow(path).c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return -1;
    if (sx.stx_mask & STATX_BTIME)
        return sx.stx_btime.tv_sec;
    // No birth time recorded: the earliest of the times the file system keeps.
    return std::min<int64_t>(sx.stx_mtime.tv_sec, sx.stx_ctime.tv_sec);
}

int64_t tgetFileMDate(const std::wstring& path) {
    struct stat st;
    if (stat(narrow(path).c_str(), &st) != 0)
        return -1;
    return st.st_mtime;
}

int64_t getChangedTime(const std::wstring& path) {
    return tgetFileMDate(path);
}

unsigned int copyfile(const std::wstring& from, const std::wstring& to) {
    FILE* in = fopen(narrow(from).c_str(), "rbe");
    if (!in) {
        __trace__.error(L"Cannot open source file for reading:%s", from);
        return COPYFILE_CANNOT_OPEN;
    }
    // Opening the target empties it: refuse when it is the source itself.
    struct stat source, target;
    if (fstat(fileno(in), &source) == 0 && stat(narrow(to).c_str(), &target) == 0 &&
        source.st_dev == target.st_dev && source.st_ino == target.st_ino) {
        __trace__.error(L"Cannot copy '%ls' onto itself", from);
        fclose(in);
        return COPYFILE_FAILED;
    }
    FILE* out = fopen(narrow(to).c_str(), "wbe");
    if (!out) {
        __trace__.error(L"Cannot open destination file for writing:%s", to);
        fclose(in);
        return COPYFILE_CANNOT_OPEN;
    }
    const bool regularTarget = fstat(fileno(out), &target) == 0 && S_ISREG(target.st_mode);

    int err = 0;
    char buffer[65536];
    for (;;) {
        size_t n = fread(buffer, 1, sizeof buffer, in);
        if (n > 0 && fwrite(buffer, 1, n, out) != n) {
            err = errno ? errno : EIO;
            break;
        }
        if (n < sizeof buffer) {
            if (ferror(in))
                err = errno ? errno : EIO;
            break;
        }
    }
    if (!err && fflush(out) != 0)
        err = errno ? errno : EIO;
    if (fclose(out) != 0 && !err)
        err = errno ? errno : EIO;
    fclose(in);
    if (!err)
        return COPYFILE_OK;

    DWORD code = winErrorFromErrno(err);
    __trace__.error(L"Cannot copy '%ls' to '%ls'. Error %u: '%ls'", from, to, code, tgetErrorString(code));
    // Leave no partial copy behind; devices and pipes are not ours to remove.
    if (regularTarget)
        unlink(narrow(to).c_str());
    SetLastError(code);
    return COPYFILE_FAILED;
}

int removeFiles(const std::wstring& folder, const std::wstring& pattern) {
    std::wstring dir, mask;
    splitPattern(folder, pattern, dir, mask);
    int removed = 0;
    forEachMatch(dir, mask, [&](int dirFd, const char* raw, const std::wstring& name) {
        if (name == L"." || name == L"..")
            return;
        __trace__.debug(L"Erasing file: %ls", name);
        if (unlinkat(dirFd, raw, 0) == 0)
            ++removed;
        else
            __trace__.error(L"Can not erase file %ls", joinPath(dir, name));
    });
    return removed;
}

int listFiles(const std::wstring& folder, const std::wstring& pattern, std::vector<std::wstring>& out,
              bool fullPath) {
    // There is no file-system redirection to switch off here: every program sees the
    // system folders as they are.
    std::wstring dir, mask;
    splitPattern(folder, pattern, dir, mask);
    int count = 0;
    bool first = true;
    forEachMatch(dir, mask, [&](int dirFd, const char* raw, const std::wstring& name) {
        if (first) {
            out.clear();
            first = false;
        }
        if (name == L"." || name == L"..")
            return;
        if (!isReadableRegularAt(dirFd, raw))
            return;
        out.push_back(fullPath ? joinPath(dir, name) : name);
        ++count;
    });
    return count;
}

unsigned int getConfFileContent(const std::wstring& path, std::string& content) {
    return readWholeFile(path, content);
}

unsigned int getLogFileContent(const std::wstring& path, std::string& content, std::string& extra) {
    extra.clear();
    return readWholeFile(path, content);
}

BOOL SetPrivilege(HANDLE /*token*/, const wchar_t* privilege, BOOL enable) {
    int capability = 0;
    if (!lookupPrivilege(privilege, capability)) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        __trace__.debug(L"LookupPrivilegeValue error: %u\n", GetLastError());
        return FALSE;
    }
    Capabilities caps;
    if (!readCapabilities(caps)) {
        __trace__.debug(L"AdjustTokenPrivileges error: %u\n", setLastErrorFromErrno());
        return FALSE;
    }
    __u32& effective = caps.data[capability / 32].effective;
    const __u32 bit = 1u << (capability % 32);
    if (enable && !(caps.data[capability / 32].permitted & bit)) {
        SetLastError(ERROR_NOT_ALL_ASSIGNED);
        __trace__.debug(L"The token does not have the specified privilege. \n");
        return FALSE;
    }
    effective = enable ? (effective | bit) : (effective & ~bit);
    if (syscall(SYS_capset, &caps.header, caps.data) != 0) {
        __trace__.debug(L"AdjustTokenPrivileges error: %u\n", setLastErrorFromErrno());
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL TakeOwnership(const wchar_t* path) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        __trace__.debug(L"First SetNamedSecurityInfo call failed: %u\n", GetLastError());
        return FALSE;
    }
    // Work on the folder itself through one descriptor, never through a link.
    int fd = open(narrow(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        __trace__.debug(L"First SetNamedSecurityInfo call failed: %u\n", setLastErrorFromErrno());
        return FALSE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        __trace__.debug(L"First SetNamedSecurityInfo call failed: %u\n", setLastErrorFromErrno());
        close(fd);
        return FALSE;
    }
    // Owned by root, the mode alone decides who may change the folder. Any other owner
    // could change the mode back, which counts as the first attempt being refused.
    if (st.st_uid == 0) {
        if (fchmod(fd, kOwnedFolderMode) == 0) {
            __trace__.debug(L"Successfully changed DACL\n");
            close(fd);
            return TRUE;
        }
        if (errno != EPERM && errno != EACCES) {
            __trace__.debug(L"First SetNamedSecurityInfo call failed: %u\n", setLastErrorFromErrno());
            close(fd);
            return FALSE;
        }
    }

    const wchar_t* privilege = L"SeTakeOwnershipPrivilege";
    // Restore the privilege afterwards to the state it had, so that a process that
    // holds it all the time keeps it.
    const bool wasEnabled = capabilityEffective(CAP_CHOWN);
    if (!SetPrivilege(nullptr, privilege, TRUE)) {
        __trace__.debug(L"You must be logged on as Administrator.\n");
        close(fd);
        return FALSE;
    }
    if (fchown(fd, 0, 0) != 0) {
        __trace__.debug(L"Could not set owner. Error: %u\n", setLastErrorFromErrno());
        if (!wasEnabled)
            SetPrivilege(nullptr, privilege, FALSE);
        close(fd);
        return FALSE;
    }
    if (!wasEnabled && !SetPrivilege(nullptr, privilege, FALSE)) {
        __trace__.debug(L"Failed SetPrivilege call unexpectedly.\n");
        close(fd);
        return FALSE;
    }
    if (fchmod(fd, kOwnedFolderMode) != 0) {
        __trace__.debug(L"Second SetNamedSecurityInfo call failed: %u\n", setLastErrorFromErrno());
        close(fd);
        return FALSE;
    }
    __trace__.debug(L"Successfully changed DACL\n");
    close(fd);
    return TRUE;
}
