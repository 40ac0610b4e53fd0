#include "kitbase/core/option_table.h"

#include <gtest/gtest.h>

#include <set>

namespace {

// Wednesday 2021-07-07, 09:05 local time.
std::tm wednesdayMorning() {
    std::tm t{};
    t.tm_year = 121;
    t.tm_mon = 6;
    t.tm_mday = 7;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_wday = 3;
    return t;
}

const Option& byId(const std::vector<Option>& table, uint32_t id) {
    for (const auto& o : table) {
        if (o.id == id)
            return o;
    }
    static const Option none;
    ADD_FAILURE() << "no option " << id;
    return none;
}

TEST(OptionTable, HoldsSixSectionsAndSixtyFiveOptionsInIdOrder) {
    const auto table = buildDefaultOptions(wednesdayMorning());
    ASSERT_EQ(table.size(), 71u);
    std::vector<uint32_t> sections;
    std::set<std::wstring> keys;
    uint32_t previous = 0;
    for (const auto& o : table) {
        EXPECT_GT(o.id, previous);
        previous = o.id;
        EXPECT_NE(o.id, 69u);
        EXPECT_NE(o.id, 71u);
        EXPECT_NE(o.id, 72u);
        EXPECT_EQ(o.boundVariable, nullptr);
        EXPECT_FALSE(o.isSet);
        if (o.isSection()) {
            sections.push_back(o.id);
            EXPECT_TRUE(o.key.empty());
            continue;
        }
        EXPECT_TRUE(keys.insert(o.key).second) << "duplicate key";
        for (wchar_t c : o.key)
            EXPECT_FALSE(c >= L'A' && c <= L'Z') << "key not lower-case";
        if (o.isNumeric) {
            EXPECT_GE(o.defaultNumber, o.minValue) << o.id;
            EXPECT_LE(o.defaultNumber, o.maxValue) << o.id;
            EXPECT_EQ(o.text, std::to_wstring(o.defaultNumber));
        } else {
            EXPECT_EQ(o.minValue, 0);
            EXPECT_EQ(o.maxValue, 0);
            EXPECT_EQ(o.text, o.defaultText);
        }
        if (o.dependsOn >= 1) {
            const Option& dep = byId(table, static_cast<uint32_t>(o.dependsOn));
            EXPECT_FALSE(dep.key.empty()) << o.id;
        }
    }
    EXPECT_EQ(sections, (std::vector<uint32_t>{1, 13, 25, 34, 51, 58}));
    EXPECT_EQ(keys.size(), 65u);
    EXPECT_EQ(byId(table, 1).sectionName, L"General");
    EXPECT_EQ(byId(table, 58).sectionName, L"Connections");
}

TEST(OptionTable, WrittenFlagsAndGlobalScope) {
    const auto table = buildDefaultOptions(wednesdayMorning());
    std::set<uint32_t> notWritten, global;
    for (const auto& o : table) {
        if (o.isSection())
            continue;
        if (!o.isWritten)
            notWritten.insert(o.id);
        if (o.isGlobal)
            global.insert(o.id);
    }
    EXPECT_EQ(notWritten, (std::set<uint32_t>{3, 4, 5, 6, 8, 9, 15, 20, 21, 24, 42, 43, 53, 54, 55, 59}));
    EXPECT_EQ(global, (std::set<uint32_t>{2, 6, 15, 19, 20, 21, 22, 23, 24, 64, 65, 66, 67, 70}));
}

TEST(OptionTable, TimeDefaultsComeFromTheGivenMoment) {
    const auto table = buildDefaultOptions(wednesdayMorning());
    EXPECT_EQ(byId(table, 27).text, L"9:5");
    EXPECT_EQ(byId(table, 59).text, L"9:5");
    EXPECT_EQ(byId(table, 28).number, 3);
    EXPECT_EQ(byId(table, 28).defaultText, L"3");

    // The process-wide table is built from the clock when the library loads.
    const auto& live = defaultOptionTable();
    ASSERT_EQ(live.size(), 71u);
    EXPECT_EQ(byId(live, 27).text, byId(live, 59).text);
    EXPECT_NE(byId(live, 27).text.find(L':'), std::wstring::npos);
    EXPECT_EQ(&live, &defaultOptionTable());
}

struct Row {
    uint32_t id;
    const wchar_t* key;
    bool numeric;
    int32_t min, max, def;
    const wchar_t* defText;
    int32_t engine, depends;
};

TEST(OptionTable, SelectedRows) {
    const Row rows[] = {
        {3, L"listen_addr", false, 0, 0, 0, L"127.0.0.1", -1, 0},
        {4, L"port", true, 1024, 65534, 2004, nullptr, -1, 0},
        {5, L"encport", true, 1024, 65534, 2020, nullptr, -1, 0},
        {6, L"password", false, 0, 0, 0, L"", -1, 0},
        {11, L"loglevel", true, 1, 99, 4, nullptr, -1, 0},
        {15, L"oascanthreads", true, 3, 24, 6, nullptr, -1, 14},
        {16, L"actionoa", true, 0, 3, 1, nullptr, -1, 14},
        {21, L"oaexceptedprocesses", false, 0, 0, 0, L"scanwarden.exe;lumenpost.exe;csrss.exe", 3002, 14},
        {35, L"archivemaxsize", true, 0, 1073741824, 1073741824, nullptr, 4, 7},
        {43, L"scanmode", false, 0, 0, 0, L"SMART", 30, 7},
        {53, L"apcpemode", false, 0, 0, 0, L"FULL", 47, 52},
        {61, L"updateserver", false, 0, 0, 0, L"https://update.invalid", -1, 7},
        {64, L"proxyserver", false, 0, 0, 0, L"", 4002, 0},
        {65, L"proxyserveruser", false, 0, 0, 0, L"", -1, 64},
        {68, L"heartbeatinterval", true, 0, 86400, 15, nullptr, -1, 0},
        {70, L"heartbeat", true, 0, 1, 1, nullptr, -1, 0},
        {74, L"reloadmaxattempts", true, 1, 20, 10, nullptr, -1, 0},
    };
    const auto table = buildDefaultOptions(wednesdayMorning());
    for (const auto& r : rows) {
        SCOPED_TRACE(r.id);
        const Option& o = byId(table, r.id);
        EXPECT_EQ(o.key, r.key);
        EXPECT_EQ(o.isNumeric, r.numeric);
        EXPECT_EQ(o.engineOptionId, r.engine);
        EXPECT_EQ(o.dependsOn, r.depends);
        if (r.numeric) {
            EXPECT_EQ(o.minValue, r.min);
            EXPECT_EQ(o.maxValue, r.max);
            EXPECT_EQ(o.defaultNumber, r.def);
        } else {
            EXPECT_EQ(o.defaultText, r.defText);
        }
    }
}

TEST(OptionTable, ExtensionListAndComments) {
    const auto table = buildDefaultOptions(wednesdayMorning());
    const std::wstring& ext = byId(table, 19).defaultText;
    EXPECT_EQ(ext.size(), 353u);
    size_t entries = 1;
    for (wchar_t c : ext)
        entries += c == L';';
    EXPECT_EQ(entries, 69u);
    EXPECT_EQ(ext.substr(0, 14), L".exe;.com;.dll");

    EXPECT_EQ(byId(table, 3).comment, L"Default address to listen for requests");
    EXPECT_EQ(byId(table, 7).comment,
              L"# Enables the Anti-Malware functionality\n# 0 - Disabled\n# 1 - Enabled");
    for (const auto& o : table) {
        if (o.isSection() || o.id == 3)
            continue;
        SCOPED_TRACE(o.id);
        ASSERT_FALSE(o.comment.empty());
        size_t start = 0;
        while (start < o.comment.size()) {
            EXPECT_EQ(o.comment.compare(start, 2, L"# "), 0);
            const size_t nl = o.comment.find(L'\n', start);
            if (nl == std::wstring::npos)
                break;
            start = nl + 1;
        }
    }
}

}  // namespace
