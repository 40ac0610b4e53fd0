#pragma once
// Development keys and certificates for code signing: a root certification authority,
// intermediate authorities and leaf certificates, written as PEM files. Used by the
// build (the development PKI in the build folder) and by tests that need a PKI of
// their own. Keys are EC P-256 and are written unencrypted (mode 0600).
#include <string>

namespace devpki {

struct CertificateOptions {
    // Subject: common name and organization are both set to the name, unless
    // organizationOnly asks for an organization without a common name.
    bool organizationOnly = false;
    bool certificateAuthority = false;  // a CA (root or intermediate) instead of a leaf
    bool codeSigning = true;            // leaf: extended key usage code signing
    int validFromDays = -1;             // validity relative to now, in days
    int validToDays = 3650;
};

// A self-signed certificate (a root CA when options.certificateAuthority, else a
// self-signed leaf) and its key.
bool makeSelfSigned(const std::string& name, const std::string& keyOut, const std::string& certOut,
                    const CertificateOptions& options, std::string& error);

// A certificate issued by the CA whose key and certificate are given.
bool makeIssued(const std::string& name, const std::string& caKeyFile, const std::string& caCertFile,
                const std::string& keyOut, const std::string& certOut, const CertificateOptions& options,
                std::string& error);

}  // namespace devpki
