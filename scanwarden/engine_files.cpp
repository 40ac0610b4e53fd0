#include "scanwarden/engine_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "kitbase/core/files.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/winerror.h"

namespace {

// Closes a descriptor on every path out.
class FdCloser {
public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Copies `from` over `to` through a temporary file in the target's folder that is
// renamed over the target once complete (an engine that maps the old file keeps its
// mapping; nobody ever sees a half-written file). Returns 0 or a Windows error code,
// which is also left as the thread's last error.
DWORD copyOver(const std::wstring& from, const std::wstring& to) {
    const std::string source = WS2S(from);
    const std::string target = WS2S(to);

    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return setLastErrorFromErrno();
    FdCloser inCloser(in);
    struct stat status {};
    if (::fstat(in, &status) != 0)
        return setLastErrorFromErrno();
    if (S_ISDIR(status.st_mode))
        return setLastErrorFromErrno(EISDIR);

    std::string temporary = target + ".copy.XXXXXX";
    const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (out < 0)
        return setLastErrorFromErrno();
    FdCloser outCloser(out);

    int failure = 0;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failure = errno;
            break;
        }
        if (n == 0)
            break;
        if (!writeAll(out, buffer.data(), static_cast<size_t>(n))) {
            failure = errno;
            break;
        }
    }
    if (failure == 0 && ::fchmod(out, status.st_mode & 07777) != 0)
        failure = errno;
    if (failure == 0 && ::fsync(out) != 0)
        failure = errno;
    if (::close(outCloser.release()) != 0 && failure == 0)
        failure = errno;
    if (failure == 0 && ::rename(temporary.c_str(), target.c_str()) != 0)
        failure = errno;
    if (failure != 0) {
        ::unlink(temporary.c_str());
        return setLastErrorFromErrno(failure);
    }
    SetLastError(ERROR_SUCCESS);
    return ERROR_SUCCESS;
}

DWORD movePath(const std::wstring& from, const std::wstring& to) {
    if (::rename(WS2S(from).c_str(), WS2S(to).c_str()) != 0)
        return setLastErrorFromErrno();
    return ERROR_SUCCESS;
}

}  // namespace

unsigned int copyFiles(const std::wstring& source, const std::wstring& destination,
                       const std::vector<std::wstring>& names) {
    __trace__.debug(L"\tStart Copy %d files from '%ls' to '%ls'", static_cast<int>(names.size()), source,
                    destination);
    // A folder that vanished entirely is recreated so that it can be restored.
    kitbase::ensureFolder(WS2S(destination));

    int copied = 0;
    bool aborted = false;
    for (const std::wstring& name : names) {
        const std::wstring from = createPath(source, name);
        const std::wstring to = createPath(destination, name);
        const DWORD code = copyOver(from, to);
        if (code == ERROR_SUCCESS) {
            ++copied;
            continue;
        }
        if (code == ERROR_FILE_NOT_FOUND) {
            aborted = true;
            break;
        }
        __trace__.debug(L"\tCannot copy %ls to %ls.Code %d:%ls. Renaming destination file.", from, to,
                        static_cast<int>(code), tgetErrorString(code));
        const std::wstring parked = to + L".tmp";
        ::unlink(WS2S(parked).c_str());
        if (movePath(to, parked) != ERROR_SUCCESS) {
            __trace__.debug(L"\tUpdate error: cannot rename destination file %ls to '%ls.tmp'", to, to);
            aborted = true;
            break;
        }
        __trace__.debug(L"\tDestination File renamed to %ls.tmp. Attempting to copy again", to);
        const DWORD again = copyOver(from, to);
        if (again != ERROR_SUCCESS) {
            __trace__.debug(L"\tError: Still cannot copy %ls to %ls.Code %d:%ls. Aborting.", from, to,
                            static_cast<int>(again), tgetErrorString(again));
            // Give the engine its file back: the folder never loses a file.
            if (movePath(parked, to) != ERROR_SUCCESS)
                __trace__.debug(L"\tUpdate error: cannot rename destination file %ls to '%ls.tmp'", to, to);
            aborted = true;
            break;
        }
        __trace__.debug(L"\tSuccessfully copied %ls to %ls", from, to);
        ++copied;
    }

    if (aborted) {
        __trace__.debug(L"\tThis is a fatal error. Aborting.");
        __trace__.debug(L"\tFileCopy ended with errors: Errors:%d Successfully copied %d : %ls to %ls", 1,
                        copied, source, destination);
        return COPY_ABORTED;
    }
    __trace__.debug(L"\tSuccessfully copied %d files from %ls to %ls", copied, source, destination);
    return 0;
}

unsigned int synchronizeFolders(const std::wstring& source, const std::wstring& destination) {
    __trace__.debug(L"Synchronizing '%ls' to '%ls' ", source, destination);
    std::vector<std::wstring> names;
    if (listFiles(source, L"*.*", names, false) <= 0) {
        __trace__.debug(L"ERROR:Cannot synchronize '%ls' to '%ls' ", source, destination);
        return SYNC_NO_FILES;
    }
    if (copyFiles(source, destination, names) == 0) {
        __trace__.debug(L"Successfully synchronized '%ls' to '%ls' ", source, destination);
        return 0;
    }
    __trace__.debug(L"Directory Sync failed: cannot copy the engine files in the '%ls' folder", destination);
    return SYNC_COPY_FAILED;
}

void cleanMalwareNameFiles() {
    removeFiles(getTmp(), L"AV-malware-names-*");
}
