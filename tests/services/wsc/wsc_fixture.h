#pragma once
// Shared set-up of the Security Center tests: the emulated Windows release, the trace
// log, the service key, a program folder of the test's own with the library of its
// choice, the Defender client, and a scripted Security Center ISV object.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "kitbase/platform/com_factory.h"
#include "kitbase/platform/security_center.h"
#include "kitbase/platform/wintypes.h"

namespace wsctest {

enum class Windows { Seven, Eight, TenBefore18323, TenFrom18323, Server };

// Writes the release into the machine's registry.
void emulate(Windows release);
const char* nameOf(Windows release);

// Opens the global trace at debug level on a file in the test root.
void openTrace();
// Whether a record of the level ("ERROR", "DEBUG", ...) holds exactly this text.
bool logged(const std::string& level, const std::string& text);
// How many records hold the text (any level).
int countLogged(const std::string& text);
std::string traceText();

// Creates the service's registry key (the "WSCSync" value lives there).
void createServiceKey();

// Points the program folder at a fresh folder of the test (the service's names are
// read from the branding library first) and returns it; its scanner folder is made.
std::string useOwnProgramFolder();
// Links `library` into the scanner folder as "vrnwsccomm.dll".
void placeLibrary(const std::string& programFolder, const std::string& library);
// The fake library variant's path ("wsc_fake_missing_3", ...).
std::string fakeLibrary(const std::string& name);

// Links the Defender client stand-in into the machine's program-files folder.
void installDefenderClient();

std::string state(const std::string& section, const std::string& key);

// A Security Center ISV object whose answers a test decides. Every call is counted;
// `live` counts the references handed out and not yet released.
struct FakeIsv {
    std::function<HRESULT(int attempt)> registerAnswer = [](int) { return S_OK; };
    std::function<HRESULT()> statusAnswer = [] { return S_OK; };
    std::atomic<int> registers{0};
    std::atomic<int> statusUpdates{0};
    std::atomic<int> unregisters{0};
    std::atomic<int> substatusCalls{0};
    std::atomic<int> antiSpywareRegisters{0};
    std::atomic<int> antiSpywareUpdates{0};
    std::atomic<int> antiSpywareUnregisters{0};
    std::atomic<int> objects{0};
    std::atomic<int> live{0};
    std::atomic<int> lastState{-1};
};
// Registers the fake as Security Center's ISV class; it must outlive every use.
void installFakeIsv(FakeIsv& fake);

}  // namespace wsctest
