#include "kitbase/platform/named_objects.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

constexpr size_t kMaxFileName = 255;
constexpr mode_t kObjectMode = 0600;

// A holder of a named mutex may be probed by exists() for an instant; an attempt to
// own it is repeated this often before it counts as held by someone else.
constexpr int kOwnAttempts = 4;
constexpr auto kOwnRetryPause = std::chrono::milliseconds(2);

// Layout of an event file: the signalled word at offset 0. Byte-range locks (open
// file description locks, so they belong to the handle, not the process): byte 0
// serialises creating and opening, byte 1 is held shared by every open handle.
constexpr off_t kEventFileSize = 16;
constexpr off_t kGuardByte = 0;
constexpr off_t kPresenceByte = 1;

DWORD lastErrno() {
    int err = errno;
    return err ? winErrorFromErrno(err) : ERROR_INVALID_FUNCTION;
}

DWORD fail(DWORD code) {
    SetLastError(code);
    return code;
}

bool rangeLock(int fd, short type, off_t offset, bool wait) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    int rc;
    do {
        rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (rc == -1 && errno == EINTR);
    return rc == 0;
}

// Whether a handle other than `fd` holds a lock on the byte.
bool rangeHeldByOther(int fd, off_t offset, bool& held) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0)
        return false;
    held = lock.l_type != F_UNLCK;
    return true;
}

long futex(uint32_t* word, int op, uint32_t value, const timespec* timeout) {
    return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

}  // namespace

DWORD namedObjectPath(const std::wstring& name, const char* kind, std::string& path) {
    if (name.empty())
        return fail(ERROR_INVALID_NAME);
    static const char hex[] = "0123456789ABCDEF";
    std::string file = std::string(kind) + "-";
    for (unsigned char c : wideToUtf8(name)) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '_';
        if (plain) {
            file += static_cast<char>(c);
        } else {
            file += '%';
            file += hex[c >> 4];
            file += hex[c & 0xF];
        }
    }
    if (file.size() > kMaxFileName)
        return fail(ERROR_FILENAME_EXCED_RANGE);
    std::string folder = runFolder();
    errno = 0;
    if (!ensureFolder(folder))
        return fail(lastErrno());
    path = folder + "/" + file;
    return ERROR_SUCCESS;
}

// ---- named mutex ----

DWORD NamedMutexHandle::create(const std::wstring& name, std::unique_ptr<NamedMutexHandle>& out) {
    out.reset();
    std::string path;
    if (DWORD code = namedObjectPath(name, "mutex", path))
        return code;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kObjectMode);
    if (fd < 0)
        return fail(lastErrno());
    std::unique_ptr<NamedMutexHandle> handle(new NamedMutexHandle(fd));
    for (int attempt = 0; attempt < kOwnAttempts; ++attempt) {
        if (attempt)
            std::this_thread::sleep_for(kOwnRetryPause);
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            handle->owned_ = true;
            out = std::move(handle);
            SetLastError(ERROR_SUCCESS);
            return ERROR_SUCCESS;
        }
        if (errno != EWOULDBLOCK && errno != EINTR)
            return fail(lastErrno());
    }
    out = std::move(handle);
    return fail(ERROR_ALREADY_EXISTS);
}

bool NamedMutexHandle::exists(const std::wstring& name) {
    std::string path;
    if (namedObjectPath(name, "mutex", path))
        return false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    // A shared probe: it never conflicts with another probe, only with an owner.
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

NamedMutexHandle::~NamedMutexHandle() {
    release();
    ::close(fd_);
}

void NamedMutexHandle::release() {
    if (owned_)
        flock(fd_, LOCK_UN);
    owned_ = false;
}

// ---- named event ----

DWORD NamedEventHandle::create(const std::wstring& name, std::unique_ptr<NamedEventHandle>& out) {
    return attach(name, true, out);
}

DWORD NamedEventHandle::open(const std::wstring& name, std::unique_ptr<NamedEventHandle>& out) {
    return attach(name, false, out);
}

DWORD NamedEventHandle::attach(const std::wstring& name, bool mayCreate,
                               std::unique_ptr<NamedEventHandle>& out) {
    out.reset();
    std::string path;
    if (DWORD code = namedObjectPath(name, "event", path))
        return code;
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (mayCreate ? O_CREAT : 0);
    int fd = ::open(path.c_str(), flags, kObjectMode);
    if (fd < 0)
        return fail(lastErrno());
    auto giveUp = [fd](DWORD code) {
        ::close(fd);  // drops the locks this descriptor holds
        return fail(code);
    };
    if (!rangeLock(fd, F_WRLCK, kGuardByte, true))
        return giveUp(lastErrno());
    bool inUse = false;
    if (!rangeHeldByOther(fd, kPresenceByte, inUse))
        return giveUp(lastErrno());
    if (!inUse && !mayCreate)
        return giveUp(ERROR_FILE_NOT_FOUND);
    struct stat st = {};
    if (fstat(fd, &st) != 0)
        return giveUp(lastErrno());
    if (!inUse) {
        // Nobody holds it: whatever an earlier holder left behind is discarded.
        if (ftruncate(fd, 0) != 0 || ftruncate(fd, kEventFileSize) != 0)
            return giveUp(lastErrno());
    } else if (st.st_size < kEventFileSize) {
        if (ftruncate(fd, kEventFileSize) != 0)
            return giveUp(lastErrno());
    }
    if (!rangeLock(fd, F_RDLCK, kPresenceByte, false))
        return giveUp(lastErrno());
    rangeLock(fd, F_UNLCK, kGuardByte, false);
    void* map = mmap(nullptr, kEventFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return giveUp(lastErrno());
    out.reset(new NamedEventHandle(fd, static_cast<uint32_t*>(map)));
    DWORD code = inUse && mayCreate ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    SetLastError(code);
    return code;
}

NamedEventHandle::~NamedEventHandle() {
    munmap(word_, kEventFileSize);
    ::close(fd_);
}

void NamedEventHandle::set() {
    std::atomic_ref<uint32_t>(*word_).store(1);
    futex(word_, FUTEX_WAKE, INT_MAX, nullptr);
}

void NamedEventHandle::reset() {
    std::atomic_ref<uint32_t>(*word_).store(0);
}

NamedEventHandle::WaitResult NamedEventHandle::wait(DWORD ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    std::atomic_ref<uint32_t> word(*word_);
    for (;;) {
        if (word.load() != 0)
            return WaitResult::Signaled;
        timespec rest = {};
        const timespec* limit = nullptr;
        if (ms != INFINITE) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return WaitResult::Timeout;
            rest.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            rest.tv_nsec = static_cast<long>(left.count() % 1000000000);
            limit = &rest;
        }
        // Sleeps only while the word is still 0; a set in between makes it return.
        if (futex(word_, FUTEX_WAIT, 0, limit) != 0 && errno != EAGAIN && errno != EINTR &&
            errno != ETIMEDOUT) {
            SetLastError(lastErrno());
            return WaitResult::Failed;
        }
    }
}

}  // namespace kitbase
