#include "kitbase/core/trace.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "kitbase/core/files.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/logdb.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/sysinfo.h"
#include "kitbase/platform/private_files.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/winerror.h"

KITBASE_API Trace __trace__;

namespace {

// Depth of trace locks the calling thread holds, and whether it is inside the log
// database mirror. A record written in either state is not mirrored: the mirror
// takes the database's lock, which must never be taken under a trace lock, and a
// database failure must never feed itself.
thread_local int t_traceLockDepth = 0;
thread_local int t_mirrorDepth = 0;

struct MirrorScope {
    MirrorScope() { ++t_mirrorDepth; }
    ~MirrorScope() { --t_mirrorDepth; }
};

const wchar_t* const kLevelNames[] = {L"", L"ERROR", L"ALERT", L"WARNING", L"INFO", L"DEBUG", L"EXPLAIN"};

const wchar_t* levelName(TraceLevel level) {
    int index = static_cast<int>(level);
    if (index < 0 || index > TRACE_DEBUG)
        index = 6;
    return kLevelNames[index];
}

void writeWide(FILE* f, const std::wstring& text) {
    std::string bytes = WS2S(text);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fflush(f);
}

// Appends the whole text to a file in one write.
void appendToFile(const std::wstring& path, const std::wstring& text) {
    // Logs are private: no other user reads them, and no link planted at the name is followed.
    int fd = kitbase::openPrivateAppend(WS2S(path));
    if (fd < 0)
        return;
    std::string bytes = WS2S(text);
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<size_t>(n);
    }
    close(fd);
}

// True when another open of the file (another process, or another trace of this
// one) holds its lock, i.e. some trace is writing it right now.
bool lockedElsewhere(const std::wstring& path) {
    int fd = open(WS2S(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return locked;
}

std::wstring fileNameOf(const std::wstring& path) {
    auto slash = path.rfind(L'/');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// What the start records tell about the process; computed once, before any trace
// lock is taken, and kept for the life of the process (also past the destruction of
// the global trace).
struct StartInfo {
    std::wstring program;
    std::wstring version;
    std::wstring os;
    std::wstring machineId;
};

const StartInfo& startInfo() {
    static const StartInfo* info = [] {
        auto* i = new StartInfo;
        i->program = S2WS(kitbase::executablePath());
        getFileVersionInfo(i->program, i->version);
        i->os = getOSVersion();
        i->machineId = getMaschineID();
        return i;
    }();
    return *info;
}

}  // namespace

// Holds a trace's lock and counts it in the thread's lock depth.
class TraceLockHolder {
public:
    explicit TraceLockHolder(Trace& trace) : guard_(trace.lock_) { ++t_traceLockDepth; }
    ~TraceLockHolder() { --t_traceLockDepth; }
    TraceLockHolder(const TraceLockHolder&) = delete;
    TraceLockHolder& operator=(const TraceLockHolder&) = delete;

private:
    AutoCriticalSection guard_;
};

Trace::Trace() = default;

Trace::~Trace() {
    std::shared_ptr<LogDB> db;
    {
        TraceLockHolder guard(*this);
        db = std::move(logDb_);
    }
    if (open_) {
        // The database's closing records still reach the open file.
        db.reset();
        _closetrace(true);
    } else {
        // A closed trace prints nothing more while it goes.
        level_ = TRACE_NONE;
        db.reset();
    }
}

void Trace::openFile(bool keepContent) {
    int fd = kitbase::openPrivateAppend(WS2S(logPath_));
    if (fd < 0)
        return;
    // The lock marks the file as written by this trace: another process that opens
    // the same log neither truncates nor moves it while it is held.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return;
    }
    if (!keepContent && ftruncate(fd, 0) != 0) {
        close(fd);
        return;
    }
    file_ = fdopen(fd, "a");
    if (!file_) {
        close(fd);
        return;
    }
    // Large enough for the longest record, so that each record reaches the file in
    // one write.
    setvbuf(file_, nullptr, _IOFBF, 64 * 1024);
}

void Trace::closeFile() {
    if (file_)
        fclose(file_);
    file_ = nullptr;
}

void Trace::_inittrace(const std::wstring& name, TraceLevel level, bool console, bool rotate, bool logDB) {
    // Everything that may run other code (and write records) is gathered before the
    // lock is taken.
    std::wstring logPath;
    std::wstring baseName;
    std::wstring alertsPath;
    if (name.empty()) {
        logPath = getLogFile(L"");
        baseName = L"trace";
        alertsPath = getAlertsLogFile();
    } else {
        logPath = name;
        auto dot = name.rfind(L'.');
        baseName = dot == std::wstring::npos ? name : name.substr(0, dot);
        alertsPath = baseName + L"_alerts.log";
    }
    const StartInfo& start = startInfo();

    {
        TraceLockHolder guard(*this);
        if (file_)
            return;
        console_ = console;
        logDbFlag_ = logDB;
        logPath_ = logPath;
        baseName_ = baseName;
        alertsPath_ = alertsPath;
        level_ = level;
        auto slash = logPath_.rfind(L'/');
        if (slash != std::wstring::npos)
            logFolder_ = logPath_.substr(0, slash);

        // A log that another trace is writing is neither moved nor truncated; this
        // trace then writes to the console only.
        bool busy = lockedElsewhere(logPath_);
        if (rotate && !busy)
            checkTraceFile(true);
        if (!busy)
            openFile(keepContent_);
        keepContent_ = false;
        if (!file_)
            writeWide(stdout, logPath_ + L"\n");

        counter_ = 0;
        always(L"Log file %ls initialized by program %ls with version %ls and PID %ls", logPath_,
               start.program, start.version, getStrPID());
        always(L"Running on Windows %ls", start.os);
        always(L"Machine ID:%ls", start.machineId);
        if (!(rotate && logDB)) {
            open_ = true;
            return;
        }
    }

    // The log database is opened outside the trace lock; its own records, errors
    // included, are not mirrored into any database.
    std::shared_ptr<LogDB> db;
    {
        MirrorScope scope;
        db = std::make_shared<LogDB>();
    }
    std::shared_ptr<LogDB> previous;
    {
        TraceLockHolder guard(*this);
        previous = std::move(logDb_);
        logDb_ = std::move(db);
        open_ = true;
    }
}

void Trace::_closetrace(bool writeClosingLine) {
    TraceLockHolder guard(*this);
    if (!open_)
        return;
    if (writeClosingLine)
        info(L"Log file %ls closed.Process ID:%ls", logPath_, getStrPID());
    open_ = false;
    closeFile();
}

void Trace::checkTraceFile(bool atStart) {
    TraceLockHolder guard(*this);
    if (atStart) {
        if (logPath_.empty())
            return;
        // The log and its old files: the pattern's final "?" matches zero or one
        // character, so the current log counts too.
        std::vector<std::wstring> files;
        int n = listFiles(logFolder_.empty() ? L"." : logFolder_, fileNameOf(logPath_) + L"?", files, false);
        rotationIndex_ = n > 0 ? n - 1 : 0;
        if (n > 0) {
            writeWide(stdout, kitbase::wformat(L"\nCurrently having %d old .log files", n - 1));
            std::wstring target = logPath_ + std::to_wstring(rotationIndex_);
            // The move replaces an old file of that name in one step; when it
            // fails, the old file stays.
            if (rename(WS2S(logPath_).c_str(), WS2S(target).c_str()) != 0) {
                DWORD code = winErrorFromErrno(errno);
                writeWide(stdout, kitbase::wformat(
                                      L"\nERROR: Can't rename the old file '%ls' into '%ls'. Error %d: '%ls'",
                                      logPath_, target, code, tgetErrorString(code)));
            }
            rotationIndex_ = (rotationIndex_ + 1) % kRingSize;
        }
        return;
    }

    // At the record limit. Only a file this trace writes itself is rotated; a trace
    // without one (never opened, or writing to the console only) starts counting
    // again and touches nothing.
    if (!file_ || logPath_.empty()) {
        counter_ = 0;
        return;
    }
    const std::wstring path = logPath_;
    std::wstring target = path + std::to_wstring(rotationIndex_);
    open_ = false;
    closeFile();
    if (rename(WS2S(path).c_str(), WS2S(target).c_str()) != 0) {
        DWORD code = winErrorFromErrno(errno);
        writeWide(stdout,
                  kitbase::wformat(L"\nERROR: Can't rename the old file '%ls' into '%ls'. Error %d: '%ls'",
                                   path, target, code, tgetErrorString(code)));
        // The records stay where they are; the reopened file goes on behind them.
        keepContent_ = true;
    }
    rotationIndex_ = (rotationIndex_ + 1) % kRingSize;
    _inittrace(path, level_, console_, false, logDbFlag_);
}

void Trace::add_timestamp(std::wstring& out) {
    time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    out = kitbase::wformat(L"[%04u-%02u-%02u %02u:%02u:%02u] ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                           t.tm_hour, t.tm_min, t.tm_sec);
}

void Trace::write(const wchar_t* text, TraceLevel level) {
    if (!text)
        return;
    const int threadId = static_cast<int>(gettid());
    const wchar_t* name = levelName(level);
    std::shared_ptr<LogDB> db;
    {
        TraceLockHolder guard(*this);
        if (++counter_ > kRotateAfter)
            checkTraceFile(false);

        std::wstring line;
        add_timestamp(line);
        line += text[0] == L'\n' ? text + 1 : text;

        if (!file_) {
            console_ = true;
            writeWide(stdout, kitbase::wformat(L"\n[%ls]%ls", name, line));
        } else {
            writeWide(file_, kitbase::wformat(L"\n[%ls] %ls", name, line));
            if (console_)
                writeWide(stdout, kitbase::wformat(L"\n[%ls]%ls", name, line));
        }

        if (level == TRACE_ALERT && !alertsPath_.empty())
            appendToFile(alertsPath_, kitbase::wformat(L"\n[%ls] %ls", L"ALERT", line));

        if ((level == TRACE_ERROR || level == TRACE_ALERT) && logDb_ && logDbFlag_ && t_mirrorDepth == 0)
            db = logDb_;
    }
    // The mirror runs after the trace lock is released, and never from a thread that
    // still holds a trace lock further up.
    if (db && t_traceLockDepth == 0) {
        MirrorScope scope;
        db->addEntry(name, text, threadId);
    }
}

void Trace::writeFormatted(TraceLevel level, const wchar_t* format, const kitbase::FormatArg* args,
                           size_t count) {
    std::wstring text;
    try {
        text = kitbase::formatArgs(format, args, count);
    } catch (...) {
        errno = EINVAL;
        perror("Unknown error in trace");
        if (text.empty())
            return;
    }
    if (text.size() > kMaxMessage)
        text.resize(kMaxMessage);
    write(text.c_str(), level);
}

void Trace::setTraceLevel(TraceLevel level) {
    if (level != level_)
        debug(L"Set trace level manually from %d to %d", static_cast<int>(level_.load()),
              static_cast<int>(level));
    level_ = level;
}

const std::wstring& Trace::getStrPID() {
    // Kept for the life of the process: the global trace's closing line at exit
    // still needs it.
    static const std::wstring* pid = new std::wstring(std::to_wstring(getpid()));
    return *pid;
}

// ---- Crash handlers --------------------------------------------------------------

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kCrashSignalCount = sizeof(kCrashSignals) / sizeof(kCrashSignals[0]);
struct sigaction g_previous[kCrashSignalCount];
bool g_installed = false;
std::mutex g_handlerLock;

// Async-signal-safe output helpers.
bool writeRaw(int fd, const char* p, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool writeStr(int fd, const char* s) {
    size_t len = 0;
    while (s[len])
        ++len;
    return writeRaw(fd, s, len);
}

bool writeNum(int fd, unsigned long value, unsigned base = 10) {
    char buf[32];
    size_t pos = sizeof buf;
    do {
        unsigned digit = static_cast<unsigned>(value % base);
        buf[--pos] = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
        value /= base;
    } while (value && pos > 0);
    return writeRaw(fd, buf + pos, sizeof buf - pos);
}

// Where the crash report goes: the log folder, fixed before any handler can run (a
// handler may only use what is ready).
char g_dumpPath[4096];

void installCrashHandlers() {
    std::lock_guard<std::mutex> lock(g_handlerLock);
    if (g_installed)
        return;
    const std::string dump = WS2S(createPath(getLogFolder(), L"Antivirus-MiniDump.dmp"));
    if (dump.size() < sizeof g_dumpPath)
        memcpy(g_dumpPath, dump.c_str(), dump.size() + 1);
    // The first backtrace loads what it needs; do that now, not inside a handler.
    void* frames[4];
    backtrace(frames, 4);
    struct sigaction action {};
    action.sa_sigaction = onUnhandledException;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kCrashSignalCount; ++i)
        sigaction(kCrashSignals[i], &action, &g_previous[i]);
    g_installed = true;
}

void restoreCrashHandlers() {
    std::lock_guard<std::mutex> lock(g_handlerLock);
    if (!g_installed)
        return;
    for (size_t i = 0; i < kCrashSignalCount; ++i)
        sigaction(kCrashSignals[i], &g_previous[i], nullptr);
    g_installed = false;
}

}  // namespace

void onInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                        unsigned int line, uintptr_t) {
    std::string out = kitbase::nformat("\n\nInvalid parameter detected in function %s. File: %s Line: %d\n",
                                       function ? function : L"", file ? file : L"", line);
    out += kitbase::nformat("Expression: %s\n", expression ? expression : L"");
    fputs(out.c_str(), stdout);
    fflush(stdout);
}

void onUnhandledException(int signal, siginfo_t* info, void*) {
    const int savedErrno = errno;
    writeStr(1, "Got an unhandled exception.");
    // Never through a link planted at the name.
    int fd =
        g_dumpPath[0] ? open(g_dumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600) : -1;
    if (fd < 0) {
        writeStr(1, "CreateFile failed. Error: ");
        writeNum(1, winErrorFromErrno(errno));
        writeStr(1, " \n");
    } else {
        bool ok = writeStr(fd, "Signal: ") && writeNum(fd, static_cast<unsigned>(signal)) &&
                  writeStr(fd, "\nProcess: ") && writeNum(fd, static_cast<unsigned long>(getpid())) &&
                  writeStr(fd, "\nThread: ") && writeNum(fd, static_cast<unsigned long>(gettid()));
        if (ok && info) {
            ok = writeStr(fd, "\nCode: ") && writeNum(fd, static_cast<unsigned>(info->si_code)) &&
                 writeStr(fd, "\nAddress: 0x") &&
                 writeNum(fd, reinterpret_cast<uintptr_t>(info->si_addr), 16);
        }
        ok = ok && writeStr(fd, "\nBacktrace:\n");
        if (ok) {
            void* frames[64];
            int count = backtrace(frames, 64);
            backtrace_symbols_fd(frames, count, fd);
        }
        if (ok) {
            writeStr(1, "Minidump created.\n");
        } else {
            writeStr(1, "MiniDumpWriteDump failed. Error: ");
            writeNum(1, winErrorFromErrno(errno));
            writeStr(1, " \n");
        }
        close(fd);
    }

    // Hand the signal to the handler that was there before; it ends the process
    // when the signal is delivered again on return from here.
    for (size_t i = 0; i < kCrashSignalCount; ++i) {
        if (kCrashSignals[i] == signal)
            sigaction(signal, &g_previous[i], nullptr);
    }
    raise(signal);
    errno = savedErrno;
}

// ---- Global trace and error texts ------------------------------------------------

void inittrace(const std::wstring& name, TraceLevel level, bool console, bool rotate) {
    // The invalid-parameter handler has nothing to be installed into here.
    installCrashHandlers();
    __trace__._inittrace(name, level, console, rotate, true);
}

void closetrace() {
    if (__trace__.initialized())
        __trace__._closetrace(true);
    restoreCrashHandlers();
}

wchar_t* allocErrorString(DWORD code) {
    std::wstring text;
    if (!winErrorMessage(code, text)) {
        __trace__.debug(L"Cannot allocate error string for error code %d: code %d", code, GetLastError());
        return nullptr;
    }
    auto* out = new wchar_t[text.size() + 1];
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = 0;
    return out;
}

wchar_t* allocLastErrorString() {
    return allocErrorString(GetLastError());
}

std::wstring tgetErrorString(DWORD code) {
    std::wstring text;
    if (!winErrorMessage(code, text))
        return {};
    terase_trails(text, L"\r\n", TRIM_RIGHT);
    return text;
}

void errorWin(DWORD code) {
    std::wstring text = tgetErrorString(code);
    if (!text.empty())
        __trace__.error(L"Windows error(code: %d):%s", code, text);
}

void OPENSSL_showfatal(const char* format, ...) {
    char buf[255];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n < 0)
        return;
    __trace__.error(L"OpenSSL: %s", S2WS(buf));
}
