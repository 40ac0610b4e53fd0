#pragma once
// A private code-signing PKI for one test process: a root (the only trust anchor),
// an intermediate CA, leaf certificates and a few bad ones, made on first use in a
// temporary folder below the test root.
#include <stdexcept>
#include <string>
#include <vector>

#include "devpki.h"
#include "kitbase/platform/signature_container.h"
#include "support/test_root.h"

namespace testpki {

struct Pki {
    std::string dir;
    std::string anchors;  // folder holding only the root certificate

    std::string key(const std::string& stem) const { return dir + "/" + stem + ".key"; }
    std::string cert(const std::string& stem) const { return dir + "/" + stem + ".pem"; }

    // Options for signing with the leaf `stem` (plus chain files).
    kitbase::SigningOptions signer(const std::string& stem, std::vector<std::string> chain = {}) const {
        kitbase::SigningOptions o;
        o.keyFile = key(stem);
        o.certificateFile = cert(stem);
        for (auto& c : chain)
            o.chainFiles.push_back(this->cert(c));
        return o;
    }
};

inline void check(bool ok, const std::string& error) {
    if (!ok)
        throw std::runtime_error(error);
}

// Leaves issued by the root: "korvanex", "halvren", "quorvane", "korvanex-case"
// ("Korvanex GmbH"), "other", "korvanex-org" (organization only), "korvanex-server"
// (server authentication instead of code signing), "korvanex-expired"; "inter" (an
// intermediate CA) issues "korvanex-inter"; "rogue" is a self-signed "KORVANEX GmbH".
inline const Pki& pki() {
    static const Pki made = [] {
        Pki p;
        p.dir = testsupport::makeTempDir("pki");
        p.anchors = testsupport::makeTempDir("anchors");
        std::string e;
        devpki::CertificateOptions ca;
        ca.certificateAuthority = true;
        check(devpki::makeSelfSigned("Test Root", p.key("root"), p.cert("root"), ca, e), e);
        testsupport::writeFile(p.anchors + "/root.pem", testsupport::readFile(p.cert("root")));
        auto leaf = [&](const std::string& stem, const std::string& name, devpki::CertificateOptions o = {}) {
            check(devpki::makeIssued(name, p.key("root"), p.cert("root"), p.key(stem), p.cert(stem), o, e),
                  e);
        };
        leaf("korvanex", "KORVANEX GmbH");
        leaf("halvren", "Halvren Security Group GmbH");
        leaf("quorvane", "Quorvane Operations GmbH & Co. KG");
        leaf("korvanex-case", "Korvanex GmbH");
        leaf("other", "Other Software Ltd");
        devpki::CertificateOptions org;
        org.organizationOnly = true;
        leaf("korvanex-org", "KORVANEX GmbH", org);
        devpki::CertificateOptions server;
        server.codeSigning = false;
        leaf("korvanex-server", "KORVANEX GmbH", server);
        devpki::CertificateOptions expired;
        expired.validFromDays = -30;
        expired.validToDays = -1;
        leaf("korvanex-expired", "KORVANEX GmbH", expired);
        leaf("inter", "Test Intermediate", ca);
        check(devpki::makeIssued("KORVANEX GmbH", p.key("inter"), p.cert("inter"), p.key("korvanex-inter"),
                                 p.cert("korvanex-inter"), {}, e),
              e);
        check(devpki::makeSelfSigned("KORVANEX GmbH", p.key("rogue"), p.cert("rogue"), {}, e), e);
        return p;
    }();
    return made;
}

// A file with the given content, signed as `stem` (unsigned when stem is empty).
inline std::string signedFile(const std::string& name, const std::string& stem,
                              const std::string& content = "program bytes \x01\x02\x03",
                              std::vector<std::string> chain = {}) {
    std::string path = testsupport::makeTempDir("files") + "/" + name;
    testsupport::writeFile(path, content);
    if (!stem.empty()) {
        std::string e;
        check(kitbase::signFile(path, pki().signer(stem, std::move(chain)), e), e);
    }
    return path;
}

}  // namespace testpki
