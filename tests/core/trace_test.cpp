#include "kitbase/core/trace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "kitbase/platform/winerror.h"
#include "support/test_root.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

struct Record {
    std::string level;
    std::string message;
};

// Splits a log into records. Every record is "\n[LEVEL] [YYYY-MM-DD hh:mm:ss] text";
// a malformed record fails the test.
std::vector<Record> parse(const std::string& content) {
    std::vector<Record> out;
    EXPECT_TRUE(content.empty() || content[0] == '\n');
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos + 1);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(pos + 1, end - pos - 1);
        pos = end;
        if (!out.empty() && (line.empty() || line[0] != '[')) {
            out.back().message += "\n" + line;  // a message that holds a line feed
            continue;
        }
        size_t close = line.find("] ");
        if (line.empty() || line[0] != '[' || close == std::string::npos || line.size() < close + 2 + 22 ||
            line[close + 2] != '[' || line.compare(close + 2 + 20, 2, "] ") != 0) {
            ADD_FAILURE() << "malformed record: " << line;
            continue;
        }
        out.push_back({line.substr(1, close - 1), line.substr(close + 2 + 22)});
    }
    return out;
}

std::vector<std::string> messages(const std::string& content) {
    std::vector<std::string> out;
    for (const auto& r : parse(content))
        out.push_back(r.message);
    return out;
}

std::string tempLog(const std::string& name = "test.log") {
    return testsupport::makeTempDir("trace") + "/" + name;
}

// Opens and closes a trace once, so that what the first opening of the process looks
// up (and may report on the console) is done before a test captures the console.
void warmUp() {
    Trace t;
    t._inittrace(S2WS(tempLog()), TRACE_NONE, false, false, false);
}

TEST(TraceTest, LevelsDecideWhatIsWritten) {
    // Each method writes its own name; the start records (three) are always there.
    const std::map<int, std::set<std::string>> expected = {
        {0, {"always"}},
        {1, {"always", "error"}},
        {3, {"always", "error", "alert", "warning"}},
        {4, {"always", "error", "alert", "warning", "info"}},
        {5, {"always", "error", "alert", "warning", "info", "debug"}},
        {99, {"always", "error", "alert", "warning", "info", "debug", "explain"}},
    };
    for (const auto& [level, names] : expected) {
        SCOPED_TRACE(level);
        const std::string path = tempLog();
        Trace t;
        t._inittrace(S2WS(path), static_cast<TraceLevel>(level), false, false, false);
        t.error(L"error");
        t.alert(L"alert");
        t.warning(L"warning");
        t.info(L"info");
        t.debug(L"debug");
        t.explain(L"explain");
        t.always(L"always");
        t._closetrace(false);
        auto written = messages(readFile(path));
        ASSERT_GE(written.size(), 3u);
        EXPECT_EQ(names, std::set<std::string>(written.begin() + 3, written.end()));
    }
}

TEST(TraceTest, LevelNamesInRecords) {
    const std::pair<int, std::string> cases[] = {
        {0, ""},      {1, "ERROR"},    {2, "ALERT"},   {3, "WARNING"},  {4, "INFO"},
        {5, "DEBUG"}, {99, "EXPLAIN"}, {6, "EXPLAIN"}, {42, "EXPLAIN"}, {-1, "EXPLAIN"}};
    const std::string path = tempLog();
    Trace t;
    t._inittrace(S2WS(path), TRACE_EXPLAIN, false, false, false);
    for (const auto& c : cases)
        t.write(L"x", static_cast<TraceLevel>(c.first));
    t.write(nullptr, TRACE_ERROR);  // writes nothing
    t._closetrace(false);
    auto records = parse(readFile(path));
    ASSERT_EQ(3 + std::size(cases), records.size());
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].second, records[3 + i].level) << cases[i].first;
}

TEST(TraceTest, StartRecordsFormatAndLeadingLineFeed) {
    const std::string path = tempLog();
    Trace t;
    EXPECT_FALSE(t.initialized());
    EXPECT_EQ(TRACE_INFO, t.getTraceLevel());
    t._inittrace(S2WS(path), TRACE_INFO, false, false, false);
    EXPECT_TRUE(t.initialized());
    t.info(L"\nOne");
    t.info(L"\n\nTwo");
    t.info(L"%ls", std::wstring(2000, L'z'));
    t._closetrace(true);
    EXPECT_FALSE(t.initialized());

    const std::string content = readFile(path);
    EXPECT_EQ(0u, content.rfind("\n[INFO] [", 0)) << "the file begins with an empty line";
    EXPECT_NE(std::string::npos, content.find("] One\n"));
    EXPECT_NE(std::string::npos, content.find("] \nTwo\n"));
    auto records = parse(content);
    ASSERT_GE(records.size(), 3u);
    EXPECT_EQ("Log file " + path + " initialized by program " + fs::read_symlink("/proc/self/exe").string() +
                  " with version ",
              records[0].message.substr(0, records[0].message.find(" with version ") + 14));
    EXPECT_TRUE(records[0].message.ends_with(" and PID " + std::to_string(getpid())));
    EXPECT_EQ(0u, records[1].message.rfind("Running on Windows ", 0));
    EXPECT_EQ(0u, records[2].message.rfind("Machine ID:", 0));
    EXPECT_NE(std::string::npos, content.find(std::string(1022, 'z') + "\n"));
    EXPECT_EQ(std::string::npos, content.find(std::string(1023, 'z')));
    EXPECT_EQ("Log file " + path + " closed.Process ID:" + std::to_string(getpid()), records.back().message);
}

TEST(TraceTest, ConsoleFormHasNoBlankAfterTheLevel) {
    const std::string path = tempLog();
    Trace t;
    testing::internal::CaptureStdout();
    t._inittrace(S2WS(path), TRACE_INFO, true, false, false);
    t.warning(L"echo %d", 5);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("\n[WARNING]["));
    EXPECT_NE(std::string::npos, out.find("] echo 5"));
    EXPECT_NE(std::string::npos, readFile(path).find("\n[WARNING] ["));
}

TEST(TraceTest, OpeningAnOpenTraceChangesNothing) {
    const std::string path = tempLog();
    const std::string other = tempLog("other.log");
    Trace t;
    t._inittrace(S2WS(path), TRACE_INFO, false, false, false);
    t._inittrace(S2WS(other), TRACE_ERROR, true, false, false);
    EXPECT_EQ(TRACE_INFO, t.getTraceLevel());
    EXPECT_FALSE(t.getConsoleMode());
    EXPECT_FALSE(fs::exists(other));
}

TEST(TraceTest, SetTraceLevelRecordShowsOnlyFromDebug) {
    const std::string path = tempLog();
    Trace t;
    t._inittrace(S2WS(path), TRACE_INFO, false, false, false);
    t.setTraceLevel(TRACE_DEBUG);  // old level 4: not shown
    t.setTraceLevel(TRACE_WARNING);
    t._closetrace(false);
    auto written = messages(readFile(path));
    EXPECT_EQ(4u, written.size());
    EXPECT_EQ("Set trace level manually from 5 to 3", written.back());
}

TEST(TraceTest, RotatesAtTheFiftyThousandthRecord) {
    const std::string path = tempLog();
    Trace t;
    t._inittrace(S2WS(path), TRACE_INFO, false, false, false);
    for (int i = 0; i < 49996; ++i)
        t.info(L"r%d", i);
    EXPECT_FALSE(fs::exists(path + "0"));
    t.info(L"r%d", 49996);

    auto old = messages(readFile(path + "0"));
    ASSERT_EQ(49999u, old.size());
    EXPECT_EQ("r49995", old.back());
    auto fresh = messages(readFile(path));
    ASSERT_EQ(4u, fresh.size());
    EXPECT_EQ(0u, fresh[0].rfind("Log file " + path + " initialized", 0));
    EXPECT_EQ("r49996", fresh[3]);
    EXPECT_TRUE(t.initialized());
}

TEST(TraceTest, RotationAtStartPicksTheRingSuffix) {
    struct Case {
        std::vector<std::string> present;  // suffixes of files already there ("" = the log)
        std::string movedTo;               // suffix the current log moves to, none when empty
        int oldFiles;                      // number printed, -1 for no line
        std::string nextRuntimeSuffix;
    };
    const Case cases[] = {
        {{}, "", -1, "0"},
        {{""}, "0", 0, "1"},
        {{"", "0"}, "1", 1, "2"},
        {{"", "0", "1", "2", "3", "4", "5", "6", "7", "8"}, "9", 9, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.movedTo);
        const std::string path = tempLog("Product.log");
        for (const auto& suffix : c.present)
            testsupport::writeFile(path + suffix, "content" + suffix);
        warmUp();
        Trace t;
        testing::internal::CaptureStdout();
        t._inittrace(S2WS(path), TRACE_INFO, false, true, false);
        std::string out = testing::internal::GetCapturedStdout();
        // (Other parts may report on the console too; only the rotation's line counts.)
        if (c.oldFiles < 0) {
            EXPECT_EQ(std::string::npos, out.find("Currently having"));
        } else {
            EXPECT_NE(std::string::npos,
                      out.find("\nCurrently having " + std::to_string(c.oldFiles) + " old .log files"));
            EXPECT_EQ("content", readFile(path + c.movedTo));
        }
        for (const auto& suffix : c.present) {
            if (!suffix.empty()) {
                EXPECT_EQ("content" + suffix, readFile(path + suffix));
            }
        }
        EXPECT_EQ(3u, messages(readFile(path)).size());

        // The run-time ring goes on behind the start slot.
        for (int i = 0; i < 49997; ++i)
            t.info(L"x");
        EXPECT_EQ(49999u, messages(readFile(path + c.nextRuntimeSuffix)).size());
    }
}

// The global trace with its log database, on a log of the test's own.
class GlobalTraceTest : public ::testing::Test {
protected:
    void TearDown() override { closetrace(); }

    struct Row {
        std::string text, p1, p2, type;
        long long thid;
    };
    static std::vector<Row> rows() {
        SQLite::Database db(WS2S(getLogDB()), SQLite::OPEN_READONLY);
        SQLite::Statement q(db, "select TEXT, p1, p2, type, thid from LOGS order by ID");
        std::vector<Row> out;
        while (q.executeStep())
            out.push_back({q.getColumn(0).getString(), q.getColumn(1).getString(), q.getColumn(2).getString(),
                           q.getColumn(3).getString(), q.getColumn(4).getInt64()});
        return out;
    }
    static std::vector<std::string> levelsOf(const std::string& content, const std::string& message) {
        std::vector<std::string> out;
        for (const auto& r : parse(content))
            if (r.message == message)
                out.push_back(r.level);
        return out;
    }
};

TEST_F(GlobalTraceTest, AlertsLogAndDatabaseMirror) {
    const std::string path = tempLog("scan.log");
    inittrace(S2WS(path), TRACE_INFO, false, true);
    ASSERT_TRUE(__trace__.initialized());
    // Outside text is only ever an argument: its "%" signs print as they are.
    __trace__.alert(L"Cannot open '%ls' for 'scan'", L"a%n%s.exe");
    __trace__.error(L"Failed on %ls", "a%n%s.exe");
    __trace__.warning(L"Only a warning");

    const std::string log = readFile(path);
    EXPECT_EQ(std::vector<std::string>{"ALERT"}, levelsOf(log, "Cannot open 'a%n%s.exe' for 'scan'"));
    EXPECT_EQ(std::vector<std::string>{"ERROR"}, levelsOf(log, "Failed on a%n%s.exe"));
    EXPECT_EQ(std::vector<std::string>{"WARNING"}, levelsOf(log, "Only a warning"));

    auto alerts = parse(readFile(fs::path(path).parent_path().string() + "/scan_alerts.log"));
    ASSERT_EQ(1u, alerts.size());
    EXPECT_EQ("ALERT", alerts[0].level);
    EXPECT_EQ("Cannot open 'a%n%s.exe' for 'scan'", alerts[0].message);

    auto stored = rows();
    ASSERT_EQ(2u, stored.size());
    EXPECT_EQ("Cannot open 'a%n%s.exe' for 'scan'", stored[0].text);
    EXPECT_EQ("a%n%s.exe", stored[0].p1);
    EXPECT_EQ("scan", stored[0].p2);
    EXPECT_EQ("ALERT", stored[0].type);
    EXPECT_EQ(gettid(), stored[0].thid);
    EXPECT_EQ("Failed on a%n%s.exe", stored[1].text);
    EXPECT_EQ("ERROR", stored[1].type);
}

TEST_F(GlobalTraceTest, ALogDatabaseThatCannotBeOpenedLeavesTheTraceWorking) {
    fs::remove_all(WS2S(getLogDB()));
    fs::create_directories(WS2S(getLogDB()));  // a folder where the database should be
    const std::string path = tempLog("scan.log");
    inittrace(S2WS(path), TRACE_INFO, false, true);
    __trace__.error(L"still logged");
    __trace__.alert(L"still alerted");
    const std::string log = readFile(path);
    EXPECT_EQ(std::vector<std::string>{"ERROR"}, levelsOf(log, "still logged"));
    EXPECT_EQ(std::vector<std::string>{"ALERT"}, levelsOf(log, "still alerted"));
    EXPECT_EQ(1u, parse(readFile(fs::path(path).parent_path().string() + "/scan_alerts.log")).size());
}

TEST_F(GlobalTraceTest, DatabaseFailuresNeverFeedTheMirror) {
    // A too-small file that already holds LOGS: making the schema fails with an ERROR
    // while the database is being opened.
    fs::create_directories(fs::path(WS2S(getLogDB())).parent_path());
    fs::remove_all(WS2S(getLogDB()));
    {
        SQLite::Database db(WS2S(getLogDB()), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        db.exec("PRAGMA page_size=512");
        db.exec("create table LOGS(ID INTEGER PRIMARY KEY, TEXT, date_added, p1, p2, p3, type, thid)");
    }
    const std::string path = tempLog("scan.log");
    inittrace(S2WS(path), TRACE_DEBUG, false, true);
    __trace__.error(L"first");
    EXPECT_EQ(std::vector<std::string>{"ERROR"}, levelsOf(readFile(path), "Cannot create table LOGS"));
    auto stored = rows();
    ASSERT_EQ(1u, stored.size());
    EXPECT_EQ("first", stored[0].text);

    // The table goes away behind the trace's back: the insert fails (DEBUG), the
    // ERROR record is written once and the trace goes on.
    {
        SQLite::Database db(WS2S(getLogDB()), SQLite::OPEN_READWRITE);
        db.exec("drop table LOGS");
    }
    __trace__.error(L"second");
    __trace__.info(L"after");
    const std::string log = readFile(path);
    EXPECT_EQ(std::vector<std::string>{"ERROR"}, levelsOf(log, "second"));
    EXPECT_NE(std::string::npos, log.find("[DEBUG] ["));
    EXPECT_NE(std::string::npos, log.find("to execute statement 'insert into LOGS"));
    EXPECT_EQ(std::vector<std::string>{"INFO"}, levelsOf(log, "after"));
}

TEST(TraceTest, ManyThreadsAcrossARotationLoseNothing) {
    const std::string path = tempLog();
    Trace t;
    t._inittrace(S2WS(path), TRACE_INFO, false, false, false);
    constexpr int kThreads = 8;
    constexpr int kEach = 7000;
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n)
        threads.emplace_back([&t, n] {
            for (int i = 0; i < kEach; ++i)
                t.info(L"t%d-%d", n, i);
        });
    for (auto& th : threads)
        th.join();
    t._closetrace(false);

    std::map<std::string, int> seen;
    for (const std::string& file : {path + "0", path})
        for (const auto& m : messages(readFile(file)))
            if (m[0] == 't')
                ++seen[m];
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), seen.size());
    for (const auto& [m, count] : seen)
        ASSERT_EQ(1, count) << m;
    EXPECT_EQ(49999u, messages(readFile(path + "0")).size());
}

TEST(TraceTest, ALogHeldByAnotherTraceIsNeitherMovedNorTruncated) {
    const std::string path = tempLog("Product.log");
    Trace service;
    service._inittrace(S2WS(path), TRACE_INFO, false, true, false);
    service.info(L"service record");

    Trace console;
    testing::internal::CaptureStdout();
    console._inittrace(S2WS(path), TRACE_INFO, true, true, false);
    console.info(L"console record");
    std::string out = testing::internal::GetCapturedStdout();
    service.info(L"service goes on");

    EXPECT_NE(std::string::npos, out.find("] console record"));
    auto written = messages(readFile(path));
    EXPECT_EQ(5u, written.size());
    EXPECT_EQ("service record", written[3]);
    EXPECT_EQ("service goes on", written[4]);
    EXPECT_FALSE(fs::exists(path + "0"));
    EXPECT_FALSE(fs::exists(path + "1"));
}

TEST(TraceTest, ATraceWithoutItsFileTouchesNothingAtTheRecordLimit) {
    // The log path names a folder: the trace writes to the console only.
    const std::string path = testsupport::makeTempDir("trace") + "/busy.log";
    fs::create_directory(path);
    warmUp();
    Trace t;
    testing::internal::CaptureStdout();
    t._inittrace(S2WS(path), TRACE_INFO, false, false, false);
    for (int i = 0; i < 50010; ++i)
        t.info(L"c");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find(path + "\n")) << out.substr(0, 300);
    EXPECT_TRUE(t.getConsoleMode());
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_FALSE(fs::exists(path + "0"));

    Trace never;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 50010; ++i)
        never.info(L"n");
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(never.initialized());
}

TEST(TraceTest, CloseTraceWritesTheClosingLineFromInfo) {
    struct sigaction before {};
    sigaction(SIGSEGV, nullptr, &before);
    for (TraceLevel level : {TRACE_INFO, TRACE_WARNING}) {
        const std::string path = tempLog();
        inittrace(S2WS(path), level, false, false);
        closetrace();
        EXPECT_FALSE(__trace__.initialized());
        bool closed =
            readFile(path).find(" closed.Process ID:" + std::to_string(getpid())) != std::string::npos;
        EXPECT_EQ(level == TRACE_INFO, closed) << level;
    }
    struct sigaction current {};
    sigaction(SIGSEGV, nullptr, &current);
    EXPECT_EQ(before.sa_handler, current.sa_handler) << "closetrace puts the previous handler back";
}

TEST(TraceTest, ErrorTexts) {
    EXPECT_EQ(L"The system cannot find the file specified.", tgetErrorString(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(L"", tgetErrorString(0xDEADBEEF));
    wchar_t* text = allocErrorString(ERROR_ACCESS_DENIED);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(0u, std::wstring(text).rfind(tgetErrorString(ERROR_ACCESS_DENIED), 0));
    delete[] text;
    EXPECT_EQ(nullptr, allocErrorString(0xDEADBEEF));

    const std::string path = tempLog();
    inittrace(S2WS(path), TRACE_INFO, false, false);
    errorWin(ERROR_FILE_NOT_FOUND);
    errorWin(0xDEADBEEF);
    OPENSSL_showfatal("bad %s %d", "thing", 7);
    closetrace();
    auto written = messages(readFile(path));
    EXPECT_EQ(1, std::count(written.begin(), written.end(),
                            "Windows error(code: 2):The system cannot find the file specified."));
    EXPECT_EQ(1, std::count(written.begin(), written.end(), "OpenSSL: bad thing 7"));
    EXPECT_EQ(6u, written.size());  // three start records, two errors, the closing line
}

TEST(TraceDeathTest, FatalSignalWritesTheDumpAndEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "fast");
    const std::string folder = testsupport::makeTempDir("crash");
    const std::string log = tempLog();
    EXPECT_EXIT(
        {
            inittrace(S2WS(log), TRACE_INFO, false, false);
            if (chdir(folder.c_str()) != 0)
                _exit(3);
            raise(SIGSEGV);
        },
        // The replaced handler ends the process: the default one by the signal, a
        // sanitizer's with its own failure exit.
        [](int status) {
            return (WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) ||
                   (WIFEXITED(status) && WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3);
        },
        "");
    // The report lands in the log folder, not in the folder the process was started from.
    EXPECT_EQ(readFile(folder + "/Antivirus-MiniDump.dmp"), "");
    const std::string dump = readFile(WS2S(createPath(getLogFolder(), L"Antivirus-MiniDump.dmp")));
    EXPECT_EQ(0u, dump.rfind("Signal: " + std::to_string(SIGSEGV) + "\n", 0)) << dump;
    EXPECT_NE(std::string::npos, dump.find("Backtrace:\n"));
}

}  // namespace
