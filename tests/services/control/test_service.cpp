// A small service for the end-to-end tests.
//   kitbase_test_service install NAME DESCRIPTION   installs itself as the service NAME
//   kitbase_test_service                            runs as the service
// As a service it reads its settings from ROOT/test_service.ini (name=..., pause=1,
// throwOnStart=N, alertOnReload=TEXT) and notes each virtual operation in
// ROOT/test_service.journal. OnStart waits while the file ROOT/hold-start exists.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "kitbase/core/trace.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"
#include "kitbase/services/service_base.h"

namespace {

std::map<std::string, std::string> settings() {
    std::map<std::string, std::string> out;
    std::ifstream in(kitbase::machineRoot() + "/test_service.ini");
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos)
            out[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}

void journal(const std::string& line) {
    std::string text = line + "\n";
    int fd = ::open((kitbase::machineRoot() + "/test_service.journal").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                    0644);
    if (fd >= 0) {
        [[maybe_unused]] ssize_t n = ::write(fd, text.data(), text.size());
        ::close(fd);
    }
}

class TestService : public CServiceBase {
public:
    TestService(const std::wstring& name, std::map<std::string, std::string> s)
        : CServiceBase(name.c_str(), TRUE, TRUE, TRUE, s["pause"] == "1"), settings_(std::move(s)) {}

protected:
    void OnStart(DWORD argc, wchar_t** argv) override {
        journal("OnStart " + std::to_string(argc) + " " + kitbase::wideToUtf8(argv[0]) + " " +
                std::to_string(getpid()));
        const std::string hold = kitbase::machineRoot() + "/hold-start";
        while (::access(hold.c_str(), F_OK) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!settings_["throwOnStart"].empty())
            throw static_cast<DWORD>(std::stoul(settings_["throwOnStart"]));
    }
    void OnStop() override { journal("OnStop"); }
    void OnPause() override { journal("OnPause"); }
    void OnContinue() override { journal("OnContinue"); }
    void OnReload() override {
        journal("OnReload");
        if (!settings_["alertOnReload"].empty())
            AlertEventLogEntry(kitbase::utf8ToWide(settings_["alertOnReload"]).c_str());
    }

private:
    std::map<std::string, std::string> settings_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "install") {
        InstallService(kitbase::utf8ToWide(argv[2]).c_str(), L"Kitbase Test Service", SERVICE_DEMAND_START,
                       L"", L"LocalSystem", nullptr, kitbase::utf8ToWide(argv[3]).c_str());
        return 0;
    }
    auto s = settings();
    inittrace(kitbase::utf8ToWide(kitbase::machineRoot() + "/service-trace.log"), TRACE_DEBUG, false, false);
    TestService service(kitbase::utf8ToWide(s["name"]), s);
    BOOL ok = CServiceBase::Run(service);
    DWORD error = GetLastError();
    journal(ok ? "Run ended" : "Run failed " + std::to_string(error));
    closetrace();
    return ok ? 0 : 3;
}
