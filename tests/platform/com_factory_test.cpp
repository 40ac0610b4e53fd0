#include "kitbase/platform/com_factory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "kitbase/platform/security_center.h"
#include "kitbase/platform/winsock_com.h"

namespace {

constexpr CLSID kUnknown = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

class ComFactory : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }
    void TearDown() override { CoUninitialize(); }
};

template <class T>
T* create(const IID& iid) {
    void* out = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_WscIsv, nullptr, CLSCTX_INPROC_SERVER, iid, &out), S_OK);
    return static_cast<T*>(out);
}

TEST(ComFactoryWithoutCom, CreationNeedsComOnTheCallingThread) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_WscIsv, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ComFactory, RefusesWhatCannotBeMade) {
    void* out = nullptr;
    EXPECT_EQ(CoCreateInstance(kUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_WscIsv, nullptr, 0x4, IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_WscIsv, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
              E_POINTER);
    EXPECT_EQ(CoCreateInstance(CLSID_WscIsv, nullptr, CLSCTX_INPROC_SERVER, kUnknown, &out), E_NOINTERFACE);
    // Aggregation is refused before the outer object is ever touched.
    IUnknown* outer = reinterpret_cast<IUnknown*>(&out);
    EXPECT_EQ(CoCreateInstance(CLSID_WscIsv, outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ComFactory, ClassesAreReplacedAndRestored) {
    int made = 0;
    kitbase::registerComClass(kUnknown, [&](const IID&, void** out) {
        ++made;
        *out = nullptr;
        return E_OUTOFMEMORY;
    });
    void* out = nullptr;
    EXPECT_EQ(CoCreateInstance(kUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out), E_OUTOFMEMORY);
    EXPECT_EQ(made, 1);
    EXPECT_TRUE(kitbase::unregisterComClass(CLSID_WscIsv));
    EXPECT_FALSE(kitbase::unregisterComClass(CLSID_WscIsv));
    EXPECT_EQ(CoCreateInstance(CLSID_WscIsv, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              REGDB_E_CLASSNOTREG);
    kitbase::restoreComClasses();
    EXPECT_EQ(CoCreateInstance(kUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              REGDB_E_CLASSNOTREG);
    IUnknown* isv = create<IUnknown>(IID_IUnknown);
    ASSERT_NE(isv, nullptr);
    EXPECT_EQ(isv->Release(), 0u);
    EXPECT_EQ(kitbase::guidToString(CLSID_WscIsv), L"{F2102C37-90C3-450C-B3F6-92BE1693BDF2}");
}

TEST_F(ComFactory, TheIsvObjectRecordsIntoTheSecurityCenterState) {
    IUnknown* object = create<IUnknown>(IID_IUnknown);
    ASSERT_NE(object, nullptr);
    IWscAVStatus4* av = nullptr;
    IWscASStatus* as = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IWscAVStatus4, reinterpret_cast<void**>(&av)), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IWscASStatus, reinterpret_cast<void**>(&as)), S_OK);
    EXPECT_EQ(object->Release(), 2u);

    const HRESULT notRegistered = static_cast<HRESULT>(0x80070490u);
    EXPECT_EQ(av->UpdateStatus(0, TRUE), notRegistered);
    EXPECT_EQ(av->Unregister(), notRegistered);
    EXPECT_EQ(av->Register(nullptr, L"n", TRUE, TRUE), E_INVALIDARG);
    EXPECT_EQ(av->Register(L"/p/statusmith.exe", L"Product", TRUE, TRUE), S_OK);
    EXPECT_EQ(av->UpdateStatus(2, FALSE), S_OK);
    EXPECT_EQ(av->UpdateSettingsSubstatus(3), S_OK);
    EXPECT_EQ(av->UpdateScanSubstatus(1), S_OK);
    EXPECT_EQ(av->UpdateProtectionUpdateSubstatus(2), S_OK);
    EXPECT_EQ(as->Register(L"/p/statusmith.exe", L"Product", FALSE, FALSE), S_OK);
    EXPECT_EQ(as->UpdateStatus(1, TRUE), S_OK);

    kitbase::SecurityCenterSections s = kitbase::readSecurityCenterState();
    EXPECT_EQ(s["antivirus"]["registered"], "1");
    EXPECT_EQ(s["antivirus"]["by"], "isv");
    EXPECT_EQ(s["antivirus"]["path"], "/p/statusmith.exe");
    EXPECT_EQ(s["antivirus"]["state"], "snoozed");
    EXPECT_EQ(s["antivirus"]["uptodate"], "0");
    EXPECT_EQ(s["antivirus"]["settings"], "action_needed");
    EXPECT_EQ(s["antivirus"]["scan"], "no_action");
    EXPECT_EQ(s["antivirus"]["protection"], "action_recommended");
    EXPECT_EQ(s["antispyware"]["state"], "off");

    EXPECT_EQ(av->Unregister(), S_OK);
    EXPECT_EQ(kitbase::securityCenterValue("antivirus", "registered"), "0");
    EXPECT_EQ(av->Release(), 1u);
    EXPECT_EQ(as->Release(), 0u);
}

TEST(SecurityCenterState, ChangesOfManyThreadsAreNeverLost) {
    EXPECT_TRUE(kitbase::readSecurityCenterState().empty());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 25; ++i) {
                kitbase::countSecurityCenterValue("count", "runs");
                kitbase::setSecurityCenterValues("thread" + std::to_string(t), {{"last", std::to_string(i)}});
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(kitbase::securityCenterValue("count", "runs"), "100");
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(kitbase::securityCenterValue("thread" + std::to_string(t), "last"), "24");
    // A value never breaks the file's lines.
    ASSERT_TRUE(kitbase::setSecurityCenterValues("odd", {{"text", "a\nb=c\r[x]"}}));
    EXPECT_EQ(kitbase::securityCenterValue("odd", "text"), "a b=c [x]");
    EXPECT_EQ(kitbase::securityCenterValue("x", "text"), "");
    EXPECT_FALSE(std::filesystem::exists(kitbase::securityCenterStatePath() + ".tmp"));
}

}  // namespace
