#include "kitbase/core/sha256.h"

#include <gtest/gtest.h>

#include <functional>

#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "support/test_root.h"

namespace {

std::string traceOf(const std::function<void()>& body) {
    const std::string path = testsupport::testRoot() + "/sha-trace.log";
    __trace__._inittrace(S2WS(path), TRACE_DEBUG, false, false, false);
    body();
    __trace__._closetrace(false);
    return testsupport::readFile(path);
}

const struct {
    std::string text;
    const char* digest;
} kVectors[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

}  // namespace

TEST(SHA256, KnownAnswers) {
    for (const auto& v : kVectors) {
        SHA_256 sha;
        EXPECT_EQ(sha.calculateText(v.text), v.digest) << v.text.size();
        EXPECT_EQ(sha.hexdigestA(), v.digest);
        EXPECT_EQ(sha.hexdigest(), S2WS(v.digest));
        EXPECT_EQ(sha.hexdigestW(), S2WS(v.digest));
        EXPECT_EQ(SHA256Text(S2WS(v.text)), S2WS(v.digest));
        EXPECT_EQ(SHA256Text(v.text), v.digest);
    }
}

TEST(SHA256, FreshObjectHasNoDigest) {
    SHA_256 sha;
    EXPECT_EQ(sha.hexdigest(), L"");
    EXPECT_EQ(sha.hexdigestA(), "");
}

TEST(SHA256, NarrowTextIsReadAsUtf8) {
    // Invalid UTF-8 is hashed with its sequences replaced by U+FFFD.
    EXPECT_EQ(SHA256Text(std::string("a\xFF")), SHA256Text(std::string("a\xEF\xBF\xBD")));
    const std::wstring wide = L"\u00C4rger";
    EXPECT_EQ(SHA256Text(wide), S2WS(SHA256Text(WS2S(wide))));
}

TEST(SHA256, FileDigests) {
    const std::string dir = testsupport::makeTempDir("sha");
    testsupport::writeFile(dir + "/abc", "abc");
    const std::string big(200000, 'q');
    testsupport::writeFile(dir + "/big", big);
    EXPECT_EQ(SHA256File(S2WS(dir + "/abc")), S2WS(kVectors[1].digest));
    SHA_256 sha;
    EXPECT_EQ(sha.calculateFile(S2WS(dir + "/big")), S2WS(SHA256Text(big)));
}

TEST(SHA256, UnreadableFileGivesEmptyDigestAndAnError) {
    const std::string missing = testsupport::testRoot() + "/missing.exe";
    SHA_256 sha;
    sha.calculateText(std::string("abc"));
    const std::string log = traceOf([&] { EXPECT_EQ(sha.calculateFile(S2WS(missing)), L""); });
    EXPECT_NE(log.find("[ERROR]"), std::string::npos) << log;
    EXPECT_NE(log.find("Cannot open file '" + missing + "' for reading"), std::string::npos) << log;
    // The failed calculation leaves no stale digest behind.
    EXPECT_EQ(sha.hexdigest(), L"");
    // A folder opens but cannot be read: no digest either.
    EXPECT_EQ(SHA256File(S2WS(testsupport::makeTempDir("folder"))), L"");
}
