#pragma once
// The trace log: leveled, timestamped records in a log file (optionally echoed on the
// console), an alerts log beside it, a mirror of errors and alerts into the log
// database, and rotation into a ring of nine old files.
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "kitbase/core/locks.h"
#include "kitbase/export.h"
#include "kitbase/platform/format.h"
#include "kitbase/platform/wintypes.h"

enum TraceLevel : int {
    TRACE_NONE = 0,
    TRACE_ERROR = 1,
    TRACE_ALERT = 2,
    TRACE_WARNING = 3,
    TRACE_INFO = 4,
    TRACE_DEBUG = 5,
    TRACE_EXPLAIN = 99,
};

class LogDB;

class KITBASE_API Trace {
public:
    Trace();
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    void _inittrace(const std::wstring& name, TraceLevel level, bool console, bool rotate, bool logDB);
    void _closetrace(bool writeClosingLine);
    void checkTraceFile(bool atStart);
    void write(const wchar_t* text, TraceLevel level);

    // One record of the level, formatted printf-style after the level test.
    template <class... A>
    void always(kitbase::WFormat format, const A&... args) {
        emit(TRACE_INFO, format, args...);
    }
    template <class... A>
    void error(kitbase::WFormat format, const A&... args) {
        if (level_ >= TRACE_ERROR)
            emit(TRACE_ERROR, format, args...);
    }
    template <class... A>
    void alert(kitbase::WFormat format, const A&... args) {
        if (level_ >= TRACE_ALERT)
            emit(TRACE_ALERT, format, args...);
    }
    template <class... A>
    void warning(kitbase::WFormat format, const A&... args) {
        if (level_ >= TRACE_WARNING)
            emit(TRACE_WARNING, format, args...);
    }
    template <class... A>
    void info(kitbase::WFormat format, const A&... args) {
        if (level_ >= TRACE_INFO)
            emit(TRACE_INFO, format, args...);
    }
    template <class... A>
    void debug(kitbase::WFormat format, const A&... args) {
        if (level_ >= TRACE_DEBUG)
            emit(TRACE_DEBUG, format, args...);
    }
    template <class... A>
    void explain(kitbase::WFormat format, const A&... args) {
        if (level_ >= TRACE_EXPLAIN)
            emit(TRACE_EXPLAIN, format, args...);
    }

    void add_timestamp(std::wstring& out);
    TraceLevel getTraceLevel() const { return level_; }
    void setTraceLevel(TraceLevel level);
    bool getConsoleMode() const { return console_; }
    void setConsoleMode(bool console) { console_ = console; }
    bool initialized() const { return open_; }

    static const std::wstring& getStrPID();

    // Longest message text of one record, in characters.
    static constexpr size_t kMaxMessage = 1022;
    // The record that takes the counter beyond this number rotates the file.
    static constexpr unsigned int kRotateAfter = 49999;
    // Number of old files in the ring.
    static constexpr int kRingSize = 9;

private:
    template <class... A>
    void emit(TraceLevel level, kitbase::WFormat format, const A&... args) {
        const kitbase::FormatArg list[] = {kitbase::FormatArg(args)..., kitbase::FormatArg()};
        writeFormatted(level, format.text, list, sizeof...(A));
    }
    void writeFormatted(TraceLevel level, const wchar_t* format, const kitbase::FormatArg* args,
                        size_t count);
    void openFile(bool keepContent);
    void closeFile();

    friend class TraceLockHolder;

    // Shared so that a record being mirrored keeps its link alive while another
    // thread replaces it.
    std::shared_ptr<LogDB> logDb_;
    FILE* file_ = nullptr;
    CriticalSection lock_;
    int rotationIndex_ = 0;
    std::atomic<TraceLevel> level_{TRACE_INFO};
    std::wstring logPath_;
    std::wstring baseName_;
    std::wstring alertsPath_;
    std::wstring logFolder_;
    bool logDbFlag_ = false;
    std::atomic<bool> console_{false};
    std::atomic<bool> open_{false};
    unsigned int counter_ = 0;
    // The next open appends instead of truncating (a rotation whose move failed).
    bool keepContent_ = false;
};

// The process-wide trace log.
extern KITBASE_API Trace __trace__;

KITBASE_API void inittrace(const std::wstring& name, TraceLevel level, bool console, bool rotate);
KITBASE_API void closetrace();

// The system's message text of a Windows error code (allocated; the caller frees it
// with delete[]), null when there is none.
KITBASE_API wchar_t* allocErrorString(DWORD code);
KITBASE_API wchar_t* allocLastErrorString();
KITBASE_API void errorWin(DWORD code);
// The message text without trailing CR and LF; empty when there is none.
KITBASE_API std::wstring tgetErrorString(DWORD code);
// Crash handlers installed by inittrace. The invalid-parameter handler has no
// counterpart on this platform (it is never installed); the unhandled-exception
// handler runs on the fatal signals SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT,
// writes "Antivirus-MiniDump.dmp" in the log folder and hands the signal on to
// the handler it replaced.
KITBASE_API void onInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                    unsigned int line, uintptr_t reserved);
KITBASE_API void onUnhandledException(int signal, siginfo_t* info, void* context);

KITBASE_API void OPENSSL_showfatal(const char* format, ...) __attribute__((format(printf, 1, 2)));
