#include "fake_engine_fixture.h"

#include <dlfcn.h>

#include <filesystem>

#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "support/test_root.h"

namespace enginetest {

std::wstring stageFakeEngine(const std::string& variant) {
    const std::string folder = testsupport::makeTempDir("scanner");
    std::filesystem::copy_file(std::string(FAKE_ENGINE_DIR) + "/" + variant + "/qvapi.dll",
                               folder + "/qvapi.dll");
    return S2WS(folder);
}

FakeEngineControl* fakeControl(const QVAPI_API& api) {
    if (api.libraryHandle() == nullptr)
        return nullptr;
    auto get = reinterpret_cast<FAKE_engine_control_t>(dlsym(api.libraryHandle(), "FAKE_engine_control"));
    return get != nullptr ? get() : nullptr;
}

LogCapture::LogCapture(int level) : path_(testsupport::makeTempDir("log") + "/trace.log") {
    __trace__._closetrace(false);
    __trace__._inittrace(S2WS(path_), static_cast<TraceLevel>(level), false, false, false);
}

LogCapture::~LogCapture() {
    __trace__._closetrace(false);
}

std::string LogCapture::text() const {
    return testsupport::readFile(path_);
}

}  // namespace enginetest
