#pragma once
// Named objects shared between processes, backed by files in the run folder
// (runFolder(), mode 0600). An object's name maps to one safe file name: letters,
// digits, "-" and "_" stay, every other byte of the name's UTF-8 form is written as
// %XX, so "Global\Scan-Warden-Unique" becomes "mutex-Global%5CScan-Warden-Unique" and
// no name can reach outside the run folder. All descriptors are close-on-exec, so
// programs started by a holder never inherit what it holds.
#include <cstdint>
#include <memory>
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

namespace kitbase {

// The path of the file that stands for the object `name` of the kind `kind`
// ("mutex", "event"): 0, or ERROR_INVALID_NAME for an empty name,
// ERROR_FILENAME_EXCED_RANGE for a name too long for a file name, or the error of
// creating the run folder.
KITBASE_API DWORD namedObjectPath(const std::wstring& name, const char* kind, std::string& path);

// A named mutex: an exclusive flock on its lock file. The lock belongs to the
// handle that took it; it is freed by release(), by destroying the handle, or when
// the holding process dies.
class KITBASE_API NamedMutexHandle {
public:
    // Opens the mutex (creating its lock file) and tries to own it: 0 when this
    // handle owns it, ERROR_ALREADY_EXISTS when another handle owns it (the handle is
    // given, not owning), another Windows error code on failure (no handle).
    static DWORD create(const std::wstring& name, std::unique_ptr<NamedMutexHandle>& out);
    // Whether some handle, in this process or another, owns the mutex now.
    static bool exists(const std::wstring& name);

    ~NamedMutexHandle();
    NamedMutexHandle(const NamedMutexHandle&) = delete;
    NamedMutexHandle& operator=(const NamedMutexHandle&) = delete;

    bool owned() const { return owned_; }
    // Gives up the ownership (the handle stays open).
    void release();

private:
    explicit NamedMutexHandle(int fd) : fd_(fd) {}
    int fd_;
    bool owned_ = false;
};

// A named manual-reset event: a signalled word in a small shared file that waiters
// sleep on with a futex. The event exists while some handle to it is open (each
// handle holds a shared lock on the file); one that nobody holds any more is
// created afresh, not signalled, by the next create.
class KITBASE_API NamedEventHandle {
public:
    enum class WaitResult { Signaled, Timeout, Failed };

    // Creates the event or opens the existing one: 0 for a new event (not
    // signalled), ERROR_ALREADY_EXISTS for an existing one, another error code on
    // failure (no handle).
    static DWORD create(const std::wstring& name, std::unique_ptr<NamedEventHandle>& out);
    // Opens an existing event: 0, ERROR_FILE_NOT_FOUND when none exists, another
    // error code on failure.
    static DWORD open(const std::wstring& name, std::unique_ptr<NamedEventHandle>& out);

    ~NamedEventHandle();
    NamedEventHandle(const NamedEventHandle&) = delete;
    NamedEventHandle& operator=(const NamedEventHandle&) = delete;

    // Signals the event and wakes every waiter; the event stays signalled until reset.
    void set();
    void reset();
    // Waits until the event is signalled, at most `ms` milliseconds (INFINITE: no
    // limit). Failed sets the last error.
    WaitResult wait(DWORD ms);

private:
    NamedEventHandle(int fd, uint32_t* word) : fd_(fd), word_(word) {}
    static DWORD attach(const std::wstring& name, bool mayCreate, std::unique_ptr<NamedEventHandle>& out);
    int fd_;
    uint32_t* word_;
};

}  // namespace kitbase
