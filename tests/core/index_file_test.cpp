#include "kitbase/core/index_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kitbase/core/sha256.h"
#include "kitbase/core/strings.h"
#include "support/test_root.h"

namespace {

using testsupport::makeTempDir;
using testsupport::writeFile;

const std::string kContent = "alpha\nbeta\ngamma\ndelta\n";
// SHA-256 of kContent, as a separate tool computes it.
const std::string kDigest = "927c9bb49935d22cfef1df0fd954eb8011420a9b1ec2350d65647accf201bbe9";

std::wstring writeIdx(const std::string& bytes) {
    static int n = 0;
    std::string path = makeTempDir("idx") + "/product-" + std::to_string(n++) + ".idx";
    writeFile(path, bytes);
    return S2WS(path);
}

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string crlf(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

struct IdxCase {
    const char* what;
    std::string bytes;
    unsigned int result;
    std::vector<std::wstring> lines;
};

const std::vector<std::wstring> kGoodLines = {L"alpha", L"beta", L"gamma", L"delta", S2WS(kDigest)};
constexpr unsigned int kFailed = static_cast<unsigned int>(-1);

TEST(ReadIDXFile, TableOfIndexFiles) {
    const IdxCase cases[] = {
        {"LF line ends", kContent + kDigest + "\n", 5, kGoodLines},
        {"CR LF line ends", crlf(kContent + kDigest + "\n"), 5, kGoodLines},
        {"trailing lines after an empty line are not read", kContent + kDigest + "\n\nignored\n", 5,
         kGoodLines},
        {"integrity line without line end is not read",
         kContent + kDigest,
         kFailed,
         {L"alpha", L"beta", L"gamma", L"delta"}},
        {"upper-case digest",
         kContent + upper(kDigest) + "\n",
         kFailed,
         {L"alpha", L"beta", L"gamma", L"delta", S2WS(upper(kDigest))}},
        {"wrong digest",
         kContent + std::string(64, '0') + "\n",
         kFailed,
         {L"alpha", L"beta", L"gamma", L"delta", std::wstring(64, L'0')}},
        {"empty line between content lines ends the file",
         "alpha\nbeta\n\ngamma\ndelta\n" + kDigest + "\n",
         kFailed,
         {L"alpha", L"beta"}},
        {"fewer content lines than asked",
         "alpha\nbeta\n" + SHA256Text(std::string("alpha\nbeta\n")) + "\n",
         kFailed,
         {L"alpha", L"beta", S2WS(SHA256Text(std::string("alpha\nbeta\n")))}},
        {"empty file", "", kFailed, {}},
        {"line inserted before the digest",
         kContent + "injected\n" + kDigest + "\n",
         kFailed,
         {L"alpha", L"beta", L"gamma", L"delta", L"injected", S2WS(kDigest)}},
    };
    for (const IdxCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::wstring> lines;
        EXPECT_EQ(readIDXFile(writeIdx(c.bytes), lines, 4), c.result);
        EXPECT_EQ(lines, c.lines);
    }
}

TEST(ReadIDXFile, AppendsToTheCallersLinesAndCountsThem) {
    std::vector<std::wstring> lines = {L"kept"};
    EXPECT_EQ(readIDXFile(writeIdx(kContent + kDigest + "\n"), lines, 4), 6u);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines.front(), L"kept");
    EXPECT_EQ(lines.back(), S2WS(kDigest));
}

TEST(ReadIDXFile, MissingFileLeavesLinesUnchanged) {
    std::vector<std::wstring> lines = {L"kept"};
    EXPECT_EQ(readIDXFile(S2WS(makeTempDir("idx") + "/missing.idx"), lines, 4), kFailed);
    EXPECT_EQ(lines, std::vector<std::wstring>{L"kept"});
}

TEST(ReadIDXFile, DigestCoversUtf8TextAndLongLinesAreReadInPieces) {
    // A 1500-character line counts as two lines (1022 characters, then the rest).
    std::string longLine(1500, 'x');
    std::string content =
        "gr\xC3\xBC\xC3\x9F"
        "e\n" +
        longLine + "\n";
    std::string digest = SHA256Text(content);
    std::vector<std::wstring> lines;
    EXPECT_EQ(readIDXFile(writeIdx(content + digest + "\n"), lines, 3), 4u);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], L"gr\u00FC\u00DFe");
    EXPECT_EQ(lines[1], std::wstring(kMaxLineChars, L'x'));
    EXPECT_EQ(lines[2], std::wstring(1500 - kMaxLineChars, L'x'));
}

class LineReader : public ::testing::Test {
protected:
    FILE* open(const std::string& bytes) {
        std::string path = makeTempDir("lines") + "/f.txt";
        writeFile(path, bytes);
        file_ = fopen(path.c_str(), "rb");
        return file_;
    }
    void TearDown() override {
        if (file_)
            fclose(file_);
    }
    FILE* file_ = nullptr;
};

TEST_F(LineReader, ReadTextResultsAndLineEnds) {
    FILE* f = open("one\r\n\ntwo\n" + std::string(1030, 'y') + "last");
    std::wstring line = L"before";
    EXPECT_EQ(readText(f, line), 0u);
    EXPECT_EQ(line, L"one");
    EXPECT_EQ(readText(f, line), 1u);  // empty line
    EXPECT_EQ(line, L"");
    EXPECT_EQ(readText(f, line), 0u);
    EXPECT_EQ(line, L"two");
    EXPECT_EQ(readText(f, line), 0u);  // first piece of a long line
    EXPECT_EQ(line.size(), kMaxLineChars);
    EXPECT_EQ(readText(f, line), 0u);  // its rest, with the unterminated last line
    EXPECT_EQ(line, std::wstring(1030 - kMaxLineChars, L'y') + L"last");
    line = L"unchanged";
    EXPECT_EQ(readText(f, line), kFailed);
    EXPECT_EQ(line, L"unchanged");
    EXPECT_EQ(readText(nullptr, line), kFailed);
}

TEST_F(LineReader, ReadIntResults) {
    FILE* f = open("  42\n12ab\nabc\n\n");
    uint32_t value = 7;
    EXPECT_EQ(readInt(f, &value), 0u);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(readInt(f, &value), 0u);
    EXPECT_EQ(value, 12u);
    EXPECT_EQ(readInt(f, &value), 0u);
    EXPECT_EQ(value, 0u);
    value = 7;
    EXPECT_EQ(readInt(f, &value), 1u);  // empty line
    EXPECT_EQ(value, 0u);
    value = 7;
    EXPECT_EQ(readInt(f, &value), 1u);  // end of file
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(readInt(f, nullptr), kFailed);
}

}  // namespace
