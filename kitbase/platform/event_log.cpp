#include "kitbase/platform/event_log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>

#include "kitbase/platform/private_files.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

std::mutex& logLock() {
    static std::mutex lock;
    return lock;
}

EventSource::SyslogWriter& syslogWriter() {
    static EventSource::SyslogWriter writer;
    return writer;
}

const char* typeName(WORD type) {
    switch (type) {
        case EVENTLOG_SUCCESS:
            return "Success";
        case EVENTLOG_ERROR_TYPE:
            return "Error";
        case EVENTLOG_WARNING_TYPE:
            return "Warning";
        case EVENTLOG_INFORMATION_TYPE:
            return "Information";
        case EVENTLOG_AUDIT_SUCCESS:
            return "AuditSuccess";
        case EVENTLOG_AUDIT_FAILURE:
            return "AuditFailure";
        default:
            return "Unknown";
    }
}

std::string oneLine(const std::wstring& text) {
    std::string out;
    for (char c : wideToUtf8(text)) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

// Outside text only ever goes to syslog as the argument of a fixed format.
void toSyslog(int priority, const std::string& ident, const std::string& text) {
    // openlog keeps the identity's pointer: it lives as long as the process.
    static std::string* identity = new std::string;
    *identity = ident;
    openlog(identity->c_str(), LOG_PID, LOG_DAEMON);
    syslog(priority, "%s", text.c_str());
    closelog();
}

}  // namespace

std::string EventSource::logFilePath() {
    return eventLogFolder() + "/Application.log";
}

int EventSource::syslogPriority(WORD type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
        case EVENTLOG_AUDIT_FAILURE:
            return LOG_ERR;
        case EVENTLOG_WARNING_TYPE:
            return LOG_WARNING;
        case EVENTLOG_SUCCESS:
        case EVENTLOG_INFORMATION_TYPE:
            return LOG_INFO;
        case EVENTLOG_AUDIT_SUCCESS:
            return LOG_NOTICE;
        default:
            return LOG_DEBUG;
    }
}

void EventSource::setSyslogWriter(SyslogWriter writer) {
    std::lock_guard<std::mutex> guard(logLock());
    syslogWriter() = std::move(writer);
}

std::unique_ptr<EventSource> EventSource::open(const std::wstring& sourceName) {
    if (sourceName.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!ensurePrivateFolder(eventLogFolder(), kPrivateFolderMode))
        return nullptr;
    return std::unique_ptr<EventSource>(new EventSource(sourceName));
}

bool EventSource::report(WORD type, WORD category, DWORD eventId, const std::vector<std::wstring>& strings) {
    std::string joined;      // syslog: the strings separated by ": "
    std::string fileFields;  // file: the strings separated by tabs
    for (size_t i = 0; i < strings.size(); ++i) {
        std::string s = oneLine(strings[i]);
        joined += (i ? ": " : "") + s;
        fileFields += "\t" + s;
    }
    char stamp[32] = "";
    time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local))
        strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    std::string source = wideToUtf8(name_);
    std::string line = std::string(stamp) + "\t" + typeName(type) + "\t" + oneLine(name_) + "\t" +
                       std::to_string(category) + "\t" + std::to_string(eventId) + fileFields + "\n";

    std::lock_guard<std::mutex> guard(logLock());
    if (syslogWriter())
        syslogWriter()(syslogPriority(type), source, joined);
    else
        toSyslog(syslogPriority(type), source, joined);

    // One write per entry on an append-only file: entries of other processes never interleave.
    int fd = openPrivateAppend(logFilePath());
    if (fd < 0) {
        setLastErrorFromErrno();
        return false;
    }
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    int err = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(line.size())) {
        setLastErrorFromErrno(n < 0 ? err : EIO);
        return false;
    }
    return true;
}

}  // namespace kitbase
