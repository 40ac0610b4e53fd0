#include "kitbase/services/quarantine_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "kitbase/core/md5.h"
#include "kitbase/core/strings.h"
#include "support/test_root.h"

namespace {

using testsupport::readFile;
using testsupport::writeFile;

// A record whose every field is set, as the store would write it.
QuaFile sampleRecord(const std::wstring& dstfile) {
    QuaFile r;
    r.dstfile = dstfile;
    r.srcfile = L"/home/user/Downloads/setup.exe";
    r.hash = L"0123456789abcdef0123456789abcdef";
    r.onreboot = true;
    r.ctime = 1600000000;
    r.mtime = 1600000001;
    r.size = 4096;
    r.malwarename = L"Trojan.Generic";
    r.message = L"Detected on access";
    r.engineInfos = {L"1.2.3", L"8.3.60", L"8.19.1", L"2.0"};
    r.created = 1700000000;
    return r;
}

void expectSameRecord(const QuaFile& a, const QuaFile& b) {
    EXPECT_EQ(a.dstfile, b.dstfile);
    EXPECT_EQ(a.srcfile, b.srcfile);
    EXPECT_EQ(a.hash, b.hash);
    EXPECT_EQ(a.onreboot, b.onreboot);
    EXPECT_EQ(a.ctime, b.ctime);
    EXPECT_EQ(a.mtime, b.mtime);
    EXPECT_EQ(a.size, b.size);
    EXPECT_EQ(a.malwarename, b.malwarename);
    EXPECT_EQ(a.message, b.message);
    EXPECT_EQ(a.engineInfos.engine_ver, b.engineInfos.engine_ver);
    EXPECT_EQ(a.engineInfos.ave_ver, b.engineInfos.ave_ver);
    EXPECT_EQ(a.engineInfos.vdf_ver, b.engineInfos.vdf_ver);
    EXPECT_EQ(a.engineInfos.apc_ver, b.engineInfos.apc_ver);
    EXPECT_EQ(a.created, b.created);
}

TEST(QuaFileTest, NewEntryWritesItsIndexBesideTheCopy) {
    const std::string folder = testsupport::makeTempDir("qua");
    const std::string source = testsupport::makeTempDir("src") + "/eicar.com";
    writeFile(source, "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR");
    struct stat status {};
    ASSERT_EQ(0, stat(source.c_str(), &status));
    const std::wstring hash = MD5FileW(S2WS(source));

    QuaFile entry(S2WS(folder), S2WS(source), L"", L"", L"Eicar-Test-Signature", L"found",
                  EngineInfos{L"e", L"a", L"v", L"c"}, false);
    EXPECT_EQ(0u, entry.writeResult);
    EXPECT_EQ(hash, entry.hash);
    EXPECT_EQ(S2WS(folder) + L"/" + hash, entry.dstfile);
    EXPECT_EQ(status.st_mtime, entry.mtime);
    EXPECT_EQ(status.st_ctime, entry.ctime);
    EXPECT_EQ(static_cast<uint32_t>(status.st_size), entry.size);
    EXPECT_GT(entry.created, 0);

    const std::string index = WS2S(entry.dstfile) + ".dat";
    EXPECT_EQ(WS2S(entry.dstfile) + "\n" + source + "\n" + WS2S(hash) + "\n0\n" +
                  std::to_string(entry.ctime) + "\n" + std::to_string(entry.mtime) + "\n" +
                  std::to_string(entry.size) + "\nEicar-Test-Signature\nfound\ne\na\nv\nc\n" +
                  std::to_string(entry.created),
              readFile(index));
    EXPECT_FALSE(std::filesystem::exists(WS2S(entry.dstfile)));  // no copy made

    QuaFile back(S2WS(index));
    expectSameRecord(entry, back);
}

TEST(QuaFileTest, RoundTripsEmptyAndForeignTexts) {
    const std::string folder = testsupport::makeTempDir("qua");
    QuaFile r = sampleRecord(S2WS(folder) + L"/abc");
    r.malwarename.clear();
    r.message.clear();
    r.srcfile = L"/data/Ünïcødé ファイル.exe";
    ASSERT_EQ(0u, r.write());
    QuaFile back;
    ASSERT_EQ(0u, readQuaFile(S2WS(folder) + L"/abc.dat", back));
    expectSameRecord(r, back);
    EXPECT_TRUE(back.malwarename.empty());
    EXPECT_TRUE(back.message.empty());
}

TEST(QuaFileTest, ReadingIndexFiles) {
    const std::string folder = testsupport::makeTempDir("qua");
    const std::string full = WS2S(sampleRecord(L"/q/abc").toString(false));
    const std::string withoutCreated = full.substr(0, full.rfind('\n') + 1);
    const std::string twelveLines =
        withoutCreated.substr(0, withoutCreated.rfind('\n', withoutCreated.size() - 2) + 1);
    std::string crlf = full;
    for (size_t pos = crlf.find('\n'); pos != std::string::npos; pos = crlf.find('\n', pos + 2))
        crlf.replace(pos, 1, "\r\n");
    struct Case {
        const char* name;
        std::string content;
        unsigned int result;
        int64_t created;
    } cases[] = {
        {"complete", full, 0u, 1700000000},
        {"crlf", crlf, 0u, 1700000000},
        {"no fourteenth line", withoutCreated, 0u, 0},
        {"twelve lines", twelveLines, 1u, -1},
        {"under 100 bytes", "a\nb\nc\n", 0xFFFFFFFFu, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = folder + "/" + c.name + ".dat";
        writeFile(path, c.content);
        QuaFile r;
        EXPECT_EQ(c.result, readQuaFile(S2WS(path), r));
        if (c.result != 0xFFFFFFFFu) {
            EXPECT_EQ(L"/q/abc", r.dstfile);
            EXPECT_EQ(L"Trojan.Generic", r.malwarename);
        }
        if (c.result == 0) {
            EXPECT_EQ(c.created, r.created);
            EXPECT_EQ(L"2.0", r.engineInfos.apc_ver);
            EXPECT_TRUE(r.onreboot);
            EXPECT_EQ(4096u, r.size);
        }
    }
    QuaFile missing;
    EXPECT_EQ(0xFFFFFFFFu, readQuaFile(S2WS(folder + "/none.dat"), missing));
}

TEST(QuaFileTest, FromStringTakesExactlyFourteenLines) {
    const QuaFile sample = sampleRecord(L"/q/abc");
    const std::wstring text = QuaFile(sample).toString(false);
    QuaFile r;
    ASSERT_TRUE(r.fromString(text));
    expectSameRecord(sample, r);

    const std::wstring thirteen = text.substr(0, text.rfind(L'\n'));
    for (const std::wstring& bad : {thirteen, text + L"\nextra"}) {
        QuaFile untouched;
        untouched.srcfile = L"kept";
        EXPECT_FALSE(untouched.fromString(bad));
        EXPECT_EQ(L"kept", untouched.srcfile);
    }
}

TEST(QuaFileTest, ShortAndJsonForms) {
    QuaFile r = sampleRecord(L"C:\\Quarantine\\abc");
    EXPECT_EQ(L"/home/user/Downloads/setup.exe\nTrojan.Generic\n1700000000", r.toString(true));
    EXPECT_EQ(r.text, r.toString(true));
    const std::wstring json = r.toStringJSON();
    EXPECT_EQ(json, r.text);
    EXPECT_EQ(
        L"{\"dstfile\":\"C:\\\\Quarantine\\\\abc\",\"srcfile\":\"/home/user/Downloads/setup.exe\",\"hash\":"
        L"\"0123456789abcdef0123456789abcdef\",\"onreboot\":\"1\",\"ctime\":\"1600000000\",\"mtime\":"
        L"\"1600000001\",\"size\":\"4096\",\"malwarename\":\"Trojan.Generic\",\"message\":\"Detected on "
        L"access\",\"engine_ver\":\"1.2.3\",\"ave_ver\":\"8.3.60\",\"vdf_ver\":\"8.19.1\",\"apc_ver\":\"2."
        L"0\","
        L"\"created\":\"1700000000\"}",
        json);

    r.message = L"say \"hi\"\n\ttab\x01";
    const std::wstring escaped = r.toStringJSON();
    EXPECT_NE(std::wstring::npos, escaped.find(L"\"message\":\"say \\\"hi\\\"\\n\\ttab\\u0001\""));
}

TEST(QuaFileTest, ValuesThatCannotBeOneLineAreRefused) {
    const std::string folder = testsupport::makeTempDir("qua");
    const std::wstring dst = S2WS(folder) + L"/abc";
    for (const std::wstring& src :
         {std::wstring(L"/tmp/evil\nname"), std::wstring(L"/tmp/evil\rname"), std::wstring(1022, L'a')}) {
        QuaFile r = sampleRecord(dst);
        r.srcfile = src;
        EXPECT_EQ(1u, r.write());
        EXPECT_EQ(1u, r.writeResult);
        EXPECT_FALSE(std::filesystem::exists(folder + "/abc.dat"));
    }
    // The longest value that one line carries.
    QuaFile r = sampleRecord(dst);
    r.srcfile = std::wstring(1021, L'a');
    ASSERT_EQ(0u, r.write());
    QuaFile back(dst + L".dat");
    EXPECT_EQ(r.srcfile, back.srcfile);
    EXPECT_EQ(r.created, back.created);
}

TEST(QuaFileTest, AFailedWriteIsReportedAndKeepsTheOlderIndex) {
    const std::string folder = testsupport::makeTempDir("qua");
    QuaFile r = sampleRecord(S2WS(folder) + L"/abc");
    ASSERT_EQ(0u, r.write());
    const std::string before = readFile(folder + "/abc.dat");

    // A device with no room left: writes beyond a few bytes fail.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &limit));
    struct rlimit small = limit;
    small.rlim_cur = 16;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    r.message = L"changed";
    const unsigned int result = r.write();
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
    EXPECT_EQ(1u, result);
    EXPECT_EQ(before, readFile(folder + "/abc.dat"));
    EXPECT_EQ(1u, std::distance(std::filesystem::directory_iterator(folder), {}));  // no temporary left

    // A folder that does not exist.
    QuaFile nowhere = sampleRecord(S2WS(folder) + L"/missing/abc");
    EXPECT_EQ(1u, nowhere.write());
}

TEST(QuaFileTest, AnUnreadableSourceMakesNoEntry) {
    const std::string folder = testsupport::makeTempDir("qua");
    QuaFile entry(S2WS(folder), S2WS(folder + "/gone.exe"), L"", L"", L"x", L"y", EngineInfos(), false);
    EXPECT_EQ(1u, entry.writeResult);
    EXPECT_EQ(0, entry.mtime);
    EXPECT_EQ(0u, entry.size);
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

}  // namespace
