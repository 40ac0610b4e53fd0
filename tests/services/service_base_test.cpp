// The framework's control sequences, seen from the manager's side: the test takes the
// manager's place on the control endpoint, receives every status report in order and
// sends the controls.
#include "kitbase/services/service_base.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <thread>

#include "kitbase/core/trace.h"
#include "kitbase/platform/event_log.h"
#include "kitbase/platform/service_channel.h"
#include "kitbase/platform/service_host.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"
#include "support/test_root.h"

using kitbase::ServiceChannel;

namespace {

class ProbeService : public CServiceBase {
public:
    ProbeService(const wchar_t* name, BOOL stop, BOOL shutdown, BOOL preShutdown, BOOL pause)
        : CServiceBase(name, stop, shutdown, preShutdown, pause) {}
    std::function<void()> onStart, onStop, onPause, onContinue, onReload, onShutdown, onPreShutdown;
    std::wstring startArg;
    using CServiceBase::SetServiceStatus;

protected:
    void OnStart(DWORD argc, wchar_t** argv) override {
        if (argc > 0)
            startArg = argv[0];
        if (onStart)
            onStart();
    }
    void OnStop() override { call(onStop); }
    void OnPause() override { call(onPause); }
    void OnContinue() override { call(onContinue); }
    void OnReload() override { call(onReload); }
    void OnShutdown() override { call(onShutdown); }
    void OnPreShutdown() override { call(onPreShutdown); }

private:
    static void call(const std::function<void()>& f) {
        if (f)
            f();
    }
};

struct Report {
    DWORD state, exitCode, checkPoint;
};

// The manager's end of the control endpoint.
class FakeManager {
public:
    FakeManager() {
        path_ = testsupport::testRoot() + "/svc.sock";
        listen_ = ServiceChannel::listenOn(path_);
        setenv(kitbase::kServiceEndpointVariable, path_.c_str(), 1);
    }
    ~FakeManager() {
        if (fd_ >= 0)
            ::close(fd_);
        ::close(listen_);
        unsetenv(kitbase::kServiceEndpointVariable);
    }

    void runService(CServiceBase& service) {
        thread_ = std::thread([this, &service] {
            result_ = CServiceBase::Run(service);
            error_ = GetLastError();
        });
        pollfd p{listen_, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        fd_ = ::accept(listen_, nullptr, nullptr);
        std::string hello;
        ASSERT_TRUE(ServiceChannel::receive(fd_, hello, 5000));
        ASSERT_EQ(hello, "HELLO");
        ASSERT_TRUE(ServiceChannel::send(fd_, "OK"));
    }

    // The next status report; false when none comes within the time.
    bool next(Report& r, int timeoutMs = 5000) {
        std::string text;
        if (!ServiceChannel::receive(fd_, text, timeoutMs))
            return false;
        auto w = ServiceChannel::words(text);
        if (w.size() != 8 || w[0] != "STATUS") {
            pending_ = text;
            return false;
        }
        r = {static_cast<DWORD>(std::stoul(w[2])), static_cast<DWORD>(std::stoul(w[4])),
             static_cast<DWORD>(std::stoul(w[6]))};
        last_ = r;
        if (r.state == SERVICE_STOPPED)
            ServiceChannel::send(fd_, "BYE");
        return true;
    }

    // Sends a control; returns the reports made while it was handled.
    std::vector<Report> control(DWORD code) {
        EXPECT_TRUE(ServiceChannel::send(fd_, "CONTROL " + std::to_string(code) + " 0"));
        std::vector<Report> reports;
        for (;;) {
            Report r;
            if (next(r)) {
                reports.push_back(r);
                continue;
            }
            EXPECT_EQ(pending_.substr(0, 4), "DONE") << pending_;
            return reports;
        }
    }

    BOOL finish() {
        if (last_.state != SERVICE_STOPPED)
            control(SERVICE_CONTROL_STOP);
        thread_.join();
        return result_;
    }
    DWORD error() const { return error_; }

private:
    std::string path_;
    int listen_ = -1;
    int fd_ = -1;
    std::thread thread_;
    BOOL result_ = FALSE;
    DWORD error_ = 0;
    std::string pending_;
    Report last_{0, 0, 0};
};

std::string eventLog() {
    return testsupport::readFile(kitbase::EventSource::logFilePath());
}

}  // namespace

TEST(CServiceBase, ConstructorFillsStatusRecord) {
    const struct {
        BOOL stop, shutdown, preShutdown, pause;
        DWORD accepted;
    } cases[] = {{1, 1, 1, 0, 0x10D}, {0, 0, 0, 0, 0x8}, {1, 0, 0, 1, 0xB}, {0, 1, 0, 0, 0xC}};
    for (const auto& c : cases) {
        ProbeService s(L"Svc", c.stop, c.shutdown, c.preShutdown, c.pause);
        SERVICE_STATUS st = s.status();
        EXPECT_EQ(st.dwControlsAccepted, c.accepted);
        EXPECT_EQ(st.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
        EXPECT_EQ(st.dwCurrentState, SERVICE_START_PENDING);
        EXPECT_EQ(st.dwCheckPoint, 0u);
    }
    ProbeService unnamed(nullptr, 1, 1, 1, 0);
    EXPECT_EQ(unnamed.serviceName(), L"");
    unnamed.WriteEventLogEntry(L"dropped", EVENTLOG_ERROR_TYPE, true);
    EXPECT_EQ(eventLog(), "");
}

TEST(CServiceBase, OutsideTheManagerRunFailsWith1063) {
    unsetenv(kitbase::kServiceEndpointVariable);
    ProbeService s(L"Svc", 1, 1, 1, 0);
    EXPECT_FALSE(CServiceBase::Run(s));
    EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(kitbase::registerServiceCtrlHandlerEx(L"Svc", nullptr, nullptr), 0u);
}

// Each test case runs in a process of its own, so this start makes the process's first
// pending report.
TEST(CServiceBase, StartReportsCheckPointOneThenRunningAndStopEndsRun) {
    FakeManager manager;
    ProbeService s(L"Svc", 1, 1, 1, 0);
    manager.runService(s);
    Report r;
    ASSERT_TRUE(manager.next(r));
    EXPECT_EQ(r.state, SERVICE_START_PENDING);
    EXPECT_EQ(r.checkPoint, 1u);
    ASSERT_TRUE(manager.next(r));
    EXPECT_EQ(r.state, SERVICE_RUNNING);
    EXPECT_EQ(r.checkPoint, 0u);
    EXPECT_EQ(s.startArg, L"Svc");

    auto reports = manager.control(SERVICE_CONTROL_STOP);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].state, SERVICE_STOP_PENDING);
    EXPECT_EQ(reports[0].checkPoint, 2u);  // the counter keeps counting
    EXPECT_EQ(reports[1].state, SERVICE_STOPPED);
    EXPECT_EQ(reports[1].checkPoint, 0u);
    EXPECT_TRUE(manager.finish());
}

TEST(CServiceBase, ControlSequences) {
    FakeManager manager;
    ProbeService s(L"Svc", 1, 1, 1, 1);
    int reloads = 0;
    s.onReload = [&] { ++reloads; };
    manager.runService(s);
    Report r;
    ASSERT_TRUE(manager.next(r));
    const DWORD first = r.checkPoint;
    ASSERT_TRUE(manager.next(r));

    auto pause = manager.control(SERVICE_CONTROL_PAUSE);
    ASSERT_EQ(pause.size(), 2u);
    EXPECT_EQ(pause[0].state, SERVICE_PAUSE_PENDING);
    EXPECT_EQ(pause[0].checkPoint, first + 1);
    EXPECT_EQ(pause[1].state, SERVICE_PAUSED);
    EXPECT_EQ(pause[1].checkPoint, first + 2);  // paused carries a check point

    auto resume = manager.control(SERVICE_CONTROL_CONTINUE);
    ASSERT_EQ(resume.size(), 2u);
    EXPECT_EQ(resume[0].state, SERVICE_CONTINUE_PENDING);
    EXPECT_EQ(resume[0].checkPoint, first + 3);
    EXPECT_EQ(resume[1].state, SERVICE_RUNNING);
    EXPECT_EQ(resume[1].checkPoint, 0u);

    // A reload, interrogate and unknown codes make no report.
    for (DWORD code : {SERVICE_CONTROL_PARAMCHANGE, SERVICE_CONTROL_INTERROGATE, 42u, 200u})
        EXPECT_TRUE(manager.control(code).empty()) << code;
    EXPECT_EQ(reloads, 1);

    auto pre = manager.control(SERVICE_CONTROL_PRESHUTDOWN);
    ASSERT_EQ(pre.size(), 1u);
    EXPECT_EQ(pre[0].state, SERVICE_STOP_PENDING);
    EXPECT_EQ(pre[0].checkPoint, first + 4);
    auto shutdown = manager.control(SERVICE_CONTROL_SHUTDOWN);
    ASSERT_EQ(shutdown.size(), 1u);
    EXPECT_EQ(shutdown[0].state, SERVICE_STOPPED);
    EXPECT_TRUE(manager.finish());
}

TEST(CServiceBase, ThrowingStartStopsWithTheCodeAndAnErrorEvent) {
    inittrace(kitbase::utf8ToWide(testsupport::testRoot() + "/trace.log"), TRACE_DEBUG, false, false);
    FakeManager manager;
    ProbeService s(L"Svc", 1, 1, 1, 0);
    s.onStart = [] { throw DWORD(5); };
    manager.runService(s);
    Report r;
    ASSERT_TRUE(manager.next(r));
    ASSERT_TRUE(manager.next(r));
    EXPECT_EQ(r.state, SERVICE_STOPPED);
    EXPECT_EQ(r.exitCode, 5u);
    EXPECT_EQ(r.checkPoint, 0u);
    EXPECT_TRUE(manager.finish());
    EXPECT_NE(eventLog().find("\tError\tSvc\t0\t0\tSvc\tService Start failed w/err 0x00000005"),
              std::string::npos)
        << eventLog();
    closetrace();
    EXPECT_NE(testsupport::readFile(testsupport::testRoot() + "/trace.log")
                  .find("Service Start failed w/err 0x00000005"),
              std::string::npos);
}

TEST(CServiceBase, ThrowingOperationsRecover) {
    FakeManager manager;
    ProbeService s(L"Svc", 1, 1, 1, 1);
    manager.runService(s);
    Report r;
    ASSERT_TRUE(manager.next(r));
    ASSERT_TRUE(manager.next(r));
    const struct {
        std::function<void()>* hook;
        bool throwCode;
        DWORD control;
        std::vector<DWORD> states;  // reports made, recovery last
        const char* event;
    } cases[] = {
        {&s.onStop,
         true,
         SERVICE_CONTROL_STOP,
         {SERVICE_STOP_PENDING, SERVICE_RUNNING},
         "Service Stop failed w/err 0x00000007"},
        {&s.onStop,
         false,
         SERVICE_CONTROL_STOP,
         {SERVICE_STOP_PENDING, SERVICE_RUNNING},
         "Service failed to stop."},
        {&s.onPause,
         false,
         SERVICE_CONTROL_PAUSE,
         {SERVICE_PAUSE_PENDING, SERVICE_RUNNING},
         "Service failed to pause."},
        {&s.onReload, true, SERVICE_CONTROL_PARAMCHANGE, {}, "Service Reload error failed w/err 0x00000007"},
        {&s.onReload, false, SERVICE_CONTROL_PARAMCHANGE, {}, "Service failed to reload."},
        {&s.onPreShutdown,
         true,
         SERVICE_CONTROL_PRESHUTDOWN,
         {},
         "Service PreShutdown failed w/err 0x00000007"},
        {&s.onShutdown, false, SERVICE_CONTROL_SHUTDOWN, {}, "Service failed to shut down."},
    };
    for (const auto& c : cases) {
        bool code = c.throwCode;
        *c.hook = [code] {
            if (code)
                throw DWORD(7);
            throw std::runtime_error("x");
        };
        auto reports = manager.control(c.control);
        ASSERT_EQ(reports.size(), c.states.size()) << c.event;
        for (size_t i = 0; i < reports.size(); ++i)
            EXPECT_EQ(reports[i].state, c.states[i]) << c.event;
        if (!reports.empty()) {
            EXPECT_EQ(reports.back().checkPoint, 0u) << c.event;
        }
        EXPECT_NE(eventLog().find(std::string("\tError\tSvc\t0\t0\tSvc\t") + c.event), std::string::npos)
            << c.event;
        *c.hook = nullptr;
    }
    // A failed resume goes back to paused, with a check point.
    ASSERT_EQ(manager.control(SERVICE_CONTROL_PAUSE).size(), 2u);
    s.onContinue = [] { throw 1.5; };
    auto reports = manager.control(SERVICE_CONTROL_CONTINUE);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, SERVICE_PAUSED);
    EXPECT_NE(reports[1].checkPoint, 0u);
    EXPECT_NE(eventLog().find("Service failed to resume."), std::string::npos);
    EXPECT_TRUE(manager.finish());
}

// A detection alert names a file: its text is data for the event log and the trace
// log, never a format.
TEST(CServiceBase, EventTextIsNeverAFormat) {
    const std::string tracePath = testsupport::testRoot() + "/trace.log";
    inittrace(kitbase::utf8ToWide(tracePath), TRACE_DEBUG, false, false);
    ProbeService s(L"Svc", 1, 1, 1, 0);
    const wchar_t* text = L"Malware found in C:\\a%n%s%s%n.exe (Eicar %x%p)";
    s.AlertEventLogEntry(text);
    s.WriteEventLogEntry(text, EVENTLOG_INFORMATION_TYPE, true);
    s.WriteEventLogEntry(text, 77, true);
    closetrace();
    const std::string expected = kitbase::wideToUtf8(text);
    EXPECT_NE(eventLog().find("\tWarning\tSvc\t0\t0\tSvc\t" + expected), std::string::npos) << eventLog();
    const std::string trace = testsupport::readFile(tracePath);
    size_t count = 0;
    for (size_t at = trace.find(expected); at != std::string::npos; at = trace.find(expected, at + 1))
        ++count;
    EXPECT_EQ(count, 3u) << trace;
}

// The service-main thread reports while the dispatcher thread runs controls: every
// pending report gets its own check point, in the order the reports arrive.
TEST(CServiceBase, ConcurrentReportsGetDistinctOrderedCheckPoints) {
    FakeManager manager;
    ProbeService s(L"Svc", 1, 1, 1, 1);
    std::atomic<bool> release{false};
    s.onStart = [&] {
        for (int i = 0; i < 300; ++i)
            s.SetServiceStatus(SERVICE_START_PENDING);
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    manager.runService(s);
    std::vector<DWORD> checkPoints;
    std::vector<Report> all;
    for (int i = 0; i < 30; ++i) {
        auto reports = manager.control(i % 2 ? SERVICE_CONTROL_CONTINUE : SERVICE_CONTROL_PAUSE);
        all.insert(all.end(), reports.begin(), reports.end());
    }
    release = true;
    Report r;
    while (manager.next(r, 2000) && r.state != SERVICE_RUNNING)
        all.push_back(r);
    for (const auto& rep : all) {
        if (rep.checkPoint)
            checkPoints.push_back(rep.checkPoint);
    }
    ASSERT_GT(checkPoints.size(), 300u);
    for (size_t i = 1; i < checkPoints.size(); ++i)
        ASSERT_EQ(checkPoints[i], checkPoints[i - 1] + 1) << i;
    EXPECT_TRUE(manager.finish());
}
