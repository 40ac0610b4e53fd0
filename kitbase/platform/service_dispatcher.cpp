#include "kitbase/platform/service_dispatcher.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kitbase/platform/service_channel.h"
#include "kitbase/platform/service_host.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

// How long the dispatcher waits for the service main to return once the service stopped.
constexpr auto kServiceMainGrace = std::chrono::seconds(30);

struct DispatcherState {
    std::mutex lock;  // guards every field; also serialises what is sent on the connection
    bool active = false;
    int fd = -1;
    std::wstring name;
    ServiceHandlerFunction handler = nullptr;
    void* context = nullptr;
    ServiceStatusHandle handle = 0;  // valid handle while a handler is registered
    uintptr_t generation = 0;
};

DispatcherState& state() {
    static DispatcherState s;
    return s;
}

// Tells the service main's thread has returned.
struct MainDone {
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
};

bool sendLocked(DispatcherState& s, const std::string& message) {
    return s.fd >= 0 && ServiceChannel::send(s.fd, message);
}

}  // namespace

BOOL startServiceCtrlDispatcher(const std::wstring& name, ServiceMainFunction serviceMain) {
    const char* endpoint = getenv(kServiceEndpointVariable);
    if (!endpoint || !*endpoint || !serviceMain) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    DispatcherState& s = state();
    int fd;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.active) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        fd = ServiceChannel::connectTo(endpoint);
        std::string answer;
        if (fd < 0 || !ServiceChannel::send(fd, "HELLO") || !ServiceChannel::receive(fd, answer, 10000) ||
            answer != "OK") {
            if (fd >= 0)
                ::close(fd);
            SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
            return FALSE;
        }
        s.active = true;
        s.fd = fd;
        s.name = name;
    }

    // The service main gets the service name as its one argument.
    auto done = std::make_shared<MainDone>();
    std::thread mainThread([done, name, serviceMain] {
        std::vector<wchar_t> arg(name.begin(), name.end());
        arg.push_back(0);
        wchar_t* argv[] = {arg.data(), nullptr};
        serviceMain(1, argv);
        std::lock_guard<std::mutex> guard(done->lock);
        done->done = true;
        done->cv.notify_all();
    });

    bool lost = false;
    for (;;) {
        std::string text;
        if (!ServiceChannel::receive(fd, text, -1)) {
            lost = true;
            break;
        }
        auto w = ServiceChannel::words(text);
        if (w.empty())
            continue;
        if (w[0] == "BYE")
            break;
        if (w[0] != "CONTROL" || w.size() < 3)
            continue;
        DWORD control = static_cast<DWORD>(std::strtoul(w[1].c_str(), nullptr, 10));
        DWORD eventType = static_cast<DWORD>(std::strtoul(w[2].c_str(), nullptr, 10));
        ServiceHandlerFunction handler;
        void* context;
        {
            std::lock_guard<std::mutex> guard(s.lock);
            handler = s.handler;
            context = s.context;
        }
        // The handler runs here, on the dispatcher's thread, to its end.
        DWORD result = handler ? handler(control, eventType, nullptr, context)
                               : (control == SERVICE_CONTROL_INTERROGATE ? ERROR_SUCCESS
                                                                         : ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        std::lock_guard<std::mutex> guard(s.lock);
        sendLocked(s, "DONE " + std::to_string(result));
    }

    {
        std::unique_lock<std::mutex> guard(done->lock);
        done->cv.wait_for(guard, kServiceMainGrace, [&] { return done->done; });
        if (done->done) {
            guard.unlock();
            mainThread.join();
        } else {
            // A service main that does not return is left to the end of the process.
            guard.unlock();
            mainThread.detach();
        }
    }
    {
        std::lock_guard<std::mutex> guard(s.lock);
        ::close(s.fd);
        s.fd = -1;
        s.active = false;
        s.handler = nullptr;
        s.context = nullptr;
        s.handle = 0;
    }
    if (lost) {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    return TRUE;
}

ServiceStatusHandle registerServiceCtrlHandlerEx(const std::wstring& name, ServiceHandlerFunction handler,
                                                 void* context) {
    DispatcherState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.active) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return 0;
    }
    if (name != s.name || !handler) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return 0;
    }
    s.handler = handler;
    s.context = context;
    s.handle = ++s.generation;
    return s.handle;
}

BOOL reportServiceStatus(ServiceStatusHandle handle, const SERVICE_STATUS& status) {
    DispatcherState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (handle == 0 || handle != s.handle || s.fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SERVICE_STATUS_PROCESS p;
    static_cast<SERVICE_STATUS&>(p) = status;
    std::string words = ServiceChannel::statusText(p);
    words.erase(words.rfind(' '));  // the process id is the manager's to tell
    if (!sendLocked(s, "STATUS " + words)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // namespace kitbase
