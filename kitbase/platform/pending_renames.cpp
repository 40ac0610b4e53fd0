#include "kitbase/platform/pending_renames.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

// The list: UTF-8 paths, each ended by a NUL (no path can hold one), source and
// destination in turn.
std::mutex listMutex;

std::string listFolder() {
    return programDataFolder() + "/kitbase";
}

// Holds the list's lock file for its lifetime, so that several processes never
// rewrite the list at once.
class ListLock {
public:
    ListLock() : guard_(listMutex) {
        ensureFolder(listFolder());
        fd_ = open((pendingRenamesPath() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~ListLock() {
        if (fd_ >= 0)
            close(fd_);
    }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

private:
    std::lock_guard<std::mutex> guard_;
    int fd_ = -1;
};

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::vector<PendingRename> readList() {
    std::vector<PendingRename> list;
    const int fd = open(pendingRenamesPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return list;
    std::string data;
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end = data.find('\0'); end != std::string::npos; end = data.find('\0', start)) {
        parts.push_back(data.substr(start, end - start));
        start = end + 1;
    }
    // An unfinished last pair is not a rename.
    for (size_t i = 0; i + 1 < parts.size(); i += 2)
        list.emplace_back(utf8ToWide(parts[i]), utf8ToWide(parts[i + 1]));
    return list;
}

// Replaces the list by `list` in one step: written beside it, synced, renamed over
// it. 0 or the Windows error code.
DWORD writeList(const std::vector<PendingRename>& list) {
    const std::string path = pendingRenamesPath();
    if (list.empty()) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            return setLastErrorFromErrno();
        return 0;
    }
    std::string data;
    for (const PendingRename& entry : list) {
        data += wideToUtf8(entry.first);
        data += '\0';
        data += wideToUtf8(entry.second);
        data += '\0';
    }
    std::string temp = path + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return setLastErrorFromErrno();
    bool ok = writeAll(fd, data) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        return setLastErrorFromErrno(err);
    }
    return 0;
}

// Copies `from` over `to` (through a file beside `to` renamed into place), then
// removes `from`: a rename across file systems. 0 or errno.
int moveAcross(const std::string& from, const std::string& to) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0)
        return errno;
    struct stat status {};
    if (fstat(in, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(in);
        return EXDEV;
    }
    std::string temp = to + ".XXXXXX";
    const int out = mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        const int err = errno;
        close(in);
        return err;
    }
    int err = 0;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(in, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = errno;
            break;
        }
        if (n == 0)
            break;
        if (!writeAll(out, std::string(buffer, static_cast<size_t>(n)))) {
            err = errno;
            break;
        }
    }
    close(in);
    if (err == 0 && (fchmod(out, status.st_mode & 07777) != 0 || fsync(out) != 0))
        err = errno;
    if (close(out) != 0 && err == 0)
        err = errno;
    if (err == 0 && rename(temp.c_str(), to.c_str()) != 0)
        err = errno;
    if (err != 0) {
        unlink(temp.c_str());
        return err;
    }
    unlink(from.c_str());
    return 0;
}

}  // namespace

std::string pendingRenamesPath() {
    return listFolder() + "/PendingFileRenameOperations";
}

DWORD addPendingRename(const std::wstring& source, const std::wstring& destination) {
    if (source.empty() || destination.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    struct stat status {};
    if (lstat(wideToUtf8(source).c_str(), &status) != 0)
        return setLastErrorFromErrno();
    ListLock lock;
    std::vector<PendingRename> list = readList();
    list.emplace_back(source, destination);
    return writeList(list);
}

std::vector<PendingRename> readPendingRenames() {
    ListLock lock;
    return readList();
}

unsigned int applyPendingRenames(std::vector<PendingRenameFailure>* failures) {
    ListLock lock;
    const std::vector<PendingRename> list = readList();
    unsigned int done = 0;
    for (const PendingRename& entry : list) {
        const std::string from = wideToUtf8(entry.first);
        const std::string to = wideToUtf8(entry.second);
        int err = rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
        if (err == EXDEV)
            err = moveAcross(from, to);
        if (err == 0) {
            ++done;
        } else if (failures) {
            failures->push_back({entry, winErrorFromErrno(err)});
        }
    }
    if (!list.empty())
        writeList({});
    return done;
}

}  // namespace kitbase
