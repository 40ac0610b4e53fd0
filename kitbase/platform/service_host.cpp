#include "kitbase/platform/service_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <optional>
#include <vector>

#include "kitbase/platform/private_files.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/service_channel.h"
#include "kitbase/platform/spawner.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

namespace kitbase {

SC_ACTION FailureCounter::next(const ServiceConfig& config, time_t now) {
    if (count_ > 0 && config.failureResetSeconds != 0xFFFFFFFFu &&
        now - last_ >= static_cast<time_t>(config.failureResetSeconds))
        count_ = 0;
    last_ = now;
    ++count_;
    if (config.failureActions.empty())
        return SC_ACTION{};
    size_t index = count_ - 1;
    if (index >= config.failureActions.size())
        index = config.failureActions.size() - 1;
    return config.failureActions[index];
}

namespace {

using Clock = std::chrono::steady_clock;

// How long a supervisor whose start failed waits for the starter to ask how it went.
constexpr auto kLingerForStarter = std::chrono::seconds(10);

class Host {
public:
    explicit Host(std::wstring name) : name_(std::move(name)) {}

    int run() {
        signal(SIGPIPE, SIG_IGN);
        if (!ensureFolder(runFolder() + "/services", 0700))
            return 1;
        lockFd_ =
            ::open(ServiceDatabase::runPath(name_, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0)
            return 1;  // another supervisor runs this service
        if (ServiceDatabase::read(name_, config_) != ERROR_SUCCESS)
            return 1;
        socketPath_ = ServiceDatabase::runPath(name_, ".sock");
        listenFd_ = ServiceChannel::listenOn(socketPath_);
        if (listenFd_ < 0)
            return 1;
        setenv(kServiceEndpointVariable, socketPath_.c_str(), 1);
        launched_ = Clock::now();
        startProcess();
        loop();
        finish();
        return 0;
    }

private:
    struct Conn {
        int fd;
        bool service = false;
        bool waitsForStart = false;
    };

    bool processRunning() const { return child_.running(); }

    void startProcess() {
        status_ = SERVICE_STATUS_PROCESS();
        status_.dwServiceType = config_.serviceType;
        status_.dwCurrentState = SERVICE_START_PENDING;
        stopReported_ = false;
        helloSeen_ = false;
        startError_ = ERROR_SUCCESS;
        std::string program = wideToUtf8(config_.binaryPath);
        if (program.find('"') != std::string::npos) {
            startFailed(ERROR_INVALID_NAME);
            return;
        }
        child_ = ChildProcess();
        if (!child_.start("\"" + program + "\"", "/")) {
            startFailed(GetLastError());
            return;
        }
        pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, child_.pid(), 0));
        status_.dwProcessId = static_cast<DWORD>(child_.pid());
        writeStatusFile();
    }

    void startFailed(DWORD error) {
        startError_ = error;
        status_.dwCurrentState = SERVICE_STOPPED;
        status_.dwWin32ExitCode = error;
        status_.dwProcessId = 0;
        writeStatusFile();
        answerStarters(error);
    }

    void writeStatusFile() {
        // Anyone may read a service's status; the file is never written through a
        // link planted at a fixed name.
        writeFileAtomically(ServiceDatabase::runPath(name_, ".status"),
                            ServiceChannel::statusText(status_) + "\n", 0644);
    }

    void reply(int fd, const std::string& message) { ServiceChannel::send(fd, message); }

    void replyResult(int fd, DWORD error) {
        reply(fd, "RESULT " + std::to_string(error) + " " + ServiceChannel::statusText(status_));
    }

    void answerStarters(DWORD error) {
        for (auto& c : conns_) {
            if (c.waitsForStart) {
                c.waitsForStart = false;
                replyResult(c.fd, error);
            }
        }
    }

    // Whether the service can take the control now (ERROR_SUCCESS) or why not.
    DWORD acceptance(DWORD control) const {
        if (!processRunning() || status_.dwCurrentState == SERVICE_STOPPED)
            return ERROR_SERVICE_NOT_ACTIVE;
        if (serviceFd_ < 0)
            return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        if (control == SERVICE_CONTROL_INTERROGATE)
            return ERROR_SUCCESS;
        if (status_.dwCurrentState == SERVICE_START_PENDING || status_.dwCurrentState == SERVICE_STOP_PENDING)
            return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        DWORD needed = 0;
        switch (control) {
            case SERVICE_CONTROL_STOP:
                needed = SERVICE_ACCEPT_STOP;
                break;
            case SERVICE_CONTROL_PAUSE:
            case SERVICE_CONTROL_CONTINUE:
                needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
                break;
            case SERVICE_CONTROL_SHUTDOWN:
                needed = SERVICE_ACCEPT_SHUTDOWN;
                break;
            case SERVICE_CONTROL_PARAMCHANGE:
                needed = SERVICE_ACCEPT_PARAMCHANGE;
                break;
            case SERVICE_CONTROL_PRESHUTDOWN:
                needed = SERVICE_ACCEPT_PRESHUTDOWN;
                break;
            default:
                if (control >= SERVICE_USER_CONTROL_FIRST && control <= SERVICE_USER_CONTROL_LAST)
                    return ERROR_SUCCESS;
                return ERROR_INVALID_PARAMETER;
        }
        return (status_.dwControlsAccepted & needed) ? ERROR_SUCCESS : ERROR_INVALID_SERVICE_CONTROL;
    }

    // Sends the next queued control to the service when none is under way.
    void pump() {
        while (inFlight_ == kNone && !queue_.empty()) {
            auto [fd, control] = queue_.front();
            queue_.pop_front();
            DWORD error = acceptance(control);
            if (error == ERROR_SUCCESS &&
                !ServiceChannel::send(serviceFd_, "CONTROL " + std::to_string(control) + " 0"))
                error = ERROR_SERVICE_NOT_ACTIVE;
            if (error != ERROR_SUCCESS) {
                if (fd >= 0)
                    replyResult(fd, error);
                continue;
            }
            inFlight_ = fd;
        }
    }

    void closeConn(size_t index) {
        int fd = conns_[index].fd;
        if (fd == serviceFd_)
            serviceFd_ = -1;
        if (inFlight_ == fd)
            inFlight_ = kGone;
        for (auto& q : queue_)
            if (q.first == fd)
                q.first = kGone;
        ::close(fd);
        conns_.erase(conns_.begin() + static_cast<long>(index));
    }

    void fromService(const std::vector<std::string>& w) {
        if (w[0] == "STATUS") {
            SERVICE_STATUS_PROCESS s;
            std::vector<std::string> words = w;
            words.push_back("0");
            if (!ServiceChannel::parseStatus(words, 1, s))
                return;
            s.dwProcessId = status_.dwProcessId;
            status_ = s;
            if (s.dwCurrentState == SERVICE_STOPPED) {
                stopReported_ = true;
                ServiceChannel::send(serviceFd_, "BYE");
            }
            writeStatusFile();
        } else if (w[0] == "DONE") {
            int fd = inFlight_;
            inFlight_ = kNone;
            DWORD error = w.size() > 1 ? static_cast<DWORD>(std::strtoul(w[1].c_str(), nullptr, 10)) : 0;
            if (fd >= 0)
                replyResult(fd, error);
            pump();
        }
    }

    // Handles one message; false when the connection is to be closed.
    bool message(Conn& c, const std::string& text) {
        auto w = ServiceChannel::words(text);
        if (w.empty())
            return false;
        if (c.service) {
            fromService(w);
            return true;
        }
        const std::string& verb = w[0];
        if (verb == "HELLO") {
            unsigned uid = 0;
            int pid = 0;
            bool ours = ServiceChannel::peer(c.fd, uid, pid) && processRunning() && pid == child_.pid() &&
                        serviceFd_ < 0 && !helloSeen_;
            if (!ours) {
                reply(c.fd, "ERR " + std::to_string(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
                return false;
            }
            c.service = true;
            serviceFd_ = c.fd;
            helloSeen_ = true;
            reply(c.fd, "OK");
            answerStarters(ERROR_SUCCESS);
            return true;
        }
        hadClient_ = true;
        if (verb == "QUERY") {
            reply(c.fd, "STATUS " + ServiceChannel::statusText(status_));
        } else if (verb == "CONTROL" && w.size() > 1) {
            queue_.emplace_back(c.fd, static_cast<DWORD>(std::strtoul(w[1].c_str(), nullptr, 10)));
            pump();
        } else if (verb == "START" || verb == "WAITSTART") {
            if (verb == "START" && processRunning()) {
                replyResult(c.fd, ERROR_SERVICE_ALREADY_RUNNING);
            } else if (verb == "START") {
                // Waiting to restart, or lingering after a failed start: start now.
                restartAt_.reset();
                if (ServiceDatabase::read(name_, config_) != ERROR_SUCCESS) {
                    replyResult(c.fd, ERROR_SERVICE_DOES_NOT_EXIST);
                    return true;
                }
                c.waitsForStart = true;
                startProcess();
            } else if (helloSeen_ && processRunning()) {
                replyResult(c.fd, ERROR_SUCCESS);
            } else if (processRunning()) {
                c.waitsForStart = true;
            } else {
                replyResult(c.fd, startError_ != ERROR_SUCCESS ? startError_ : ERROR_SERVICE_REQUEST_TIMEOUT);
            }
        } else {
            return false;
        }
        return true;
    }

    void processEnded() {
        if (pidfd_ >= 0) {
            ::close(pidfd_);
            pidfd_ = -1;
        }
        // What the service said before it ended comes first (its last reports and answers).
        for (size_t i = 0; i < conns_.size(); ++i) {
            if (conns_[i].service) {
                std::string text;
                while (serviceFd_ >= 0 && ServiceChannel::receive(serviceFd_, text, 0))
                    message(conns_[i], text);
                closeConn(i);
                break;
            }
        }
        if (inFlight_ >= 0)
            replyResult(inFlight_, ERROR_SERVICE_NOT_ACTIVE);
        inFlight_ = kNone;
        status_.dwProcessId = 0;
        if (!stopReported_) {
            // Ended without saying so: a failure, which the failure actions answer.
            status_.dwCurrentState = SERVICE_STOPPED;
            status_.dwControlsAccepted = 0;
            status_.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
            status_.dwCheckPoint = 0;
            status_.dwWaitHint = 0;
            ServiceConfig current;
            if (ServiceDatabase::read(name_, current) == ERROR_SUCCESS) {
                config_ = current;
                SC_ACTION action = failures_.next(config_, time(nullptr));
                if (action.Type == SC_ACTION_RESTART)
                    restartAt_ = Clock::now() + std::chrono::milliseconds(action.Delay);
            }
        }
        writeStatusFile();
        answerStarters(ERROR_SERVICE_REQUEST_TIMEOUT);
        pump();  // whatever is queued now gets "not active"
    }

    bool shouldEnd() const {
        if (processRunning() || restartAt_)
            return false;
        return hadClient_ || Clock::now() - launched_ > kLingerForStarter;
    }

    void loop() {
        for (;;) {
            if (processRunning() && child_.wait(0))
                processEnded();
            if (restartAt_ && Clock::now() >= *restartAt_) {
                restartAt_.reset();
                if (ServiceDatabase::read(name_, config_) == ERROR_SUCCESS)
                    startProcess();
            }
            if (shouldEnd() && inFlight_ == kNone)
                return;

            std::vector<pollfd> fds;
            fds.push_back({listenFd_, POLLIN, 0});
            if (pidfd_ >= 0)
                fds.push_back({pidfd_, POLLIN, 0});
            size_t firstConn = fds.size();
            for (const auto& c : conns_)
                fds.push_back({c.fd, POLLIN, 0});
            int timeout = 1000;
            if (processRunning() && pidfd_ < 0)
                timeout = 100;
            if (restartAt_) {
                auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(*restartAt_ - Clock::now()).count();
                timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(left, timeout)));
            }
            int rc = ::poll(fds.data(), fds.size(), timeout);
            if (rc <= 0)
                continue;
            if (fds[0].revents & POLLIN)
                accept();
            // Connections, newest last; closing one shifts the rest, so walk backwards.
            for (size_t i = fds.size(); i-- > firstConn;) {
                if (!fds[i].revents)
                    continue;
                size_t index = i - firstConn;
                std::string text;
                if (!ServiceChannel::receive(conns_[index].fd, text, 0) || !message(conns_[index], text))
                    closeConn(index);
            }
        }
    }

    void accept() {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        unsigned uid = 0;
        int pid = 0;
        // Only the administrator, the supervisor's own user and the service may talk to it.
        if (!ServiceChannel::peer(fd, uid, pid) || (uid != 0 && uid != ::geteuid())) {
            ::close(fd);
            return;
        }
        conns_.push_back(Conn{fd});
    }

    void finish() {
        ::unlink(socketPath_.c_str());
        ::close(listenFd_);
        for (auto& q : queue_)
            if (q.first >= 0)
                replyResult(q.first, ERROR_SERVICE_NOT_ACTIVE);
        queue_.clear();
        while (!conns_.empty())
            closeConn(conns_.size() - 1);
        writeStatusFile();
        ::close(lockFd_);
    }

    static constexpr int kNone = -1;  // no control under way
    static constexpr int kGone = -2;  // a control under way whose requester left

    std::wstring name_;
    ServiceConfig config_;
    SERVICE_STATUS_PROCESS status_;
    ChildProcess child_;
    int pidfd_ = -1;
    int lockFd_ = -1;
    int listenFd_ = -1;
    int serviceFd_ = -1;
    std::string socketPath_;
    std::vector<Conn> conns_;
    std::deque<std::pair<int, DWORD>> queue_;
    int inFlight_ = kNone;
    bool stopReported_ = false;
    bool helloSeen_ = false;
    bool hadClient_ = false;
    DWORD startError_ = ERROR_SUCCESS;
    FailureCounter failures_;
    std::optional<Clock::time_point> restartAt_;
    Clock::time_point launched_;
};

}  // namespace

int runServiceHost(const std::wstring& serviceName) {
    Host host(serviceName);
    return host.run();
}

}  // namespace kitbase
