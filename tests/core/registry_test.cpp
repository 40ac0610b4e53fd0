#include "kitbase/core/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "kitbase/core/folders.h"

namespace {

TEST(Registry, IsMovedNeverCopied) {
    static_assert(!std::is_copy_constructible_v<Registry>);
    static_assert(!std::is_copy_assignable_v<Registry>);
    Registry a;
    ASSERT_TRUE(a.Create(L"SOFTWARE\\Moves"));
    Registry b(std::move(a));
    EXPECT_FALSE(a.valid());
    ASSERT_TRUE(b.valid());
    EXPECT_EQ(b.path(), L"SOFTWARE\\Moves");
    EXPECT_EQ(b.setIntValue(L"n", 3), 0);
    Registry c;
    c = std::move(b);
    EXPECT_EQ(c.getIntValue(L"N"), 3);
}

TEST(Registry, WithoutAnOpenKeyEveryOperationFails) {
    Registry none;
    EXPECT_FALSE(none.valid());
    Registry missing(L"SOFTWARE\\NotThere");
    EXPECT_FALSE(missing.valid());
    EXPECT_EQ(missing.path(), L"SOFTWARE\\NotThere");
    for (Registry* key : {&none, &missing}) {
        EXPECT_EQ(key->getStringValue(L"x"), L"");
        EXPECT_EQ(key->getIntValue(L"x"), -1);
        EXPECT_EQ(key->setStringValue(L"x", L"y"), -1);
        EXPECT_EQ(key->setIntValue(L"x", 1), -1);
        EXPECT_EQ(key->delValue(L"x"), -1);
    }
    // Opening never creates.
    EXPECT_FALSE(Registry(L"SOFTWARE\\NotThere").valid());
}

TEST(Registry, ValuesRoundTripWithNamesInAnyCase) {
    Registry key;
    ASSERT_TRUE(key.Create(L"SOFTWARE\\Vendor\\Product"));
    EXPECT_EQ(key.setStringValue(L"LastUpdate", L"today"), 0);
    EXPECT_EQ(key.setIntValue(L"Count", -5), 0);
    EXPECT_EQ(key.setIntValue(L"Big", static_cast<int>(0xFFFFFFFEu)), 0);

    Registry reader(L"software\\vendor\\PRODUCT", KEY_READ);
    ASSERT_TRUE(reader.valid());
    EXPECT_EQ(reader.getStringValue(L"lastupdate"), L"today");
    EXPECT_EQ(reader.getIntValue(L"COUNT"), -5);
    EXPECT_EQ(static_cast<unsigned>(reader.getIntValue(L"big")), 0xFFFFFFFEu);
    EXPECT_EQ(reader.getStringValue(L"missing"), L"");
    EXPECT_EQ(reader.getIntValue(L"missing"), -1);
    // A key opened for reading cannot write.
    EXPECT_EQ(reader.setIntValue(L"Count", 1), -1);
    EXPECT_EQ(reader.getIntValue(L"Count"), -5);

    EXPECT_EQ(key.delValue(L"COUNT"), 0);
    EXPECT_EQ(key.delValue(L"Count"), static_cast<int>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(key.getIntValue(L"Count"), -1);
}

TEST(Registry, ReadsRespectTheByteLimits) {
    Registry key;
    ASSERT_TRUE(key.Create(L"SOFTWARE\\Limits"));
    struct Case {
        size_t chars;
        bool readsBack;
    };
    for (Case c : {Case{0, true}, Case{1, true}, Case{511, true}, Case{512, false}, Case{600, false}}) {
        SCOPED_TRACE(c.chars);
        const std::wstring text(c.chars, L'x');
        ASSERT_EQ(key.setStringValue(L"text", text), 0);
        EXPECT_EQ(key.getStringValue(L"text"), c.readsBack ? text : L"");
    }
    // A number is read from at most four bytes: a text of more is no number.
    ASSERT_EQ(key.setStringValue(L"short", L"ab"), 0);
    EXPECT_EQ(key.getIntValue(L"short"), 'a' | ('b' << 16));
    ASSERT_EQ(key.setStringValue(L"long", L"abc"), 0);
    EXPECT_EQ(key.getIntValue(L"long"), -1);
    // The type of a string read is not checked; the bytes of 0x00410042 read as "BA".
    ASSERT_EQ(key.setIntValue(L"number", 0x00410042), 0);
    EXPECT_EQ(key.getStringValue(L"number"), L"BA");
}

TEST(Registry, CloseLeavesTheKeyAndCreateReplacesIt) {
    Registry key;
    ASSERT_TRUE(key.Create(L"SOFTWARE\\First"));
    ASSERT_TRUE(key.Create(L"SOFTWARE\\Second"));
    EXPECT_EQ(key.path(), L"SOFTWARE\\Second");
    EXPECT_EQ(key.setIntValue(L"v", 2), 0);
    EXPECT_EQ(Registry(L"SOFTWARE\\First").getIntValue(L"v"), -1);
    key.close();
    EXPECT_FALSE(key.valid());
    EXPECT_EQ(key.getIntValue(L"v"), -1);
    EXPECT_EQ(Registry(L"SOFTWARE\\Second").getIntValue(L"v"), 2);
}

TEST(ServiceRegistryValues, RoundTripInTheServiceKey) {
    const std::wstring& servicePath = getServiceRegPath();
    if (servicePath.empty()) {
        // Without a service name there is no service key to use.
        EXPECT_EQ(setIRegValue(L"WSCSync", 0), -1);
        EXPECT_EQ(setSRegValue(L"UUID", L"x"), -1);
        EXPECT_EQ(getIRegValue(L"WSCSync"), -1);
        EXPECT_EQ(getSRegValue(L"UUID"), L"");
        EXPECT_EQ(delRegValue(L"UUID"), -1);
        GTEST_SKIP() << "no service name in this build";
    }
    // The key must exist: the helpers open it, they never create it.
    EXPECT_EQ(setIRegValue(L"WSCSync", 0), -1);
    Registry service;
    ASSERT_TRUE(service.Create(servicePath));
    EXPECT_EQ(setIRegValue(L"WSCSync", 0), 0);
    EXPECT_EQ(getIRegValue(L"wscsync"), 0);
    EXPECT_EQ(setSRegValue(L"AVPendingSetupType", L"program"), 0);
    EXPECT_EQ(getSRegValue(L"AVPENDINGSETUPTYPE"), L"program");
    EXPECT_EQ(delRegValue(L"AVPendingSetupType"), 0);
    EXPECT_EQ(getSRegValue(L"AVPendingSetupType"), L"");
    EXPECT_EQ(delRegValue(L"AVPendingSetupType"), static_cast<int>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(getIRegValue(L"LastUpdate"), -1);
}

}  // namespace
