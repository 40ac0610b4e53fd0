#include "kitbase/platform/event_log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <sstream>
#include <thread>
#include <vector>

#include "kitbase/platform/winerror.h"
#include "support/test_root.h"

using kitbase::EventSource;

namespace {

std::vector<std::string> logLines() {
    std::vector<std::string> lines;
    std::istringstream in(testsupport::readFile(EventSource::logFilePath()));
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

struct SyslogCapture {
    struct Entry {
        int priority;
        std::string ident, text;
    };
    std::vector<Entry> entries;
    SyslogCapture() {
        EventSource::setSyslogWriter([this](int p, const std::string& i, const std::string& t) {
            entries.push_back({p, i, t});
        });
    }
    ~SyslogCapture() { EventSource::setSyslogWriter(nullptr); }
};

}  // namespace

TEST(EventLog, EntryGoesToFileAndSyslogWithTextAsData) {
    SyslogCapture syslogs;
    auto source = EventSource::open(L"Scan Warden");
    ASSERT_TRUE(source);
    // Outside text with conversions and line ends is kept as it is, on one line.
    ASSERT_TRUE(source->report(EVENTLOG_WARNING_TYPE, 0, 0, {L"Scan Warden", L"Detected a%n%s.exe\nline2"}));

    auto lines = logLines();
    ASSERT_GE(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\tWarning\tScan Warden\t0\t0\tScan Warden\tDetected a%n%s.exe\\nline2"),
              std::string::npos)
        << lines[0];
    ASSERT_EQ(syslogs.entries.size(), 1u);
    EXPECT_EQ(syslogs.entries[0].priority, LOG_WARNING);
    EXPECT_EQ(syslogs.entries[0].ident, "Scan Warden");
    EXPECT_EQ(syslogs.entries[0].text, "Scan Warden: Detected a%n%s.exe\\nline2");
}

TEST(EventLog, TypeMapsToSyslogPriority) {
    const struct {
        WORD type;
        int priority;
    } cases[] = {{EVENTLOG_SUCCESS, LOG_INFO},
                 {EVENTLOG_ERROR_TYPE, LOG_ERR},
                 {EVENTLOG_WARNING_TYPE, LOG_WARNING},
                 {EVENTLOG_INFORMATION_TYPE, LOG_INFO},
                 {EVENTLOG_AUDIT_SUCCESS, LOG_NOTICE},
                 {EVENTLOG_AUDIT_FAILURE, LOG_ERR},
                 {0x40, LOG_DEBUG}};
    for (const auto& c : cases)
        EXPECT_EQ(EventSource::syslogPriority(c.type), c.priority) << c.type;
}

TEST(EventLog, EmptySourceIsRefused) {
    EXPECT_FALSE(EventSource::open(L""));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(EventLog, ConcurrentReportsKeepEveryEntryWhole) {
    SyslogCapture syslogs;
    constexpr int kThreads = 8, kEntries = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            auto source = EventSource::open(L"Concurrent" + std::to_wstring(t));
            for (int i = 0; i < kEntries; ++i)
                source->report(EVENTLOG_INFORMATION_TYPE, 0, 0, {std::wstring(200, L'x'), L"end"});
        });
    for (auto& th : threads)
        th.join();
    size_t ours = 0;
    for (const auto& line : logLines()) {
        if (line.find("\tConcurrent") == std::string::npos)
            continue;
        ++ours;
        EXPECT_EQ(line.substr(line.size() - 4), "\tend");
    }
    EXPECT_EQ(ours, static_cast<size_t>(kThreads * kEntries));
    EXPECT_EQ(syslogs.entries.size(), static_cast<size_t>(kThreads * kEntries));
}
