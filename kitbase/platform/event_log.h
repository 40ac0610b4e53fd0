#pragma once
// The machine's event log. An entry is reported under an event source (a name) with an
// event type, a category, an event id and a list of strings. Each entry goes to syslog
// (facility daemon, the source name as identity, the event type as priority) and to the
// readable file "Application.log" in the event log folder, one line per entry:
//   <local time> <TAB> <type name> <TAB> <source> <TAB> <category> <TAB> <event id> <TAB> <strings,
//   TAB-separated>
// with line ends and tabs inside the strings written as \n, \r and \t. Several threads
// and processes may report at once.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

// Event types.
constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

namespace kitbase {

class KITBASE_API EventSource {
public:
    // An event source of the given name: null with the last error set when the name is
    // empty (ERROR_INVALID_PARAMETER) or the log cannot be written.
    static std::unique_ptr<EventSource> open(const std::wstring& sourceName);

    // Writes one entry; false with the last error set when the file sink failed.
    bool report(WORD type, WORD category, DWORD eventId, const std::vector<std::wstring>& strings);

    const std::wstring& name() const { return name_; }

    // The file sink.
    static std::string logFilePath();
    // The syslog priority of an event type.
    static int syslogPriority(WORD type);
    // Replaces the syslog writer (tests observe what would go to syslog); an empty
    // function restores syslog.
    using SyslogWriter = std::function<void(int priority, const std::string& ident, const std::string& text)>;
    static void setSyslogWriter(SyslogWriter writer);

private:
    explicit EventSource(std::wstring name) : name_(std::move(name)) {}
    std::wstring name_;
};

}  // namespace kitbase
