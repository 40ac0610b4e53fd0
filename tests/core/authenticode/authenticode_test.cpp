#include "kitbase/core/authenticode.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kitbase/core/trace.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/signature_container.h"
#include "kitbase/platform/utf8.h"
#include "test_pki.h"

using testpki::pki;
using testpki::signedFile;

extern char** environ;

namespace {

std::wstring wide(const std::string& s) {
    return kitbase::utf8ToWide(s);
}

class Authenticode : public ::testing::Test {
protected:
    void SetUp() override { kitbase::setTrustAnchorFolder(pki().anchors); }
    void TearDown() override { kitbase::setTrustAnchorFolder(""); }

    // Runs a check and returns what it printed on standard output.
    template <class F>
    std::string printed(F check, bool& result) {
        ::testing::internal::CaptureStdout();
        result = check();
        return ::testing::internal::GetCapturedStdout();
    }
};

const std::string kKorvanex = "KORVANEX GmbH";
const std::string kHalvren = "Halvren Security Group GmbH";
const std::string kQuorvane = "Quorvane Operations GmbH & Co. KG";

}  // namespace

TEST_F(Authenticode, SignerNameDecidesAmongTrustedSigners) {
    struct Case {
        const char* stem;
        bool maker;   // VerifyCertificate
        bool vendor;  // VerifyQuorvaneCertificate
        std::string makerOutput;
        std::string vendorOutput;
    } cases[] = {
        {"korvanex", true, false, "\nSigner Name: " + kKorvanex + "\n\nSigner is matching: " + kKorvanex,
         "\nSigner Name: " + kKorvanex + "\n\nSigner is NOT matching: " + kQuorvane},
        {"halvren", true, false,
         "\nSigner Name: " + kHalvren + "\n\nSigner is NOT matching: " + kKorvanex +
             "\nSigner Name: " + kHalvren + "\n\nSigner is matching: " + kHalvren,
         "\nSigner Name: " + kHalvren + "\n\nSigner is NOT matching: " + kQuorvane},
        {"quorvane", false, true,
         "\nSigner Name: " + kQuorvane + "\n\nSigner is NOT matching: " + kKorvanex +
             "\nSigner Name: " + kQuorvane + "\n\nSigner is NOT matching: " + kHalvren,
         "\nSigner Name: " + kQuorvane + "\n\nSigner is matching: " + kQuorvane},
        {"korvanex-case", false, false,
         "\nSigner Name: Korvanex GmbH\n\nSigner is NOT matching: " + kKorvanex +
             "\nSigner Name: Korvanex GmbH\n\nSigner is NOT matching: " + kHalvren,
         "\nSigner Name: Korvanex GmbH\n\nSigner is NOT matching: " + kQuorvane},
        {"korvanex-org", true, false, "\nSigner Name: " + kKorvanex + "\n\nSigner is matching: " + kKorvanex,
         "\nSigner Name: " + kKorvanex + "\n\nSigner is NOT matching: " + kQuorvane},
    };
    for (const auto& c : cases) {
        std::wstring path = wide(signedFile("file.dll", c.stem));
        bool result = false;
        EXPECT_EQ(printed([&] { return VerifyCertificate(path); }, result), c.makerOutput) << c.stem;
        EXPECT_EQ(result, c.maker) << c.stem;
        EXPECT_EQ(printed([&] { return VerifyQuorvaneCertificate(path); }, result), c.vendorOutput) << c.stem;
        EXPECT_EQ(result, c.vendor) << c.stem;
        VerifiedFile file;
        EXPECT_EQ(VerifyCertificate(path, file), c.maker) << c.stem;
        EXPECT_EQ(file.valid(), c.maker) << c.stem;
        EXPECT_EQ(VerifyQuorvaneCertificate(path, file), c.vendor) << c.stem;
        EXPECT_EQ(file.valid(), c.vendor) << c.stem;
    }
}

TEST_F(Authenticode, RefusesWithoutNamingASigner) {
    std::string tampered = signedFile("tampered.dll", "korvanex");
    {
        std::string bytes = testsupport::readFile(tampered);
        bytes[0] ^= 1;
        testsupport::writeFile(tampered, bytes);
    }
    std::string trailerCut = signedFile("cut.dll", "quorvane");
    {
        std::string bytes = testsupport::readFile(trailerCut);
        testsupport::writeFile(trailerCut, bytes.substr(0, bytes.size() - 3));
    }
    struct Case {
        const char* what;
        std::string path;
    } cases[] = {
        {"unsigned", signedFile("plain.dll", "")},
        {"modified after signing", tampered},
        {"trailer damaged", trailerCut},
        {"self-signed with the right name", signedFile("rogue.dll", "rogue")},
        {"not a code-signing certificate", signedFile("server.dll", "korvanex-server")},
        {"missing", testsupport::testRoot() + "/missing.dll"},
        {"folder", testsupport::makeTempDir()},
        {"empty path", ""},
    };
    for (const auto& c : cases) {
        bool result = true;
        EXPECT_EQ(printed([&] { return VerifyCertificate(wide(c.path)); }, result), "") << c.what;
        EXPECT_FALSE(result) << c.what;
        EXPECT_EQ(printed([&] { return VerifyQuorvaneCertificate(wide(c.path)); }, result), "") << c.what;
        EXPECT_FALSE(result) << c.what;
        VerifiedFile file;
        EXPECT_FALSE(VerifyCertificate(wide(c.path), file)) << c.what;
        EXPECT_FALSE(file.valid()) << c.what;
        EXPECT_EQ(file.path(), "") << c.what;
    }
}

TEST_F(Authenticode, WholeLongPathIsChecked) {
    std::string dir = testsupport::makeTempDir();
    while (dir.size() < 300) {
        dir += "/" + std::string(40, 'd');
        ASSERT_TRUE(kitbase::ensureFolder(dir));
    }
    std::string path = dir + "/engine.dll";
    testsupport::writeFile(path, "engine");
    std::string error;
    ASSERT_TRUE(kitbase::signFile(path, pki().signer("quorvane"), error)) << error;
    EXPECT_TRUE(VerifyQuorvaneCertificate(wide(path)));
}

TEST_F(Authenticode, BuildPkiSignsForBothNamesAndIsTrustedBesideTheProgram) {
    kitbase::setTrustAnchorFolder("");  // the program folder's "trust"
    struct Case {
        const char* stem;
        bool maker;
    } cases[] = {{"korvanex-gmbh", true}, {"quorvane-operations-gmbh-co-kg", false}};
    for (const auto& c : cases) {
        std::string path = signedFile("dev.dll", "");
        kitbase::SigningOptions o;
        o.keyFile = std::string(KITBASE_TEST_PKI_DIR) + "/" + c.stem + ".key";
        o.certificateFile = std::string(KITBASE_TEST_PKI_DIR) + "/" + c.stem + ".pem";
        std::string error;
        ASSERT_TRUE(kitbase::signFile(path, o, error)) << error;
        EXPECT_EQ(VerifyCertificate(wide(path)), c.maker) << c.stem;
        EXPECT_EQ(VerifyQuorvaneCertificate(wide(path)), !c.maker) << c.stem;
    }
    // The test PKI's own signer is not trusted by the build's anchors.
    EXPECT_FALSE(VerifyCertificate(wide(signedFile("x.dll", "korvanex"))));
}

TEST_F(Authenticode, LoadsTheCheckedBytesEvenWhenThePathIsSwapped) {
    std::string path = signedFile("qvapi.dll", "");
    testsupport::writeFile(path, testsupport::readFile(KITBASE_TEST_PROBE));
    std::string error;
    ASSERT_TRUE(kitbase::signFile(path, pki().signer("quorvane"), error)) << error;

    VerifiedFile engine;
    ASSERT_TRUE(VerifyQuorvaneCertificate(wide(path), engine));
    EXPECT_EQ(engine.sourcePath(), wide(path));
    // Someone replaces the file after the check.
    std::string swapped = path + ".new";
    testsupport::writeFile(swapped, "not a library");
    ASSERT_EQ(rename(swapped.c_str(), path.c_str()), 0);

    void* module = dlopen(engine.path().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto value = reinterpret_cast<int (*)()>(dlsym(module, "authenticode_probe_value"));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value(), 4129);
    dlclose(module);

    // The checked bytes cannot be changed through the descriptor either.
    EXPECT_LT(pwrite(engine.fd(), "x", 1, 0), 0);
    VerifiedFile moved(std::move(engine));
    EXPECT_FALSE(engine.valid());
    EXPECT_TRUE(moved.valid());
    moved.close();
    EXPECT_FALSE(moved.valid());
}

TEST_F(Authenticode, RunsTheCheckedProgram) {
    std::string path = signedFile("setup.exe", "");
    testsupport::writeFile(path, testsupport::readFile("/bin/true"));
    std::string error;
    ASSERT_TRUE(kitbase::signFile(path, pki().signer("korvanex"), error)) << error;
    VerifiedFile setup;
    ASSERT_TRUE(VerifyCertificate(wide(path), setup));
    unlink(path.c_str());

    std::string program = setup.path();
    char* argv[] = {program.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(Authenticode, WritesTheDetailsToTheTraceAtDebugLevel) {
    std::string log = testsupport::makeTempDir("log") + "/trace.log";
    __trace__._inittrace(wide(log), TRACE_DEBUG, false, false, false);

    std::string unsignedPath = signedFile("plain.dll", "");
    std::string signedPath = signedFile("prog.dll", "");
    kitbase::SigningOptions o = pki().signer("halvren");
    o.programName = "Lumenpost";
    o.publisherLink = "https://halvren.example/";
    o.moreInfoLink = "https://halvren.example/info";
    o.timestamp = true;
    std::string error;
    ASSERT_TRUE(kitbase::signFile(signedPath, o, error)) << error;
    std::string missing = testsupport::testRoot() + "/missing.dll";

    EXPECT_FALSE(VerifyCertificate(wide(missing)));
    EXPECT_FALSE(VerifyQuorvaneCertificate(wide(unsignedPath)));
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(VerifyCertificate(wide(signedPath)));
    ::testing::internal::GetCapturedStdout();
    __trace__._closetrace(false);

    std::string text = testsupport::readFile(log);
    for (const std::string& expected : {
             "File '" + missing + "' does not exist or can't be accessed",
             "\t|File '" + unsignedPath +
                 "' is not signed! Error 800b0100: 'No signature was present in the subject.'",
             std::string("Program Name : Lumenpost"),
             std::string("Publisher Link : https://halvren.example/"),
             std::string("MoreInfo Link : https://halvren.example/info"),
             std::string("Signer Certificate:"),
             std::string("Serial Number: \n"),
             std::string("Issuer Name: Test Root"),
             std::string("TimeStamp Certificate:\n"),
             std::string("Date of TimeStamp : "),
         })
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n---\n" << text;
    EXPECT_EQ(text.find("Signer Name"), std::string::npos);
}
