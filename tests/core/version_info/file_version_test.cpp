#include <gtest/gtest.h>

#include <string>

#include "kitbase/core/sysinfo.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/version_block.h"
#include "support/test_root.h"

namespace {

std::wstring versionOf(const std::string& path, unsigned expectedResult) {
    std::wstring out = L"junk";
    EXPECT_EQ(getFileVersionInfo(kitbase::utf8ToWide(path), out), expectedResult) << path;
    return out;
}

// A copy of this test program with bytes of its version record replaced, `offset`
// bytes from the record's start.
std::string patchedCopy(size_t offset, const std::string& bytes) {
    std::string image = testsupport::readFile(kitbase::executablePath());
    // Put together at run time, so that the program holds the magic only in its record.
    std::string magic = std::string("Kitbase") + "Version1";
    magic.push_back('\0');
    size_t at = image.find(magic);
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(image.find(magic, at + 1), std::string::npos);  // exactly one record
    image.replace(at + offset, bytes.size(), bytes);
    const std::string path = testsupport::makeTempDir("patched") + "/copy";
    testsupport::writeFile(path, image);
    return path;
}

TEST(FileVersionInfo, ReadsTheBlockOfAProgram) {
    EXPECT_EQ(versionOf(kitbase::executablePath(), 0), L"2.31.405.65535");
}

TEST(FileVersionInfo, ReadsTheBlockOfTheLibrary) {
    EXPECT_EQ(versionOf(kitbase::executableFolder() + "/libkitbase.so", 0),
              kitbase::utf8ToWide(KITBASE_TEST_PROJECT_VERSION));
}

TEST(FileVersionInfo, ReadsTheFileNotTheRunningProcess) {
    // Record layout after the 16 magic bytes: signature, MS, LS (little-endian here).
    const std::string path = patchedCopy(20, std::string("\x02\x00\x07\x00\x04\x00\x03\x00", 8));
    EXPECT_EQ(versionOf(path, 0), L"7.2.3.4");
    EXPECT_EQ(versionOf(kitbase::executablePath(), 0), L"2.31.405.65535");
}

TEST(FileVersionInfo, AWrongSignatureIsNoVersion) {
    const std::string path = patchedCopy(16, std::string("\x00\x00\x00\x00", 4));
    EXPECT_EQ(versionOf(path, 1), L"0.0.0.0");
}

TEST(FileVersionInfo, FilesWithoutABlock) {
    const std::string dir = testsupport::makeTempDir("noversion");
    const std::string image = testsupport::readFile(kitbase::executablePath());
    struct Case {
        std::string name;
        std::string content;
    };
    const Case cases[] = {
        {"empty", ""},
        {"text", "just text"},
        {"elf-header-only", image.substr(0, 64)},
        {"truncated-program", image.substr(0, image.size() / 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::writeFile(dir + "/" + c.name, c.content);
        EXPECT_EQ(versionOf(dir + "/" + c.name, 1), L"0.0.0.0");
    }
    EXPECT_EQ(versionOf(dir + "/missing", 1), L"0.0.0.0");
    EXPECT_EQ(versionOf("/bin/sh", 1), L"0.0.0.0");  // an ELF program of someone else
}

TEST(VersionBlock, GivesTheFixedFields) {
    kitbase::VersionBlock block;
    ASSERT_TRUE(kitbase::readVersionBlock(kitbase::executablePath(), block));
    EXPECT_EQ(block.signature, 0xFEEF04BDu);
    EXPECT_EQ(block.fileVersionMS, (2u << 16) | 31u);
    EXPECT_EQ(block.fileVersionLS, (405u << 16) | 65535u);
}

}  // namespace
