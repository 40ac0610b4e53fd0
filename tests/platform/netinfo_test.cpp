#include "kitbase/platform/netinfo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(NetinfoTest, MachineTableLeavesOutLoopback) {
    std::vector<kitbase::AdapterInfo> adapters;
    ASSERT_TRUE(kitbase::getAdapters(adapters));
    for (const auto& a : adapters) {
        EXPECT_NE(a.name, "lo");
        EXPECT_NE(a.ipAddress.rfind("127.", 0), 0u) << a.name;
        EXPECT_FALSE(a.gateway.empty());
        EXPECT_LE(a.macLength, a.mac.size());
    }
}

class EmptyTable : public kitbase::AdapterSource {
public:
    bool adapters(std::vector<kitbase::AdapterInfo>& out) override {
        out.clear();
        ++calls;
        return false;
    }
    int calls = 0;
};

TEST(NetinfoTest, SourceIsReplaceable) {
    EmptyTable fake;
    kitbase::setAdapterSource(&fake);
    std::vector<kitbase::AdapterInfo> adapters;
    EXPECT_FALSE(kitbase::getAdapters(adapters));
    EXPECT_EQ(fake.calls, 1);
    kitbase::setAdapterSource(nullptr);
    EXPECT_TRUE(kitbase::getAdapters(adapters));
    EXPECT_EQ(fake.calls, 1);
}

// Numeric names only: no name server is ever asked.
TEST(NetinfoTest, ResolvesLocalNames) {
    std::string address;
    EXPECT_TRUE(kitbase::resolveIpv4("127.0.0.1", address));
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_TRUE(kitbase::resolveIpv4("127.0.0.2", address));
    EXPECT_EQ(address, "127.0.0.2");
}

}  // namespace
