#pragma once
// Helpers of the engine tests: fake engine libraries copied into a scanner folder of
// their own, their control block, and the global trace written to a file the test
// can read.
#include <string>

#include "fake_engine_control.h"
#include "scanwarden/qvapi_api.h"

namespace enginetest {

// A fresh scanner folder holding the fake engine `variant` ("complete",
// "missing_required", "no_optional") as qvapi.dll.
std::wstring stageFakeEngine(const std::string& variant);

// The control block of the fake engine that `api` has loaded (null when none).
FakeEngineControl* fakeControl(const QVAPI_API& api);

// Sends the global trace at `level` into a fresh file; text() reads what was written.
class LogCapture {
public:
    explicit LogCapture(int level = 5);
    ~LogCapture();
    std::string text() const;
    bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }

private:
    std::string path_;
};

}  // namespace enginetest
