#include "kitbase/core/config_options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>

#include "kitbase/core/option_table.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "support/test_root.h"

namespace {

using testsupport::makeTempDir;
using testsupport::readFile;
using testsupport::writeFile;

std::wstring W(const std::string& s) {
    return S2WS(s);
}

// A configuration file path in a fresh folder.
std::string freshPath(const char* hint = "cfg") {
    return makeTempDir(hint) + "/product.conf";
}

// The file without its first line (date and version change from run to run).
std::string afterFirstLine(const std::string& text) {
    const size_t nl = text.find('\n');
    return nl == std::string::npos ? std::string() : text.substr(nl + 1);
}

// ---------------------------------------------------------------------------------
// Reading

struct Expect {
    const wchar_t* key;
    std::optional<int> number;
    std::optional<std::wstring> text;
};

struct ReadCase {
    const char* name;
    std::string content;
    int status;
    std::vector<Expect> expects;
};

TEST(ConfigRead, LinesAndValues) {
    const std::string longValue = "c:\\" + std::string(10000, 'x');
    const std::vector<ReadCase> cases = {
        {"mixed-case key", "LogLevel=5\n", 0, {{L"loglevel", 5, L"5"}}},
        {"blank before equals", "loglevel = 5\n", 1, {{L"loglevel", 4, L"4"}}},
        {"blank after equals kept in text", "scanmode= SMART\n", 0, {{L"scanmode", {}, L" SMART"}}},
        {"trailing letters", "loglevel=5abc\n", 0, {{L"loglevel", 5, L"5abc"}}},
        {"blank before number", "loglevel=  7\n", 0, {{L"loglevel", 7, {}}}},
        {"range low edge", "loglevel=1\nactionoa=0\n", 0, {{L"loglevel", 1, {}}, {L"actionoa", 0, {}}}},
        {"range high edge", "loglevel=99\nactionoa=3\n", 0, {{L"loglevel", 99, {}}, {L"actionoa", 3, {}}}},
        {"below range resets", "loglevel=7\nloglevel=0\n", 2, {{L"loglevel", 4, L"4"}}},
        {"above range resets", "actionoa=4\n", 2, {{L"actionoa", 1, L"1"}}},
        {"beyond 32 bits is out of range",
         "archivemaxsize=4294967297\n",
         2,
         {{L"archivemaxsize", 1073741824, {}}}},
        {"negative", "loglevel=-1\n", 2, {{L"loglevel", 4, {}}}},
        {"unknown key in the middle",
         "loglevel=5\nbogus=1\nactionoa=2\n",
         1,
         {{L"loglevel", 5, {}}, {L"actionoa", 2, {}}}},
        {"line without equals", "loglevel\n", 1, {{L"loglevel", 4, {}}}},
        {"empty key matches no section", "=5\n", 1, {}},
        {"comments and blanks",
         "# loglevel=5\n; actionoa=2\n\n   \n",
         0,
         {{L"loglevel", 4, {}}, {L"actionoa", 1, {}}}},
        {"never-written keys are read",
         "port=3000\npassword=abc\nlisten_addr=0.0.0.0\n",
         0,
         {{L"port", 3000, {}}, {L"password", {}, L"abc"}, {L"listen_addr", {}, L"0.0.0.0"}}},
        {"CR LF line ends",
         "loglevel=5\r\nscanmode=ALL\r\n",
         0,
         {{L"loglevel", 5, {}}, {L"scanmode", {}, L"ALL"}}},
        {"empty value", "proxyserver=\n", 0, {{L"proxyserver", {}, L""}}},
        {"long line read whole",
         "exceptedfiles=" + longValue + "\nloglevel=3\n",
         0,
         {{L"exceptedfiles", {}, W(longValue)}, {L"loglevel", 3, {}}}},
        {"carriage return inside a value", "profilename=a\rb\n", 1, {{L"profilename", {}, L"default"}}},
        {"empty file", "", 0, {{L"loglevel", 4, {}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = freshPath();
        writeFile(path, c.content);
        ConfigurationOptions store(W(path));
        EXPECT_EQ(store.readCfg(), c.status);
        EXPECT_TRUE(store.wasConfigRead());
        for (const auto& e : c.expects) {
            SCOPED_TRACE(std::string(WS2S(e.key)));
            if (e.number) {
                EXPECT_EQ(store.getOptionNumeric(e.key), *e.number);
            }
            if (e.text) {
                EXPECT_EQ(store.getOptionString(e.key), *e.text);
            }
        }
    }
}

TEST(ConfigRead, MissingFileKeepsValuesAndReadFlag) {
    ConfigurationOptions store(W(freshPath() + ".missing"));
    ASSERT_EQ(store.setOptionNumeric(L"loglevel", 5), 11);
    EXPECT_EQ(store.readCfg(), 1);
    EXPECT_FALSE(store.wasConfigRead());
    EXPECT_EQ(store.getOptionNumeric(L"loglevel"), 5);
}

TEST(ConfigRead, PositionsIntoTheListStayValidAcrossReads) {
    const std::string path = freshPath();
    writeFile(path, "loglevel=5\n");
    ConfigurationOptions store(W(path));
    const Option* before = &*store.findOption(11u);
    ASSERT_EQ(store.readCfg(), 0);
    EXPECT_EQ(&*store.findOption(11u), before);
    EXPECT_EQ(before->number, 5);
    writeFile(path, "loglevel=7\nbogus=1\n");
    ASSERT_EQ(store.readCfg(), 1);
    EXPECT_EQ(&*store.findOption(11u), before);
    EXPECT_EQ(before->number, 7);
}

TEST(ConfigRead, ToStringListsTheNumberAndOnlyWrittenOptions) {
    const std::string path = freshPath();
    writeFile(path, "loglevel=5abc\nport=3000\n");
    ConfigurationOptions store(W(path));
    ASSERT_EQ(store.readCfg(), 0);
    const std::wstring listing = store.toString(nullptr);
    EXPECT_NE(listing.find(L"\nloglevel=5\n"), std::wstring::npos);
    EXPECT_EQ(listing.find(L"\nport="), std::wstring::npos);
    EXPECT_EQ(listing.find(L"\npassword="), std::wstring::npos);
    EXPECT_EQ(listing.substr(0, 20), L"profilename=default\n");
}

TEST(ConfigRead, VerifyLeavesTheStoreAlone) {
    const std::string path = freshPath();
    writeFile(path, "loglevel=5\nbogus=1\n");
    ConfigurationOptions store(W(freshPath()));
    EXPECT_EQ(store.verifyConfigFile(W(path)), 1);
    EXPECT_EQ(store.getOptionNumeric(L"loglevel"), 4);
    EXPECT_FALSE(store.wasConfigRead());
}

TEST(ConfigRead, BoundVariablesReceiveValues) {
    int32_t level = 0;
    std::wstring mode;
    const std::vector<Option> list = {
        Option(1, L"Section"),
        Option(2, 1, 99, 4, -1, L"loglevel2", L"LogLevel2", L"# c", 0, false, true, &level),
        Option(3, L"SMART", -1, L"mode", L"Mode", L"# c", 0, false, true, &mode),
    };
    const std::string path = freshPath();
    writeFile(path, "loglevel2=7\nmode=ALL\n");
    ConfigurationOptions store(W(path), &list);
    EXPECT_EQ(store.readCfg(), 0);
    EXPECT_EQ(level, 7);
    EXPECT_EQ(mode, L"ALL");
    // A text option accepts the number 0 only, and its text variable gets "0".
    EXPECT_EQ(store.setOptionNumeric(L"mode", 0), 3);
    EXPECT_EQ(mode, L"0");
}

// ---------------------------------------------------------------------------------
// Setting

enum class Op { Numeric, NumericById, String, Generic, Append };

struct SetCase {
    const char* name;
    std::optional<std::wstring> initialText;  // set on the key first (setOptionString)
    Op op;
    std::wstring key;
    unsigned int id;
    std::wstring value;
    int number;
    int result;
    std::optional<int> expectNumber;
    std::optional<std::wstring> expectText;
};

TEST(ConfigSet, Setters) {
    const std::wstring nul(L"a\0b", 3);
    const std::vector<SetCase> cases = {
        {"loglevel low edge refused", {}, Op::Numeric, L"loglevel", 0, L"", 0, -1, 4, L"4"},
        {"loglevel high edge", {}, Op::Numeric, L"loglevel", 0, L"", 99, 11, 99, L"99"},
        {"key lower-cased", {}, Op::Numeric, L"LogLevel", 0, L"", 1, 11, 1, L"1"},
        {"actionoa 4 refused", {}, Op::Numeric, L"actionoa", 0, L"", 4, -1, 1, {}},
        {"actionoa 3", {}, Op::Numeric, L"actionoa", 0, L"", 3, 16, 3, L"3"},
        {"text option takes 0", {}, Op::Numeric, L"scanmode", 0, L"", 0, 43, {}, L"0"},
        {"text option refuses 1", {}, Op::Numeric, L"scanmode", 0, L"", 1, -1, {}, L"SMART"},
        {"unknown key", {}, Op::Numeric, L"nosuch", 0, L"", 1, -1, {}, {}},
        {"by id", {}, Op::NumericById, L"actionoa", 16, L"", 2, 16, 2, {}},
        {"unused id", {}, Op::NumericById, L"", 69, L"", 1, -1, {}, {}},
        {"section id", {}, Op::NumericById, L"", 1, L"", 0, -1, {}, {}},
        {"generic number", {}, Op::Generic, L"loglevel", 0, L"5abc", 0, 0, 5, L"5abc"},
        {"generic beyond 32 bits",
         {},
         Op::Generic,
         L"archivemaxsize",
         0,
         L"4294967297",
         0,
         1,
         1073741824,
         {}},
        {"generic out of range", {}, Op::Generic, L"actionoa", 0, L"4", 0, 1, 1, {}},
        {"generic text", {}, Op::Generic, L"ScanMode", 0, L"ALL", 0, 43, {}, L"ALL"},
        {"generic unknown", {}, Op::Generic, L"nosuch", 0, L"1", 0, -1, {}, {}},
        {"string keeps the number", {}, Op::String, L"loglevel", 0, L"x", 0, 11, 4, L"x"},
        {"string refuses LF", {}, Op::String, L"listen_addr", 0, L"a\nb", 0, -1, {}, L"127.0.0.1"},
        {"generic refuses CR", {}, Op::Generic, L"profilename", 0, L"a\rb", 0, -1, {}, L"default"},
        {"append refuses NUL", {}, Op::Append, L"exceptedfiles", 0, nul, 0, -1, {}, L""},
        {"append to empty", {}, Op::Append, L"exceptedfiles", 0, L"d", 0, 33, {}, L"d"},
        {"append present entry", L"a;b;c", Op::Append, L"exceptedfiles", 0, L"b", 0, 33, {}, L"a;b;c"},
        {"append is per entry", L"xaby", Op::Append, L"exceptedfiles", 0, L"ab", 0, 33, {}, L"xaby;ab"},
        {"append new entry", L"a;b", Op::Append, L"exceptedfiles", 0, L"c", 0, 33, {}, L"a;b;c"},
        {"append after separator", L"a;", Op::Append, L"exceptedfiles", 0, L"c", 0, 33, {}, L"a;c"},
        {"append a list", L"a", Op::Append, L"exceptedfiles", 0, L"b;a;c", 0, 33, {}, L"a;b;c"},
        {"append number", {}, Op::Append, L"loglevel", 0, L"6", 0, 0, 6, {}},
    };
    const TraceLevel before = __trace__.getTraceLevel();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigurationOptions store(W(freshPath()));
        if (c.initialText) {
            ASSERT_GT(store.setOptionString(c.key, *c.initialText), 0);
        }
        int result = 0;
        switch (c.op) {
            case Op::Numeric:
                result = store.setOptionNumeric(c.key, c.number);
                break;
            case Op::NumericById:
                result = store.setOptionNumeric(c.id, c.number);
                break;
            case Op::String:
                result = store.setOptionString(c.key, c.value);
                break;
            case Op::Generic:
                result = store.setOptionGeneric(c.key, c.value);
                break;
            case Op::Append:
                result = store.appendOptionGeneric(c.key, c.value);
                break;
        }
        EXPECT_EQ(result, c.result);
        const std::wstring key = c.key.empty() ? std::wstring() : lower(c.key);
        if (c.expectNumber) {
            EXPECT_EQ(store.getOptionNumeric(key), *c.expectNumber);
        }
        if (c.expectText) {
            EXPECT_EQ(store.getOptionString(key), *c.expectText);
        }
    }
    __trace__.setTraceLevel(before);
}

TEST(ConfigSet, LogLevelSwitchesTheTraceLevel) {
    const TraceLevel before = __trace__.getTraceLevel();
    ConfigurationOptions store(W(freshPath()));
    ASSERT_EQ(store.setOptionNumeric(L"loglevel", 99), 11);
    EXPECT_EQ(__trace__.getTraceLevel(), TRACE_EXPLAIN);
    ASSERT_EQ(store.setOptionGeneric(L"loglevel", L"2"), 0);
    EXPECT_EQ(__trace__.getTraceLevel(), TRACE_ALERT);
    __trace__.setTraceLevel(before);
}

TEST(ConfigLookup, GettersAndLookups) {
    ConfigurationOptions store(W(freshPath()));
    EXPECT_EQ(store.getOptionNumeric(1u), 0);  // a section header
    EXPECT_EQ(store.getOptionNumeric(69u), -1);
    EXPECT_EQ(store.getOptionString(72u), L"");
    std::wstring out = L"untouched";
    EXPECT_EQ(store.getOptionString(L"LogLevel", out), static_cast<unsigned int>(-1));
    EXPECT_EQ(out, L"untouched");
    EXPECT_EQ(store.getOptionString(L"LogLevel"), L"4");
    EXPECT_EQ(store.getOptionString(L"loglevel", out), 11u);
    EXPECT_EQ(out, L"4");
    EXPECT_TRUE(store.optionExists(L"port"));
    EXPECT_FALSE(store.optionExists(L"Port"));
    EXPECT_TRUE(store.findOption(L"") == store.optionsEnd());
    Option o;
    EXPECT_TRUE(store.getOption(13u, o));
    EXPECT_EQ(o.sectionName, L"Real-time");
    EXPECT_FALSE(store.getOption(L"nosuch", o));
}

// ---------------------------------------------------------------------------------
// Writing

TEST(ConfigWrite, GoldenFileOfASmallList) {
    const std::vector<Option> list = {
        Option(1, L"Sec"),
        Option(2, 0, 1, 1, -1, L"a", L"Alpha", L"# A comment", 0, false, true),
        Option(3, L"x", -1, L"b", L"Beta", L"# B line1\n# B line2", 2, false, true),
        Option(4, 0, 9, 3, -1, L"c", L"Gamma", L"plain comment", 0, false, false),
        Option(5, L"", -1, L"d", L"Delta", L"# D", 0, false, false),
    };
    const std::string path = freshPath();
    ConfigurationOptions store(W(path), &list);
    ASSERT_EQ(store.setOptionString(L"b", L"hello world;x"), 3);
    ASSERT_EQ(store.setOptionNumeric(L"c", 7), 4);  // never written by default, but set
    ASSERT_EQ(store.writeCfg(), 0);

    const std::string banner(103, '#');
    const std::string expected =
        "#\n"
        "# All options are already set to their default and therefor are commented below.\n"
        "# In order to change an option, remove the comment '#' and change the value.\n"
        "\n\n" +
        banner + "\n# Sec\n" + banner +
        "\n\n"
        "# Alpha <0 - 1>\n#\n# A comment\n#\n# Default value : 1\n\n# a=1\n\n"
        "# Beta\n# B line1\n# B line2\n# Depends on option 'a'\n#\n# Default value : x\n\nb=hello world;x\n\n"
        "# Gamma <0 - 9>\n#\n# plain comment\n#\n# Default value : 3\n\nc=7\n\n";
    const std::string text = readFile(path);
    EXPECT_EQ(text.rfind("# Generated on ", 0), 0u);
    EXPECT_NE(text.find(" by product version "), std::string::npos);
    EXPECT_EQ(afterFirstLine(text), expected);
}

TEST(ConfigWrite, DefaultTableRoundTrip) {
    const std::string path = freshPath();
    ConfigurationOptions writer(W(path));
    ASSERT_EQ(writer.writeCfg(), 0);
    const std::string text = readFile(path);

    // Every line is a comment: a file written from defaults changes nothing.
    size_t banners = 0, start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        const std::string line = text.substr(start, nl - start);
        EXPECT_TRUE(line.empty() || line[0] == '#') << line;
        banners += line == std::string(103, '#');
        start = nl + 1;
    }
    EXPECT_EQ(banners, 12u);
    EXPECT_NE(
        text.find(
            "# ProxyServerUser\n# Proxy server USER to be used by all components.Leave empty if no user "
            "is needed.\n# Depends on option 'proxyserver'\n#\n# Default value : \n\n# proxyserveruser=\n"),
        std::string::npos);
    EXPECT_NE(text.find("# LogLevel <1 - 99>\n#\n"), std::string::npos);
    for (const char* absent :
         {"# port=", "# listen_addr=", "# password=", "# oascanthreads=", "# updatetime=", "# Port <"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    EXPECT_LT(text.find("# profilename=default"), text.find("# enable_antimalware=1"));
    EXPECT_LT(text.find("# enable_antimalware=1"), text.find("# reloadmaxattempts=10"));

    ConfigurationOptions reader(W(path));
    EXPECT_EQ(reader.readCfg(), 0);
    const auto& table = defaultOptionTable();
    for (const auto& o : table) {
        Option got;
        ASSERT_TRUE(reader.getOption(o.id, got));
        EXPECT_EQ(got.number, o.number) << o.id;
        EXPECT_EQ(got.text, o.text) << o.id;
        EXPECT_FALSE(got.isSet) << o.id;
    }
}

TEST(ConfigWrite, SetValuesPersistAndReadBackTheSame) {
    const std::string path = freshPath();
    ConfigurationOptions writer(W(path));
    ASSERT_EQ(writer.setOptionNumeric(L"loglevel", 5), 11);
    ASSERT_EQ(writer.setOptionNumeric(L"port", 3000), 4);
    ASSERT_EQ(writer.setOptionString(L"password", L"5f4dcc3b"), 6);
    ASSERT_EQ(writer.setOptionString(L"scanmode", L" ALL"), 43);
    ASSERT_EQ(writer.setOptionString(L"proxyserverpassword", L"p=w;#x"), 66);
    ASSERT_EQ(writer.appendOptionGeneric(L"exceptedfiles", W("c:\\restored\\f\xC3\xA4.exe")), 33);
    ASSERT_EQ(writer.setOptionString(L"proxyserver", L""), 64);
    ASSERT_EQ(writer.writeCfg(), 0);
    EXPECT_NE(readFile(path).find("\nport=3000\n"), std::string::npos);

    ConfigurationOptions reader(W(path));
    EXPECT_EQ(reader.readCfg(), 0);
    for (const auto& o : defaultOptionTable()) {
        Option a, b;
        ASSERT_TRUE(writer.getOption(o.id, a));
        ASSERT_TRUE(reader.getOption(o.id, b));
        EXPECT_EQ(a.number, b.number) << o.id;
        EXPECT_EQ(a.text, b.text) << o.id;
    }
    EXPECT_EQ(reader.getOptionString(L"exceptedfiles"), W("c:\\restored\\f\xC3\xA4.exe"));

    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ConfigWrite, FailedWriteLeavesNothingBehind) {
    const std::string folder = makeTempDir("cfg");
    const std::string path = folder + "/product.conf";
    std::filesystem::create_directory(path);  // the target cannot be replaced
    ConfigurationOptions store(W(path));
    EXPECT_EQ(store.writeCfg(), 1);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder))
        ++entries;
    EXPECT_EQ(entries, 1u);

    ConfigurationOptions nowhere(W(folder + "/missing/product.conf"));
    EXPECT_EQ(nowhere.writeCfg(), 1);
}

// ---------------------------------------------------------------------------------
// Committing

TEST(ConfigCommit, KeepsTheAdministratorsLinesAndNeverWrittenOptions) {
    const std::string path = freshPath();
    writeFile(path, "loglevel=5\nport=3000\nlisten_addr=0.0.0.0\nexceptedfiles=c:\\a;d:\\b\n");
    ConfigurationOptions store(W(path));
    EXPECT_EQ(store.writeCfgOnlyOption(L"password", L"hash1"), 0);
    EXPECT_EQ(store.getOptionString(L"password"), L"");  // the store's own list is not changed

    ConfigurationOptions again(W(path));
    EXPECT_EQ(again.readCfg(), 0);
    EXPECT_EQ(again.getOptionString(L"password"), L"hash1");
    EXPECT_EQ(again.getOptionNumeric(L"loglevel"), 5);
    EXPECT_EQ(again.getOptionNumeric(L"port"), 3000);
    EXPECT_EQ(again.getOptionString(L"listen_addr"), L"0.0.0.0");
    EXPECT_EQ(again.getOptionString(L"exceptedfiles"), L"c:\\a;d:\\b");
}

TEST(ConfigCommit, CreatesAMissingFile) {
    const std::string path = freshPath();
    ConfigurationOptions store(W(path));
    EXPECT_EQ(store.writeCfgOnlyOption(L"Heartbeat", L"0"), 0);
    ConfigurationOptions again(W(path));
    EXPECT_EQ(again.readCfg(), 0);
    EXPECT_EQ(again.getOptionNumeric(L"heartbeat"), 0);
}

TEST(ConfigCommit, RefusalsLeaveTheFileUnchanged) {
    struct Case {
        const char* name;
        std::string content;
        std::wstring key, value;
    };
    const std::vector<Case> cases = {
        {"unknown key", "loglevel=5\n", L"nosuch", L"1"},
        {"out of range", "loglevel=5\n", L"actionoa", L"4"},
        {"line break in value", "loglevel=5\n", L"password", L"x\nport=1"},
        {"file with bad lines", "loglevel=5\nbogus=1\n", L"password", L"x"},
        {"file with a value out of range", "loglevel=0\n", L"password", L"x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = freshPath();
        writeFile(path, c.content);
        ConfigurationOptions store(W(path));
        EXPECT_EQ(store.writeCfgOnlyOption(c.key, c.value), 1);
        EXPECT_EQ(readFile(path), c.content);
    }
}

TEST(ConfigCommit, TwoThreadsCommittingDifferentKeysBothPersist) {
    const std::string path = freshPath();
    ConfigurationOptions store(W(path));
    std::atomic<int> failures{0};
    auto worker = [&](const wchar_t* key, int base) {
        for (int i = 0; i < 40; ++i) {
            if (store.writeCfgOnlyOption(key, std::to_wstring(base + i)) != 0)
                ++failures;
        }
    };
    std::thread one(worker, L"port", 3000);
    std::thread two(worker, L"encport", 4000);
    one.join();
    two.join();
    EXPECT_EQ(failures.load(), 0);
    ConfigurationOptions again(W(path));
    EXPECT_EQ(again.readCfg(), 0);
    EXPECT_EQ(again.getOptionNumeric(L"port"), 3039);
    EXPECT_EQ(again.getOptionNumeric(L"encport"), 4039);
}

TEST(ConfigConcurrency, ReadersNeverSeeAHalfChangedText) {
    ConfigurationOptions store(W(freshPath()));
    const std::wstring a(400, L'a'), b(300, L'b');
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i)
            store.setOptionString(L"exceptedfiles", i % 2 ? a : b);
        stop = true;
    });
    std::thread reader([&] {
        while (!stop) {
            const std::wstring v = store.getOptionString(L"exceptedfiles");
            if (!v.empty() && v != a && v != b)
                ++torn;
        }
    });
    writer.join();
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

// ---------------------------------------------------------------------------------
// Replacing the whole file

TEST(ConfigContent, StoresOnlyContentThatReadsCleanly) {
    const std::string path = freshPath();
    writeFile(path, "loglevel=5\n");
    ConfigurationOptions store(W(path));

    EXPECT_EQ(store.setCfgContent(L"loglevel=3\r\nbogus=1\r\n"), 1u);
    EXPECT_EQ(readFile(path), "loglevel=5\n");
    EXPECT_EQ(store.setCfgContent(std::wstring(L"loglevel=3\n\0x", 14)), 1u);
    EXPECT_EQ(readFile(path), "loglevel=5\n");

    const std::wstring content = W("# new\r\nloglevel=3\r\nprofilename=b\xC3\xBCro\r\n");
    EXPECT_EQ(store.setCfgContent(content), 0u);
    EXPECT_EQ(readFile(path), WS2S(content));
    ConfigurationOptions again(W(path));
    EXPECT_EQ(again.readCfg(), 0);
    EXPECT_EQ(again.getOptionNumeric(L"loglevel"), 3);
    EXPECT_EQ(again.getOptionString(L"profilename"), W("b\xC3\xBCro"));
}

}  // namespace
