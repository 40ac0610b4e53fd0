#include "kitbase/core/trace.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

KITBASE_API Trace __trace__;

namespace {

const wchar_t* levelName(TraceLevel level) {
    switch (level) {
        case TRACE_NONE:
            return L"";
        case TRACE_ERROR:
            return L"ERROR";
        case TRACE_ALERT:
            return L"ALERT";
        case TRACE_WARNING:
            return L"WARNING";
        case TRACE_INFO:
            return L"INFO";
        case TRACE_DEBUG:
            return L"DEBUG";
        default:
            return L"EXPLAIN";
    }
}

void writeWide(FILE* f, const std::wstring& text) {
    std::string bytes = kitbase::wideToUtf8(text);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fflush(f);
}

}  // namespace

Trace::Trace() = default;

Trace::~Trace() {
    if (open_)
        _closetrace(true);
}

void Trace::_inittrace(const std::wstring& name, TraceLevel level, bool console, bool rotate, bool logDB) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (file_)
        return;
    console_ = console;
    logDbFlag_ = logDB;
    logPath_ = name;
    auto dot = name.rfind(L'.');
    baseName_ = dot == std::wstring::npos ? name : name.substr(0, dot);
    alertsPath_ = baseName_ + L"_alerts.log";
    level_ = level;
    auto slash = logPath_.rfind(L'/');
    if (slash != std::wstring::npos)
        logFolder_ = logPath_.substr(0, slash);
    if (rotate)
        checkTraceFile(true);
    if (!logPath_.empty())
        file_ = fopen(kitbase::wideToUtf8(logPath_).c_str(), "w");
    if (!file_)
        printf("%s\n", kitbase::wideToUtf8(logPath_).c_str());
    counter_ = 0;
    always(L"Log file %ls initialized by program %ls with version %ls and PID %ls", logPath_, L"", L"0.0.0.0",
           getStrPID());
    open_ = true;
}

void Trace::_closetrace(bool writeClosingLine) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!open_)
        return;
    if (writeClosingLine)
        info(L"Log file %ls closed.Process ID:%ls", logPath_, getStrPID());
    open_ = false;
    if (file_)
        fclose(file_);
    file_ = nullptr;
}

void Trace::checkTraceFile(bool) {}

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
    std::lock_guard<std::recursive_mutex> guard(lock_);
    ++counter_;
    std::wstring line;
    add_timestamp(line);
    line += (text[0] == L'\n') ? text + 1 : text;
    const wchar_t* name = levelName(level);
    if (!file_) {
        console_ = true;
        writeWide(stdout, kitbase::wformat(L"\n[%ls]%ls", name, line));
    } else {
        writeWide(file_, kitbase::wformat(L"\n[%ls] %ls", name, line));
        if (console_)
            writeWide(stdout, kitbase::wformat(L"\n[%ls]%ls", name, line));
    }
}

void Trace::writeFormatted(TraceLevel level, const wchar_t* format, const kitbase::FormatArg* args,
                           size_t count) {
    std::wstring text = kitbase::formatArgs(format, args, count);
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
    static const std::wstring pid = std::to_wstring(getpid());
    return pid;
}

void inittrace(const std::wstring& name, TraceLevel level, bool console, bool rotate) {
    __trace__._inittrace(name, level, console, rotate, true);
}

void closetrace() {
    if (__trace__.initialized())
        __trace__._closetrace(true);
}

wchar_t* allocErrorString(DWORD code) {
    std::wstring text;
    if (!winErrorMessage(code, text))
        return nullptr;
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
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n'))
        text.pop_back();
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
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    __trace__.error(L"OpenSSL: %s", kitbase::utf8ToWide(buf));
}
