#include "kitbase/platform/signature_container.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/winerror.h"
#include "test_pki.h"

using kitbase::SignatureFailure;
using kitbase::SignatureInfo;
using testpki::pki;
using testpki::signedFile;

namespace {

class SignatureContainer : public ::testing::Test {
protected:
    void SetUp() override { kitbase::setTrustAnchorFolder(pki().anchors); }
    void TearDown() override { kitbase::setTrustAnchorFolder(""); }
};

const std::string kContent =
    "\x7f"
    "ELF pretend program\n\0with a NUL";

// Writes a trailer claiming a block of `length` bytes at the end of `bytes`.
std::string withTrailer(std::string bytes, uint64_t length) {
    for (int i = 0; i < 8; ++i)
        bytes.push_back(static_cast<char>((length >> (8 * i)) & 0xff));
    bytes.append(kitbase::kSignatureMagic, 8);
    return bytes;
}

}  // namespace

TEST_F(SignatureContainer, SignedFileVerifiesAndKeepsItsBytesAndMode) {
    std::string path = testsupport::makeTempDir() + "/tool.exe";
    testsupport::writeFile(path, kContent);
    chmod(path.c_str(), 0750);
    std::string error;
    ASSERT_TRUE(kitbase::signFile(path, pki().signer("korvanex"), error)) << error;

    SignatureInfo info = kitbase::verifySignatureOfFile(path);
    ASSERT_EQ(info.failure, SignatureFailure::None) << info.detail;
    EXPECT_EQ(info.subjectName, "KORVANEX GmbH");
    EXPECT_EQ(info.issuerName, "Test Root");
    EXPECT_FALSE(info.serial.empty());
    EXPECT_EQ(info.coveredSize, kContent.size());
    EXPECT_EQ(testsupport::readFile(path).substr(0, kContent.size()), kContent);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);

    // Signing again replaces the signature instead of signing the old one.
    ASSERT_TRUE(kitbase::signFile(path, pki().signer("quorvane"), error)) << error;
    info = kitbase::verifySignatureOfFile(path);
    ASSERT_EQ(info.failure, SignatureFailure::None) << info.detail;
    EXPECT_EQ(info.subjectName, "Quorvane Operations GmbH & Co. KG");
    EXPECT_EQ(info.coveredSize, kContent.size());
}

TEST_F(SignatureContainer, CarriesProgramInformationAndTimestamp) {
    std::string path = signedFile("a.dll", "");
    testsupport::writeFile(path, kContent);
    kitbase::SigningOptions o = pki().signer("korvanex");
    o.programName = "Scänwarden \xF0\x9F\x98\x80";
    o.publisherLink = "https://korvanex.example/";
    o.moreInfoLink = "https://korvanex.example/more";
    o.timestamp = true;
    std::string error;
    ASSERT_TRUE(kitbase::signFile(path, o, error)) << error;

    SignatureInfo info = kitbase::verifySignatureOfFile(path);
    ASSERT_EQ(info.failure, SignatureFailure::None) << info.detail;
    EXPECT_TRUE(info.hasProgramInfo);
    EXPECT_FALSE(info.programInfoError);
    EXPECT_EQ(info.programName, o.programName);
    EXPECT_EQ(info.publisherLink, o.publisherLink);
    EXPECT_EQ(info.moreInfoLink, o.moreInfoLink);
    ASSERT_TRUE(info.hasTimestamp);
    EXPECT_FALSE(info.timestampError);
    EXPECT_LE(std::llabs(static_cast<long long>(info.timestamp - time(nullptr))), 120);
}

TEST_F(SignatureContainer, AChangedCountersignatureTimeIsNotReported) {
    std::string path = signedFile("t.dll", "");
    testsupport::writeFile(path, kContent);
    kitbase::SigningOptions o = pki().signer("korvanex");
    o.timestamp = true;
    std::string error;
    ASSERT_TRUE(kitbase::signFile(path, o, error)) << error;
    // The countersignature is an unsigned attribute, so its time is the last UTCTime of
    // the block; an earlier year there leaves the file's own signature intact.
    std::string bytes = testsupport::readFile(path);
    size_t at = bytes.rfind(std::string("\x17\x0d", 2));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 3] = static_cast<char>(bytes[at + 3] == '0' ? '1' : bytes[at + 3] - 1);
    testsupport::writeFile(path, bytes);

    SignatureInfo info = kitbase::verifySignatureOfFile(path);
    ASSERT_EQ(info.failure, SignatureFailure::None) << info.detail;
    EXPECT_TRUE(info.hasTimestamp);
    EXPECT_TRUE(info.timestampError);
    EXPECT_EQ(info.timestamp, 0);
}

TEST_F(SignatureContainer, AnUnsignedFileEndingLikeATrailerIsSignedWhole) {
    std::string path = testsupport::makeTempDir() + "/odd.bin";
    std::string content = withTrailer(std::string(100, 'x'), 50);
    ASSERT_EQ(content.size(), 116u);
    testsupport::writeFile(path, content);
    std::string error;
    ASSERT_TRUE(kitbase::signFile(path, pki().signer("korvanex"), error)) << error;
    SignatureInfo info = kitbase::verifySignatureOfFile(path);
    ASSERT_EQ(info.failure, SignatureFailure::None) << info.detail;
    EXPECT_EQ(info.coveredSize, 116u);
    EXPECT_EQ(testsupport::readFile(path).substr(0, 116), content);
}

TEST_F(SignatureContainer, ChainThroughCarriedIntermediate) {
    EXPECT_EQ(kitbase::verifySignatureOfFile(signedFile("a", "korvanex-inter", kContent, {"inter"})).failure,
              SignatureFailure::None);
    SignatureInfo alone = kitbase::verifySignatureOfFile(signedFile("b", "korvanex-inter"));
    EXPECT_EQ(alone.failure, SignatureFailure::Verification);
    EXPECT_EQ(alone.code, CERT_E_CHAINING);
}

TEST_F(SignatureContainer, RefusesFilesThatAreNotValidlySigned) {
    struct Case {
        const char* what;
        std::string path;
        SignatureFailure failure;
        DWORD code;
    };
    std::string good = testsupport::readFile(signedFile("good", "korvanex", kContent));
    auto variant = [](const std::string& name, const std::string& bytes) {
        std::string path = testsupport::makeTempDir() + "/" + name;
        testsupport::writeFile(path, bytes);
        return path;
    };
    std::string coveredFlip = good;
    coveredFlip[3] ^= 0x20;
    std::string shortened = good;
    shortened.erase(2, 1);
    std::string tooLong = good;
    tooLong[good.size() - 16] = static_cast<char>(0xff);  // block length beyond the file
    Case cases[] = {
        {"unsigned", signedFile("plain", ""), SignatureFailure::NotSigned, TRUST_E_NOSIGNATURE},
        {"empty", variant("empty", ""), SignatureFailure::NotSigned, TRUST_E_NOSIGNATURE},
        {"covered byte changed", variant("flip", coveredFlip), SignatureFailure::Verification,
         TRUST_E_BAD_DIGEST},
        {"covered byte removed", variant("short", shortened), SignatureFailure::Verification,
         TRUST_E_BAD_DIGEST},
        {"bytes appended", variant("appended", good + "MZ"), SignatureFailure::NotSigned,
         TRUST_E_NOSIGNATURE},
        {"trailer cut", variant("cut", good.substr(0, good.size() - 1)), SignatureFailure::NotSigned,
         TRUST_E_NOSIGNATURE},
        {"length beyond file", variant("long", tooLong), SignatureFailure::Malformed, ERROR_INVALID_DATA},
        {"length zero", variant("zero", withTrailer(kContent, 0)), SignatureFailure::Malformed,
         ERROR_INVALID_DATA},
        {"garbage block", variant("garbage", withTrailer(kContent + std::string(300, 'G'), 300)),
         SignatureFailure::Malformed, ERROR_INVALID_DATA},
        {"self-signed right name", signedFile("rogue", "rogue"), SignatureFailure::Verification,
         CERT_E_UNTRUSTEDROOT},
        {"not for code signing", signedFile("server", "korvanex-server"), SignatureFailure::Verification,
         CERT_E_WRONG_USAGE},
        {"expired", signedFile("expired", "korvanex-expired"), SignatureFailure::Verification,
         CERT_E_EXPIRED},
        {"directory", testsupport::makeTempDir(), SignatureFailure::NotSigned, TRUST_E_NOSIGNATURE},
        {"missing", testsupport::testRoot() + "/nothing-here", SignatureFailure::NotSigned,
         ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SignatureInfo info = kitbase::verifySignatureOfFile(c.path);
        EXPECT_EQ(info.failure, c.failure) << c.what << ": " << info.detail;
        EXPECT_EQ(info.code, c.code) << c.what << ": " << info.detail;
    }
}

TEST_F(SignatureContainer, DamagedBlocksNeverCrashOrPass) {
    std::string good = testsupport::readFile(signedFile("good", "korvanex", kContent));
    size_t blockSize = good.size() - kContent.size() - kitbase::kSignatureTrailerSize;
    std::string block = good.substr(kContent.size(), blockSize);
    std::string path = testsupport::makeTempDir() + "/damaged";
    // Every prefix of the block, announced with its own length.
    for (size_t n = 1; n < block.size(); n += 7) {
        testsupport::writeFile(path, withTrailer(kContent + block.substr(0, n), n));
        EXPECT_NE(kitbase::verifySignatureOfFile(path).failure, SignatureFailure::None) << n;
    }
    // Single flipped bytes: whatever still decodes must still cover the same bytes.
    for (size_t i = 0; i < block.size(); i += 3) {
        std::string b = block;
        b[i] ^= 0x5a;
        testsupport::writeFile(path, withTrailer(kContent + b, b.size()));
        SignatureInfo info = kitbase::verifySignatureOfFile(path);
        if (info.failure == SignatureFailure::None) {
            EXPECT_EQ(info.subjectName, "KORVANEX GmbH") << i;
        }
    }
}

TEST_F(SignatureContainer, FifoIsRefusedWithoutBlocking) {
    std::string path = testsupport::makeTempDir() + "/fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(kitbase::verifySignatureOfFile(path).failure, SignatureFailure::NotSigned);
    std::string error;
    EXPECT_EQ(kitbase::openSealedCopy(path, error), -1);
}

TEST_F(SignatureContainer, TrustAnchorFolderIsChosenByOverrideThenEnvironmentThenProgramFolder) {
    std::string path = signedFile("a", "korvanex");
    kitbase::setTrustAnchorFolder("");
    unsetenv("KITBASE_TRUST_ANCHORS");
    EXPECT_EQ(kitbase::trustAnchorFolder(), kitbase::executableFolder() + "/trust");
    EXPECT_EQ(kitbase::verifySignatureOfFile(path).code,
              CERT_E_CHAINING);  // the test PKI is not trusted there

    // A DER anchor in a folder named by the environment.
    std::string der = testsupport::makeTempDir("der");
    std::string cmd =
        "openssl x509 -in '" + pki().cert("root") + "' -outform DER -out '" + der + "/root.cer'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    setenv("KITBASE_TRUST_ANCHORS", der.c_str(), 1);
    EXPECT_EQ(kitbase::verifySignatureOfFile(path).failure, SignatureFailure::None);

    kitbase::setTrustAnchorFolder(testsupport::makeTempDir("none"));
    EXPECT_EQ(kitbase::verifySignatureOfFile(path).code, CERT_E_CHAINING);
    unsetenv("KITBASE_TRUST_ANCHORS");
}

TEST_F(SignatureContainer, ARootProcessTrustsNoAnchorsAnotherUserCanChange) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    std::string path = signedFile("user.dll", "korvanex");
    std::string userAnchors = testsupport::makeTempDir("user-anchors");
    testsupport::writeFile(userAnchors + "/root.pem", testsupport::readFile(pki().cert("root")));
    ASSERT_EQ(chown(userAnchors.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown((userAnchors + "/root.pem").c_str(), 65534, 65534), 0);
    // Named by the environment, as a user could have set it for a root process.
    kitbase::setTrustAnchorFolder("");
    setenv("KITBASE_TRUST_ANCHORS", userAnchors.c_str(), 1);
    EXPECT_EQ(kitbase::verifySignatureOfFile(path).code, CERT_E_CHAINING);
    // Owned by root again, the same anchors are trusted.
    ASSERT_EQ(chown(userAnchors.c_str(), 0, 0), 0);
    ASSERT_EQ(chown((userAnchors + "/root.pem").c_str(), 0, 0), 0);
    EXPECT_EQ(kitbase::verifySignatureOfFile(path).failure, SignatureFailure::None);
    // An anchor others may write is not taken either.
    chmod((userAnchors + "/root.pem").c_str(), 0666);
    EXPECT_EQ(kitbase::verifySignatureOfFile(path).code, CERT_E_CHAINING);
    unsetenv("KITBASE_TRUST_ANCHORS");
}

TEST_F(SignatureContainer, SealedCopyKeepsTheBytesReadAndCannotBeChanged) {
    std::string path = signedFile("engine", "quorvane");
    std::string original = testsupport::readFile(path);
    std::string error;
    int fd = kitbase::openSealedCopy(path, error);
    ASSERT_GE(fd, 0) << error;
    testsupport::writeFile(path, "replaced");

    EXPECT_EQ(testsupport::readFile("/proc/self/fd/" + std::to_string(fd)), original);
    EXPECT_EQ(kitbase::verifySignatureOfDescriptor(fd).failure, SignatureFailure::None);
    EXPECT_LT(pwrite(fd, "x", 1, 0), 0);
    EXPECT_NE(ftruncate(fd, 1), 0);
    close(fd);
}
