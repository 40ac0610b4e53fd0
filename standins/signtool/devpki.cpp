#include "devpki.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace devpki {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string lastError() {
    char buf[256] = "";
    unsigned long e = ERR_get_error();
    if (e)
        ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return buf;
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext)
        return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

bool writePem(const std::string& path, bool isKey, EVP_PKEY* key, X509* cert, std::string& error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, isKey ? 0600 : 0644);
    FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!f) {
        if (fd >= 0)
            close(fd);
        error = path + ": cannot write";
        return false;
    }
    bool ok = isKey ? PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1
                    : PEM_write_X509(f, cert) == 1;
    ok = fclose(f) == 0 && ok;
    if (!ok)
        error = path + ": cannot write " + lastError();
    return ok;
}

// Builds and signs a certificate for `key`; issuer null means self-signed.
X509Ptr build(const std::string& name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
              const CertificateOptions& o) {
    X509Ptr cert(X509_new());
    if (!cert)
        return nullptr;
    unsigned char serialBytes[16];
    if (RAND_bytes(serialBytes, sizeof serialBytes) != 1)
        return nullptr;
    serialBytes[0] &= 0x7f;
    serialBytes[0] |= 0x01;
    BIGNUM* bn = BN_bin2bn(serialBytes, sizeof serialBytes, nullptr);
    bool ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    const auto* text = reinterpret_cast<const unsigned char*>(name.c_str());
    ok = ok && X509_set_version(cert.get(), 2) &&
         X509_NAME_add_entry_by_NID(subject, NID_organizationName, MBSTRING_UTF8, text, -1, -1, 0);
    if (!o.organizationOnly)
        ok = ok && X509_NAME_add_entry_by_NID(subject, NID_commonName, MBSTRING_UTF8, text, -1, -1, 0);
    ok = ok && X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : subject) &&
         X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(o.validFromDays) * 86400) &&
         X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(o.validToDays) * 86400) &&
         X509_set_pubkey(cert.get(), key);
    X509* issuerCert = issuer ? issuer : cert.get();
    ok = ok && addExtension(cert.get(), issuerCert, NID_subject_key_identifier, "hash");
    if (issuer)
        ok = ok && addExtension(cert.get(), issuerCert, NID_authority_key_identifier, "keyid:always");
    if (o.certificateAuthority) {
        ok = ok && addExtension(cert.get(), issuerCert, NID_basic_constraints, "critical,CA:TRUE") &&
             addExtension(cert.get(), issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        ok = ok && addExtension(cert.get(), issuerCert, NID_basic_constraints, "critical,CA:FALSE") &&
             addExtension(cert.get(), issuerCert, NID_key_usage, "critical,digitalSignature");
        ok = ok && addExtension(cert.get(), issuerCert, NID_ext_key_usage,
                                o.codeSigning ? "codeSigning" : "serverAuth");
    }
    ok = ok && X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0;
    if (!ok)
        return nullptr;
    return cert;
}

KeyPtr newKey() {
    return KeyPtr(EVP_EC_gen("P-256"));
}

}  // namespace

bool makeSelfSigned(const std::string& name, const std::string& keyOut, const std::string& certOut,
                    const CertificateOptions& options, std::string& error) {
    KeyPtr key = newKey();
    X509Ptr cert = key ? build(name, key.get(), nullptr, nullptr, options) : nullptr;
    if (!cert) {
        error = "cannot create the certificate for " + name + " " + lastError();
        return false;
    }
    return writePem(keyOut, true, key.get(), nullptr, error) &&
           writePem(certOut, false, nullptr, cert.get(), error);
}

bool makeIssued(const std::string& name, const std::string& caKeyFile, const std::string& caCertFile,
                const std::string& keyOut, const std::string& certOut, const CertificateOptions& options,
                std::string& error) {
    BioPtr keyBio(BIO_new_file(caKeyFile.c_str(), "r"));
    KeyPtr caKey(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
    BioPtr certBio(BIO_new_file(caCertFile.c_str(), "r"));
    X509Ptr caCert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!caKey || !caCert) {
        error = "cannot read the issuing CA " + caKeyFile + " / " + caCertFile + " " + lastError();
        return false;
    }
    KeyPtr key = newKey();
    X509Ptr cert = key ? build(name, key.get(), caCert.get(), caKey.get(), options) : nullptr;
    if (!cert) {
        error = "cannot create the certificate for " + name + " " + lastError();
        return false;
    }
    return writePem(keyOut, true, key.get(), nullptr, error) &&
           writePem(certOut, false, nullptr, cert.get(), error);
}

}  // namespace devpki
