#include "kitbase/core/md5.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "support/test_root.h"

namespace {

// Runs `body` with the global trace writing DEBUG records to a file; returns the log.
std::string traceOf(const std::function<void()>& body) {
    const std::string path = testsupport::testRoot() + "/md5-trace.log";
    __trace__._inittrace(S2WS(path), TRACE_DEBUG, false, false, false);
    body();
    __trace__._closetrace(false);
    return testsupport::readFile(path);
}

}  // namespace

TEST(MD5, Rfc1321TestSuite) {
    const struct {
        const char* text;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MD5TextA(c.text), c.digest) << c.text;
        EXPECT_EQ(MD5Text(S2WS(c.text)), S2WS(c.digest)) << c.text;
    }
    EXPECT_EQ(MD5TextA(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(MD5, IncrementalUpdatesMatchOneShotAcrossBlockBoundaries) {
    std::string data;
    for (int i = 0; i < 300; ++i)
        data.push_back(static_cast<char>(i * 7));
    const std::string expected = MD5TextA(data);
    for (unsigned int piece : {1u, 55u, 56u, 63u, 64u, 65u, 129u}) {
        MD5 md5;
        for (size_t at = 0; at < data.size(); at += piece)
            md5.update(data.data() + at,
                       static_cast<unsigned int>(std::min<size_t>(piece, data.size() - at)));
        EXPECT_EQ(md5.finalize().hexdigest(), expected) << piece;
    }
}

TEST(MD5, WideTextIsHashedAsUtf8) {
    const std::wstring text = L"Gr\u00FC\u00DFe \u20AC";
    EXPECT_EQ(MD5TextW(text), S2WS(MD5TextA(WS2S(text))));
    EXPECT_EQ(MD5(text).hexdigestW(), MD5TextW(text));
}

TEST(MD5, UnfinishedDigestIsEmptyAndFinalizeIsIdempotent) {
    MD5 md5;
    md5.update("abc", 3);
    EXPECT_EQ(md5.hexdigest(), "");
    EXPECT_EQ(md5.hexdigestW(), L"");
    md5.finalize();
    md5.finalize();
    EXPECT_EQ(md5.hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
    MD5 copy = md5;
    EXPECT_EQ(copy.hexdigest(), md5.hexdigest());
}

TEST(MD5, FileDigests) {
    const std::string dir = testsupport::makeTempDir("md5");
    testsupport::writeFile(dir + "/empty", "");
    std::string big(5000, 'x');  // several 1023-byte blocks
    testsupport::writeFile(dir + "/big", big);

    EXPECT_EQ(MD5FileW(S2WS(dir + "/empty")), L"d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(MD5File(S2WS(dir + "/big")), S2WS(MD5TextA(big)));
    EXPECT_EQ(MD5FileA(dir + "/big"), MD5TextA(big));

    const std::string log = traceOf([&] { EXPECT_EQ(MD5FileW(S2WS(dir + "/empty")), S2WS(MD5TextA(""))); });
    EXPECT_NE(log.find("MD5=d41d8cd98f00b204e9800998ecf8427e"), std::string::npos) << log;
}

TEST(MD5, MissingFileGivesEmptyDigestAndARecord) {
    const std::string missing = testsupport::testRoot() + "/no-such-file";
    std::string log = traceOf([&] { EXPECT_EQ(MD5FileW(S2WS(missing)), L""); });
    EXPECT_NE(log.find("Cannot open input file '" + missing + "' to compute the MD5. Error: '"),
              std::string::npos)
        << log;
    log = traceOf([&] { EXPECT_EQ(MD5FileA(missing), ""); });
    EXPECT_NE(log.find("cannot input file " + missing), std::string::npos) << log;
}

TEST(MD5, UnreadableFileIsNotTheDigestOfNoBytes) {
    // A folder opens for reading on Linux but cannot be read: that is a failure, not
    // the digest of zero bytes.
    const std::string dir = testsupport::makeTempDir("folder");
    EXPECT_EQ(MD5FileW(S2WS(dir)), L"");
    EXPECT_EQ(MD5FileA(dir), "");
}
