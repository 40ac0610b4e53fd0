#include "wsc_fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "kitbase/core/folders.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/registry_store.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "support/test_root.h"

namespace wsctest {

namespace {

struct Release {
    const wchar_t* currentVersion;
    const wchar_t* build;
    int major;  // -1: no number values
    int minor;
    const wchar_t* csd;
    const wchar_t* installationType;
};

Release releaseOf(Windows w) {
    switch (w) {
        case Windows::Seven:
            return {L"6.1", L"7601", -1, 0, L"Service Pack 1", L"Client"};
        case Windows::Eight:
            return {L"6.2", L"9200", -1, 0, nullptr, L"Client"};
        case Windows::TenBefore18323:
            return {L"6.3", L"17763", 10, 0, nullptr, L"Client"};
        case Windows::TenFrom18323:
            return {L"6.3", L"19045", 10, 0, nullptr, L"Client"};
        case Windows::Server:
            return {L"6.3", L"17763", 10, 0, nullptr, L"Server"};
    }
    return {};
}

std::string tracePath() {
    return testsupport::testRoot() + "/wsc-trace.log";
}

void link(const std::string& target, const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::filesystem::remove(path, ec);
    std::filesystem::create_symlink(target, path, ec);
    ASSERT_FALSE(ec) << ec.message() << ": " << path;
}

// The fake's two faces share the counters of the script.
class FakeObject {
public:
    explicit FakeObject(FakeIsv& script) : script_(script) { ++script_.objects; }

    class AntiVirus : public IWscAVStatus4 {
    public:
        explicit AntiVirus(FakeObject& o) : o_(o) {}
        HRESULT QueryInterface(const IID& iid, void** out) override { return o_.query(iid, out); }
        ULONG AddRef() override { return o_.addRef(); }
        ULONG Release() override { return o_.release(); }
        HRESULT Register(const wchar_t*, const wchar_t*, BOOL, BOOL) override {
            return o_.script_.registerAnswer(++o_.script_.registers);
        }
        HRESULT Unregister() override {
            ++o_.script_.unregisters;
            return S_OK;
        }
        HRESULT UpdateStatus(int state, BOOL) override {
            ++o_.script_.statusUpdates;
            o_.script_.lastState = state;
            return o_.script_.statusAnswer();
        }
        HRESULT InitiateOfflineCleaning(const wchar_t*, const wchar_t*) override { return E_NOTIMPL; }
        HRESULT NotifyUserForNearExpiration(DWORD) override { return E_NOTIMPL; }
        HRESULT UpdateThreatStatus(int) override { return E_NOTIMPL; }
        HRESULT UpdateProtectionUpdateTime(ULONGLONG) override { return E_NOTIMPL; }
        HRESULT UpdateScanSubstatus(int) override { return substatus(); }
        HRESULT UpdateSettingsSubstatus(int) override { return substatus(); }
        HRESULT UpdateProtectionUpdateSubstatus(int) override { return substatus(); }

    private:
        HRESULT substatus() {
            ++o_.script_.substatusCalls;
            return S_OK;
        }
        FakeObject& o_;
    };

    class AntiSpyware : public IWscASStatus {
    public:
        explicit AntiSpyware(FakeObject& o) : o_(o) {}
        HRESULT QueryInterface(const IID& iid, void** out) override { return o_.query(iid, out); }
        ULONG AddRef() override { return o_.addRef(); }
        ULONG Release() override { return o_.release(); }
        HRESULT Register(const wchar_t*, const wchar_t*, BOOL, BOOL) override {
            ++o_.script_.antiSpywareRegisters;
            return S_OK;
        }
        HRESULT Unregister() override {
            ++o_.script_.antiSpywareUnregisters;
            return S_OK;
        }
        HRESULT UpdateStatus(int, BOOL) override {
            ++o_.script_.antiSpywareUpdates;
            return S_OK;
        }

    private:
        FakeObject& o_;
    };

    HRESULT query(const IID& iid, void** out) {
        if (iid == IID_IUnknown || iid == IID_IWscAVStatus || iid == IID_IWscAVStatus4)
            *out = static_cast<IWscAVStatus4*>(&av_);
        else if (iid == IID_IWscASStatus)
            *out = static_cast<IWscASStatus*>(&as_);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        addRef();
        return S_OK;
    }
    ULONG addRef() {
        ++script_.live;
        return ++refs_;
    }
    ULONG release() {
        --script_.live;
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    FakeIsv& script_;
    std::atomic<ULONG> refs_{0};
    AntiVirus av_{*this};
    AntiSpyware as_{*this};
};

}  // namespace

void emulate(Windows w) {
    const Release r = releaseOf(w);
    kitbase::RegistryStore& store = kitbase::RegistryStore::machine();
    store.deleteKey(kitbase::kWindowsVersionKey);
    kitbase::RegistryKey key;
    ASSERT_EQ(store.createKey(kitbase::kWindowsVersionKey, KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    store.setString(key, L"CurrentVersion", r.currentVersion);
    store.setString(key, L"CurrentBuild", r.build);
    if (r.major >= 0) {
        store.setDword(key, L"CurrentMajorVersionNumber", static_cast<DWORD>(r.major));
        store.setDword(key, L"CurrentMinorVersionNumber", static_cast<DWORD>(r.minor));
    }
    if (r.csd)
        store.setString(key, L"CSDVersion", r.csd);
    store.setString(key, L"InstallationType", r.installationType);
}

const char* nameOf(Windows w) {
    switch (w) {
        case Windows::Seven:
            return "Windows7SP1";
        case Windows::Eight:
            return "Windows8";
        case Windows::TenBefore18323:
            return "Windows10Build17763";
        case Windows::TenFrom18323:
            return "Windows10Build19045";
        case Windows::Server:
            return "Server";
    }
    return "?";
}

void openTrace() {
    __trace__._inittrace(kitbase::utf8ToWide(tracePath()), TRACE_DEBUG, false, false, false);
}

std::string traceText() {
    return testsupport::readFile(tracePath());
}

bool logged(const std::string& level, const std::string& text) {
    const std::string prefix = "[" + level + "] ";
    // A record may span lines: look for the text right after the level and time stamp.
    const std::string log = traceText();
    size_t at = 0;
    while ((at = log.find(prefix, at)) != std::string::npos) {
        const size_t stamp = log.find("] ", at + prefix.size());
        if (stamp != std::string::npos && log.compare(stamp + 2, text.size(), text) == 0)
            return true;
        at += prefix.size();
    }
    return false;
}

int countLogged(const std::string& text) {
    const std::string log = traceText();
    int count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size()))
        ++count;
    return count;
}

void createServiceKey() {
    const std::wstring& path = getServiceRegPath();
    ASSERT_FALSE(path.empty()) << "no service name from the branding library";
    Registry key;
    ASSERT_TRUE(key.Create(path));
}

std::string useOwnProgramFolder() {
    getServiceRegPath();
    getproductName();
    const std::string folder = testsupport::makeTempDir("program");
    setWorkingPath(kitbase::utf8ToWide(folder));
    std::filesystem::create_directories(folder + "/Scanner");
    return folder;
}

void placeLibrary(const std::string& programFolder, const std::string& library) {
    link(library, programFolder + "/Scanner/vrnwsccomm.dll");
}

std::string fakeLibrary(const std::string& name) {
    return std::string(WSC_FAKE_DIR) + "/" + name + ".dll";
}

void installDefenderClient() {
    link(MPCLIENT_LIBRARY, kitbase::programFilesFolder() + "/Windows Defender/mpclient.dll");
}

std::string state(const std::string& section, const std::string& key) {
    return kitbase::securityCenterValue(section, key);
}

void installFakeIsv(FakeIsv& fake) {
    kitbase::registerComClass(CLSID_WscIsv, [&fake](const IID& iid, void** out) {
        FakeObject* object = new FakeObject(fake);
        object->addRef();
        HRESULT hr = object->query(iid, out);
        object->release();
        return hr;
    });
}

}  // namespace wsctest
