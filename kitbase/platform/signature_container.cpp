#include "kitbase/platform/signature_container.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "kitbase/platform/private_files.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

// ---- small owners of OpenSSL objects -------------------------------------------------

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct CmsFree {
    void operator()(CMS_ContentInfo* c) const { CMS_ContentInfo_free(c); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct X509StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
struct StoreFree {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxFree {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct SignerInfoFree {
    void operator()(PKCS7_SIGNER_INFO* s) const { PKCS7_SIGNER_INFO_free(s); }
};
struct ObjFree {
    void operator()(ASN1_OBJECT* o) const { ASN1_OBJECT_free(o); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, StoreCtxFree>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using SignerInfoPtr = std::unique_ptr<PKCS7_SIGNER_INFO, SignerInfoFree>;
using ObjPtr = std::unique_ptr<ASN1_OBJECT, ObjFree>;

constexpr const char* kProgramInfoOid = "1.3.6.1.4.1.311.2.1.12";

// The last OpenSSL error as text (and the queue emptied).
std::string opensslError() {
    unsigned long e = ERR_get_error();
    std::string text;
    if (e) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        text = buf;
    }
    ERR_clear_error();
    return text;
}

// ---- file access -----------------------------------------------------------------------

// Reads exactly `size` bytes at `offset`; false on a short read or an error.
bool readAt(int fd, void* buffer, size_t size, uint64_t offset) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t n = pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool writeAll(int fd, const void* buffer, size_t size) {
    const auto* p = static_cast<const unsigned char*>(buffer);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Opens a path for reading without blocking on FIFOs and without becoming a terminal's
// controlling process; -1 on failure (errno kept).
int openForReading(const std::string& path) {
    return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

// Where the SignedData block lies, from the trailer. Returns the failure kind.
SignatureFailure locateBlock(int fd, uint64_t fileSize, uint64_t& blockOffset, uint64_t& blockSize,
                             std::string& detail) {
    if (fileSize < kSignatureTrailerSize) {
        detail = "no signature trailer";
        return SignatureFailure::NotSigned;
    }
    unsigned char trailer[kSignatureTrailerSize];
    if (!readAt(fd, trailer, sizeof trailer, fileSize - kSignatureTrailerSize)) {
        detail = "cannot read the signature trailer";
        return SignatureFailure::NotSigned;
    }
    if (memcmp(trailer + 8, kSignatureMagic, sizeof kSignatureMagic) != 0) {
        detail = "no signature trailer";
        return SignatureFailure::NotSigned;
    }
    uint64_t length = 0;
    for (int i = 7; i >= 0; --i)
        length = (length << 8) | trailer[i];
    if (length == 0 || length > kMaxSignatureBlock || length > fileSize - kSignatureTrailerSize) {
        detail = "signature block length out of range";
        return SignatureFailure::Malformed;
    }
    blockSize = length;
    blockOffset = fileSize - kSignatureTrailerSize - length;
    return SignatureFailure::None;
}

// ---- names and attributes --------------------------------------------------------------

// The first of common name, organizational unit, organization and e-mail address;
// empty when none is present or the value holds a NUL.
std::string simpleDisplayName(const X509_NAME* name) {
    if (!name)
        return {};
    static const int nids[] = {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                               NID_pkcs9_emailAddress};
    for (int nid : nids) {
        int index = X509_NAME_get_index_by_NID(name, nid, -1);
        if (index < 0)
            continue;
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
        unsigned char* utf8 = nullptr;
        int len = ASN1_STRING_to_UTF8(&utf8, data);
        if (len < 0) {
            ERR_clear_error();
            return {};
        }
        std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
        OPENSSL_free(utf8);
        if (text.find('\0') != std::string::npos)
            return {};
        return text;
    }
    return {};
}

// A big-endian UTF-16 text (BMPString) as UTF-8.
std::string utf16beToUtf8(const unsigned char* p, long len) {
    std::wstring wide;
    for (long i = 0; i + 1 < len; i += 2)
        wide.push_back(static_cast<wchar_t>((p[i] << 8) | p[i + 1]));
    return wideToUtf8(wide);
}

// One DER element: tag, class, constructed flag and body.
struct Tlv {
    int tag = 0;
    int cls = 0;
    bool constructed = false;
    const unsigned char* body = nullptr;
    long length = 0;
};

// Reads the next element of [p, p+remaining); false on a damaged or indefinite encoding.
bool nextTlv(const unsigned char*& p, long& remaining, Tlv& out) {
    if (remaining <= 0)
        return false;
    const unsigned char* q = p;
    long len = 0;
    int tag = 0, cls = 0;
    int r = ASN1_get_object(&q, &len, &tag, &cls, remaining);
    if ((r & 0x80) || (r & 0x01)) {
        ERR_clear_error();
        return false;
    }
    out.tag = tag;
    out.cls = cls;
    out.constructed = (r & V_ASN1_CONSTRUCTED) != 0;
    out.body = q;
    out.length = len;
    remaining -= static_cast<long>(q - p) + len;
    p = q + len;
    return true;
}

// SpcString ::= CHOICE { unicode [0] IMPLICIT BMPString, ascii [1] IMPLICIT IA5String }
bool decodeSpcString(const Tlv& t, std::string& out) {
    if (t.cls != V_ASN1_CONTEXT_SPECIFIC || t.constructed)
        return false;
    if (t.tag == 0) {
        if (t.length % 2)
            return false;
        out = utf16beToUtf8(t.body, t.length);
        return true;
    }
    if (t.tag == 1) {
        out.assign(reinterpret_cast<const char*>(t.body), static_cast<size_t>(t.length));
        return true;
    }
    return false;
}

// SpcLink ::= CHOICE { url [0] IMPLICIT IA5String, moniker [1] IMPLICIT SpcSerializedObject,
//                      file [2] EXPLICIT SpcString }
// `printable` is false for a moniker, which has no text.
bool decodeSpcLink(const Tlv& t, std::string& out, bool& printable) {
    printable = false;
    if (t.cls != V_ASN1_CONTEXT_SPECIFIC)
        return false;
    if (t.tag == 0 && !t.constructed) {
        out.assign(reinterpret_cast<const char*>(t.body), static_cast<size_t>(t.length));
        printable = true;
        return true;
    }
    if (t.tag == 1 && t.constructed)
        return true;
    if (t.tag == 2 && t.constructed) {
        const unsigned char* p = t.body;
        long n = t.length;
        Tlv inner;
        if (!nextTlv(p, n, inner) || n != 0 || !decodeSpcString(inner, out))
            return false;
        printable = true;
        return true;
    }
    return false;
}

// SpcSpOpusInfo ::= SEQUENCE { programName [0] EXPLICIT SpcString OPTIONAL,
//                              moreInfo [1] EXPLICIT SpcLink OPTIONAL,
//                              publisherInfo [2] EXPLICIT SpcLink OPTIONAL }
bool decodeProgramInfo(const unsigned char* der, long len, SignatureInfo& info) {
    const unsigned char* p = der;
    long remaining = len;
    Tlv seq;
    if (!nextTlv(p, remaining, seq) || remaining != 0 || seq.tag != V_ASN1_SEQUENCE || !seq.constructed)
        return false;
    p = seq.body;
    remaining = seq.length;
    while (remaining > 0) {
        Tlv field;
        if (!nextTlv(p, remaining, field) || field.cls != V_ASN1_CONTEXT_SPECIFIC || !field.constructed)
            return false;
        const unsigned char* q = field.body;
        long n = field.length;
        Tlv value;
        if (!nextTlv(q, n, value) || n != 0)
            return false;
        bool printable = false;
        switch (field.tag) {
            case 0:
                if (!decodeSpcString(value, info.programName))
                    return false;
                info.hasProgramName = true;
                break;
            case 1:
                if (!decodeSpcLink(value, info.moreInfoLink, printable))
                    return false;
                info.hasMoreInfoLink = printable;
                break;
            case 2:
                if (!decodeSpcLink(value, info.publisherLink, printable))
                    return false;
                info.hasPublisherLink = printable;
                break;
            default:
                return false;
        }
    }
    return true;
}

void readProgramInfo(CMS_SignerInfo* si, SignatureInfo& info) {
    ObjPtr oid(OBJ_txt2obj(kProgramInfoOid, 1));
    int index = oid ? CMS_signed_get_attr_by_OBJ(si, oid.get(), -1) : -1;
    if (index < 0)
        return;
    info.hasProgramInfo = true;
    X509_ATTRIBUTE* attr = CMS_signed_get_attr(si, index);
    ASN1_TYPE* value = attr ? X509_ATTRIBUTE_get0_type(attr, 0) : nullptr;
    if (!value || value->type != V_ASN1_SEQUENCE ||
        !decodeProgramInfo(value->value.sequence->data, value->value.sequence->length, info)) {
        info.programInfoError = true;
        info.hasProgramName = info.hasPublisherLink = info.hasMoreInfoLink = false;
    }
}

bool allowedDigest(int nid) {
    return nid == NID_sha256 || nid == NID_sha384 || nid == NID_sha512;
}

// True when `counter` is a valid countersignature of `si` made with the key of the
// signer's own certificate: its message digest is the digest of the signature value,
// and its signature over its signed attributes verifies.
bool countersignatureVerifies(CMS_SignerInfo* si, PKCS7_SIGNER_INFO* counter, X509* signer) {
    if (!counter->issuer_and_serial || !counter->auth_attr || !counter->enc_digest || !counter->digest_alg)
        return false;
    if (X509_NAME_cmp(counter->issuer_and_serial->issuer, X509_get_issuer_name(signer)) != 0 ||
        ASN1_INTEGER_cmp(counter->issuer_and_serial->serial, X509_get0_serialNumber(signer)) != 0)
        return false;
    int digestNid = OBJ_obj2nid(counter->digest_alg->algorithm);
    const EVP_MD* md = allowedDigest(digestNid) ? EVP_get_digestbynid(digestNid) : nullptr;
    ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(si);
    ASN1_OCTET_STRING* covered = PKCS7_digest_from_attributes(counter->auth_attr);
    if (!md || !signature || !covered)
        return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    if (!EVP_Digest(ASN1_STRING_get0_data(signature), static_cast<size_t>(ASN1_STRING_length(signature)),
                    digest, &digestLen, md, nullptr) ||
        static_cast<unsigned int>(ASN1_STRING_length(covered)) != digestLen ||
        memcmp(ASN1_STRING_get0_data(covered), digest, digestLen) != 0)
        return false;
    // The signed attributes are signed in their DER SET OF form.
    unsigned char* attrs = nullptr;
    int attrsLen = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(counter->auth_attr), &attrs,
                                 ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (attrsLen <= 0)
        return false;
    MdCtxPtr ctx(EVP_MD_CTX_new());
    bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, X509_get0_pubkey(signer)) == 1 &&
              EVP_DigestVerify(ctx.get(), ASN1_STRING_get0_data(counter->enc_digest),
                               static_cast<size_t>(ASN1_STRING_length(counter->enc_digest)), attrs,
                               static_cast<size_t>(attrsLen)) == 1;
    OPENSSL_free(attrs);
    return ok;
}

// The countersignature's signing time (UTC seconds), reported only when the
// countersignature itself verifies (a time nobody vouches for is no signing time).
void readTimestamp(CMS_SignerInfo* si, X509* signer, SignatureInfo& info) {
    int index = CMS_unsigned_get_attr_by_NID(si, NID_pkcs9_countersignature, -1);
    if (index < 0)
        return;
    info.hasTimestamp = true;
    info.timestampError = true;
    X509_ATTRIBUTE* attr = CMS_unsigned_get_attr(si, index);
    ASN1_TYPE* value = attr ? X509_ATTRIBUTE_get0_type(attr, 0) : nullptr;
    if (!value || value->type != V_ASN1_SEQUENCE)
        return;
    const unsigned char* p = value->value.sequence->data;
    long len = value->value.sequence->length;
    SignerInfoPtr counter(d2i_PKCS7_SIGNER_INFO(nullptr, &p, len));
    if (!counter || !countersignatureVerifies(si, counter.get(), signer)) {
        ERR_clear_error();
        return;
    }
    ASN1_TYPE* when = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
    if (!when || (when->type != V_ASN1_UTCTIME && when->type != V_ASN1_GENERALIZEDTIME))
        return;
    struct tm tm {};
    if (!ASN1_TIME_to_tm(reinterpret_cast<const ASN1_TIME*>(when->value.asn1_string), &tm)) {
        ERR_clear_error();
        return;
    }
    info.timestamp = timegm(&tm);
    info.timestampError = false;
}

// ---- trust anchors ---------------------------------------------------------------------

std::mutex g_anchorLock;
std::string g_anchorFolder;

bool hasAnchorExtension(const std::string& name) {
    static const char* exts[] = {".pem", ".crt", ".cer", ".der"};
    for (const char* ext : exts) {
        size_t n = strlen(ext);
        if (name.size() > n && strcasecmp(name.c_str() + name.size() - n, ext) == 0)
            return true;
    }
    return false;
}

// Adds every certificate of one anchor file (PEM with one or more certificates, or DER).
void addAnchorFile(X509_STORE* store, const std::string& path) {
    int fd = openForReading(path);
    if (fd < 0)
        return;
    struct stat st {};
    std::string content;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= 1024 * 1024) {
        content.resize(static_cast<size_t>(st.st_size));
        if (!readAt(fd, content.data(), content.size(), 0))
            content.clear();
    }
    close(fd);
    if (content.empty())
        return;
    BioPtr bio(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    int added = 0;
    while (bio) {
        X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!cert)
            break;
        if (X509_STORE_add_cert(store, cert.get()))
            ++added;
    }
    ERR_clear_error();
    if (added == 0) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(content.data());
        X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(content.size())));
        if (cert)
            X509_STORE_add_cert(store, cert.get());
        ERR_clear_error();
    }
}

StorePtr loadAnchors() {
    StorePtr store(X509_STORE_new());
    if (!store)
        return store;
    std::string folder = trustAnchorFolder();
    // A root process trusts no anchor another user could have put or changed there.
    if (!isTrustedPlace(folder))
        return store;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return store;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.' || !hasAnchorExtension(name))
            continue;
        if (isTrustedPlace(folder + "/" + name))
            addAnchorFile(store.get(), folder + "/" + name);
    }
    closedir(dir);
    return store;
}

DWORD chainErrorCode(int error) {
    switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return CERT_E_EXPIRED;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return CERT_E_UNTRUSTEDROOT;
        case X509_V_ERR_INVALID_PURPOSE:
            return CERT_E_WRONG_USAGE;
        default:
            return CERT_E_CHAINING;
    }
}

// ---- verification ----------------------------------------------------------------------

SignatureInfo failed(SignatureInfo info, SignatureFailure failure, DWORD code, std::string detail) {
    info.failure = failure;
    info.code = code;
    info.detail = std::move(detail);
    return info;
}

// Digest of the first `size` bytes of the file.
bool digestCovered(int fd, uint64_t size, const EVP_MD* md, unsigned char* out, unsigned int& outLen) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), md, nullptr))
        return false;
    std::vector<unsigned char> buffer(1024 * 1024);
    uint64_t offset = 0;
    while (offset < size) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - offset));
        if (!readAt(fd, buffer.data(), chunk, offset))
            return false;
        if (!EVP_DigestUpdate(ctx.get(), buffer.data(), chunk))
            return false;
        offset += chunk;
    }
    return EVP_DigestFinal_ex(ctx.get(), out, &outLen) == 1;
}

SignatureInfo verifyOpenFile(int fd) {
    SignatureInfo info;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return failed(info, SignatureFailure::NotSigned, TRUST_E_NOSIGNATURE, "not a regular file");
    uint64_t fileSize = static_cast<uint64_t>(st.st_size);

    uint64_t blockOffset = 0, blockSize = 0;
    std::string detail;
    SignatureFailure where = locateBlock(fd, fileSize, blockOffset, blockSize, detail);
    if (where != SignatureFailure::None)
        return failed(info, where,
                      where == SignatureFailure::NotSigned ? TRUST_E_NOSIGNATURE : ERROR_INVALID_DATA,
                      detail);
    info.coveredSize = blockOffset;

    std::vector<unsigned char> block(blockSize);
    if (!readAt(fd, block.data(), block.size(), blockOffset))
        return failed(info, SignatureFailure::Malformed, ERROR_INVALID_DATA,
                      "cannot read the signature block");
    const unsigned char* p = block.data();
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(block.size())));
    if (!cms || p != block.data() + block.size()) {
        ERR_clear_error();
        return failed(info, SignatureFailure::Malformed, ERROR_INVALID_DATA,
                      "signature block is not DER SignedData");
    }
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed)
        return failed(info, SignatureFailure::Malformed, ERROR_INVALID_DATA,
                      "signature block is not SignedData");
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    if (!content || *content)
        return failed(info, SignatureFailure::Malformed, ERROR_INVALID_DATA, "signature is not detached");
    const ASN1_OBJECT* contentType = CMS_get0_eContentType(cms.get());
    if (OBJ_obj2nid(contentType) != NID_pkcs7_data)
        return failed(info, SignatureFailure::Malformed, ERROR_INVALID_DATA,
                      "unexpected signed content type");

    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (!signers || sk_CMS_SignerInfo_num(signers) < 1)
        return failed(info, SignatureFailure::NoSignerInfo, ERROR_INVALID_DATA, "no signer information");
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, 0);

    // The signer's certificate, found among the block's certificates by its identifier
    // (issuer and serial number, or subject key identifier).
    X509StackPtr certs(CMS_get1_certs(cms.get()));
    X509* signer = nullptr;
    for (int i = 0; certs && i < sk_X509_num(certs.get()); ++i) {
        X509* candidate = sk_X509_value(certs.get(), i);
        if (CMS_SignerInfo_cert_cmp(si, candidate) == 0) {
            signer = candidate;
            break;
        }
    }
    ERR_clear_error();
    if (!signer)
        return failed(info, SignatureFailure::SignerCertificate, ERROR_NOT_FOUND,
                      "signer certificate not in the signature");

    info.subjectName = simpleDisplayName(X509_get_subject_name(signer));
    info.issuerName = simpleDisplayName(X509_get_issuer_name(signer));
    if (const ASN1_INTEGER* serial = X509_get0_serialNumber(signer))
        info.serial.assign(serial->data, serial->data + serial->length);
    readProgramInfo(si, info);
    readTimestamp(si, signer, info);

    // The signature over the signed attributes.
    if (CMS_signed_get_attr_count(si) <= 0)
        return failed(info, SignatureFailure::Verification, TRUST_E_BAD_DIGEST, "no signed attributes");
    const ASN1_OBJECT* signedType = static_cast<const ASN1_OBJECT*>(
        CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_contentType), -3, V_ASN1_OBJECT));
    if (!signedType || OBJ_cmp(signedType, contentType) != 0)
        return failed(info, SignatureFailure::Verification, TRUST_E_BAD_DIGEST,
                      "content type attribute missing or different");
    X509_ALGOR* digestAlg = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digestAlg, nullptr);
    const ASN1_OBJECT* digestObj = nullptr;
    if (digestAlg)
        X509_ALGOR_get0(&digestObj, nullptr, nullptr, digestAlg);
    int digestNid = digestObj ? OBJ_obj2nid(digestObj) : NID_undef;
    if (!allowedDigest(digestNid))
        return failed(info, SignatureFailure::Verification, TRUST_E_BAD_DIGEST,
                      "digest algorithm not accepted");
    const ASN1_OCTET_STRING* signedDigest = static_cast<const ASN1_OCTET_STRING*>(
        CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    if (!signedDigest)
        return failed(info, SignatureFailure::Verification, TRUST_E_BAD_DIGEST,
                      "no message digest attribute");
    CMS_SignerInfo_set1_signer_cert(si, signer);
    if (CMS_SignerInfo_verify(si) != 1)
        return failed(info, SignatureFailure::Verification, TRUST_E_BAD_DIGEST,
                      "signature does not verify: " + opensslError());

    // The signed digest against the covered bytes actually read.
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    if (!digestCovered(fd, blockOffset, EVP_get_digestbynid(digestNid), digest, digestLen))
        return failed(info, SignatureFailure::Verification, TRUST_E_BAD_DIGEST,
                      "cannot read the signed content");
    if (static_cast<int>(digestLen) != ASN1_STRING_length(signedDigest) ||
        CRYPTO_memcmp(digest, ASN1_STRING_get0_data(signedDigest), digestLen) != 0)
        return failed(info, SignatureFailure::Verification, TRUST_E_BAD_DIGEST,
                      "file content does not match its signature");

    // The signer chains to a trust anchor and may sign code.
    StorePtr store = loadAnchors();
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!store || !ctx || !X509_STORE_CTX_init(ctx.get(), store.get(), signer, certs.get()))
        return failed(info, SignatureFailure::Verification, CERT_E_CHAINING,
                      "cannot set up chain verification");
    if (X509_verify_cert(ctx.get()) != 1) {
        int error = X509_STORE_CTX_get_error(ctx.get());
        ERR_clear_error();
        return failed(info, SignatureFailure::Verification, chainErrorCode(error),
                      std::string("certificate chain refused: ") + X509_verify_cert_error_string(error));
    }
    uint32_t flags = X509_get_extension_flags(signer);
    if (!(flags & EXFLAG_XKUSAGE) || !(X509_get_extended_key_usage(signer) & XKU_CODE_SIGN))
        return failed(info, SignatureFailure::Verification, CERT_E_WRONG_USAGE,
                      "signer certificate is not for code signing");
    if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(signer) & KU_DIGITAL_SIGNATURE))
        return failed(info, SignatureFailure::Verification, CERT_E_WRONG_USAGE,
                      "signer certificate may not make signatures");

    info.failure = SignatureFailure::None;
    info.code = ERROR_SUCCESS;
    return info;
}

// ---- writing ---------------------------------------------------------------------------

void appendLength(std::string& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<char>(length));
        return;
    }
    std::string bytes;
    while (length) {
        bytes.insert(bytes.begin(), static_cast<char>(length & 0xff));
        length >>= 8;
    }
    out.push_back(static_cast<char>(0x80 | bytes.size()));
    out += bytes;
}

std::string tlv(unsigned char tag, const std::string& body) {
    std::string out(1, static_cast<char>(tag));
    appendLength(out, body.size());
    return out + body;
}

std::string bmpString(const std::string& utf8) {
    std::string out;
    for (wchar_t c : utf8ToWide(utf8)) {
        auto unit = [&out](uint32_t u) {
            out.push_back(static_cast<char>(u >> 8));
            out.push_back(static_cast<char>(u & 0xff));
        };
        uint32_t v = static_cast<uint32_t>(c);
        if (v >= 0x10000) {
            v -= 0x10000;
            unit(0xD800 + (v >> 10));
            unit(0xDC00 + (v & 0x3ff));
        } else {
            unit(v);
        }
    }
    return out;
}

std::string encodeProgramInfo(const SigningOptions& o) {
    std::string body;
    if (!o.programName.empty())
        body += tlv(0xA0, tlv(0x80, bmpString(o.programName)));
    if (!o.moreInfoLink.empty())
        body += tlv(0xA1, tlv(0x80, o.moreInfoLink));
    if (!o.publisherLink.empty())
        body += tlv(0xA2, tlv(0x80, o.publisherLink));
    return tlv(0x30, body);
}

bool readWholeFile(const std::string& path, std::string& out, struct stat& st, std::string& error) {
    int fd = openForReading(path);
    if (fd < 0) {
        error = path + ": " + strerror(errno);
        return false;
    }
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        out.resize(static_cast<size_t>(st.st_size));
        ok = readAt(fd, out.data(), out.size(), 0);
    }
    close(fd);
    if (!ok)
        error = path + ": cannot read the file";
    return ok;
}

KeyPtr readKey(const std::string& path, std::string& error) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    KeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key)
        error = path + ": cannot read the private key " + opensslError();
    return key;
}

bool readCertificates(const std::string& path, STACK_OF(X509) * out, std::string& error) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    int count = 0;
    while (bio) {
        X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (!cert)
            break;
        sk_X509_push(out, cert);
        ++count;
    }
    ERR_clear_error();
    if (count == 0)
        error = path + ": no certificate found";
    return count > 0;
}

// A countersignature over the signer's signature value, carrying the signing time.
bool addTimestamp(CMS_SignerInfo* si, X509* cert, EVP_PKEY* key, std::string& error) {
    ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(si);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    SignerInfoPtr counter(PKCS7_SIGNER_INFO_new());
    bool ok = signature && counter &&
              EVP_Digest(ASN1_STRING_get0_data(signature), static_cast<size_t>(ASN1_STRING_length(signature)),
                         md, &mdLen, EVP_sha256(), nullptr) &&
              PKCS7_SIGNER_INFO_set(counter.get(), cert, key, EVP_sha256()) &&
              PKCS7_add1_attrib_digest(counter.get(), md, static_cast<int>(mdLen)) &&
              PKCS7_add0_attrib_signing_time(counter.get(), nullptr) &&
              PKCS7_SIGNER_INFO_sign(counter.get()) == 1;
    unsigned char* der = nullptr;
    int len = ok ? i2d_PKCS7_SIGNER_INFO(counter.get(), &der) : -1;
    ok = len > 0 && CMS_unsigned_add1_attr_by_NID(si, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, der, len);
    OPENSSL_free(der);
    if (!ok)
        error = "cannot add the countersignature " + opensslError();
    return ok;
}

}  // namespace

SignatureInfo verifySignatureOfDescriptor(int fd) {
    return verifyOpenFile(fd);
}

SignatureInfo verifySignatureOfFile(const std::string& path) {
    int fd = openForReading(path);
    if (fd < 0) {
        SignatureInfo info;
        info.failure = SignatureFailure::NotSigned;
        info.code = winErrorFromErrno(errno);
        info.detail = strerror(errno);
        return info;
    }
    SignatureInfo info = verifyOpenFile(fd);
    close(fd);
    return info;
}

std::string trustAnchorFolder() {
    {
        std::lock_guard<std::mutex> guard(g_anchorLock);
        if (!g_anchorFolder.empty())
            return g_anchorFolder;
    }
    // The tests' own anchors, honoured only under a data root of the tests.
    std::string forced = testOverride("KITBASE_TRUST_ANCHORS");
    if (!forced.empty())
        return forced;
    return executableFolder() + "/trust";
}

void setTrustAnchorFolder(const std::string& folder) {
    std::lock_guard<std::mutex> guard(g_anchorLock);
    g_anchorFolder = folder;
}

int openSealedCopy(const std::string& path, std::string& error) {
    int fd = openForReading(path);
    if (fd < 0) {
        int err = errno;
        error = path + ": " + strerror(err);
        setLastErrorFromErrno(err);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = path + ": not a regular file";
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    std::string base = path.substr(path.find_last_of('/') + 1);
    int copy = memfd_create(("verified:" + base).c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (copy < 0) {
        int err = errno;
        close(fd);
        error = std::string("memfd_create: ") + strerror(err);
        setLastErrorFromErrno(err);
        return -1;
    }
    std::vector<unsigned char> buffer(1024 * 1024);
    bool ok = true;
    int err = 0;
    for (;;) {
        ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = errno;
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (!writeAll(copy, buffer.data(), static_cast<size_t>(n))) {
            err = errno;
            ok = false;
            break;
        }
    }
    close(fd);
    if (ok && fcntl(copy, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        close(copy);
        error = path + ": " + strerror(err);
        setLastErrorFromErrno(err);
        return -1;
    }
    return copy;
}

bool signFile(const std::string& path, const SigningOptions& options, std::string& error) {
    struct stat st {};
    std::string content;
    if (!readWholeFile(path, content, st, error))
        return false;
    // A file that is signed already is signed anew: its old container is dropped.
    uint64_t blockOffset = 0, blockSize = 0;
    std::string ignored;
    int fd = openForReading(path);
    if (fd >= 0) {
        // Only a trailer in front of which a SignedData block parses is a signature;
        // any other file is covered whole, however its last bytes look.
        if (locateBlock(fd, content.size(), blockOffset, blockSize, ignored) == SignatureFailure::None) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(content.data()) + blockOffset;
            CmsPtr old(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(blockSize)));
            if (old &&
                p == reinterpret_cast<const unsigned char*>(content.data()) + blockOffset + blockSize &&
                OBJ_obj2nid(CMS_get0_type(old.get())) == NID_pkcs7_signed)
                content.resize(blockOffset);
            ERR_clear_error();
        }
        close(fd);
    }

    KeyPtr key = readKey(options.keyFile, error);
    if (!key)
        return false;
    X509StackPtr signerCerts(sk_X509_new_null());
    X509StackPtr chain(sk_X509_new_null());
    if (!signerCerts || !chain || !readCertificates(options.certificateFile, signerCerts.get(), error))
        return false;
    for (const auto& file : options.chainFiles)
        if (!readCertificates(file, chain.get(), error))
            return false;
    X509* cert = sk_X509_value(signerCerts.get(), 0);
    if (!X509_check_private_key(cert, key.get())) {
        error = "the key does not belong to the certificate";
        ERR_clear_error();
        return false;
    }

    const int flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
    BioPtr data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    CmsPtr cms(CMS_sign(nullptr, nullptr, chain.get(), nullptr, flags));
    CMS_SignerInfo* si = cms ? CMS_add1_signer(cms.get(), cert, key.get(), EVP_sha256(), flags) : nullptr;
    if (!data || !si) {
        error = "cannot prepare the signature " + opensslError();
        return false;
    }
    if (!options.programName.empty() || !options.moreInfoLink.empty() || !options.publisherLink.empty()) {
        std::string der = encodeProgramInfo(options);
        ObjPtr oid(OBJ_txt2obj(kProgramInfoOid, 1));
        if (!oid || !CMS_signed_add1_attr_by_OBJ(si, oid.get(), V_ASN1_SEQUENCE, der.data(),
                                                 static_cast<int>(der.size()))) {
            error = "cannot add the program information " + opensslError();
            return false;
        }
    }
    if (!CMS_final(cms.get(), data.get(), nullptr, flags)) {
        error = "cannot sign " + opensslError();
        return false;
    }
    if (options.timestamp && !addTimestamp(si, cert, key.get(), error))
        return false;
    unsigned char* der = nullptr;
    int derLen = i2d_CMS_ContentInfo(cms.get(), &der);
    if (derLen <= 0 || static_cast<size_t>(derLen) > kMaxSignatureBlock) {
        OPENSSL_free(der);
        error = "cannot encode the signature " + opensslError();
        return false;
    }
    std::string signedFile = content;
    signedFile.append(reinterpret_cast<char*>(der), static_cast<size_t>(derLen));
    OPENSSL_free(der);
    uint64_t length = static_cast<uint64_t>(derLen);
    for (int i = 0; i < 8; ++i)
        signedFile.push_back(static_cast<char>((length >> (8 * i)) & 0xff));
    signedFile.append(kSignatureMagic, sizeof kSignatureMagic);

    // Replace the file atomically: a temporary beside it, then rename.
    std::string temp = path + ".signing-XXXXXX";
    int out = mkstemp(temp.data());
    if (out < 0) {
        error = temp + ": " + strerror(errno);
        return false;
    }
    bool ok = writeAll(out, signedFile.data(), signedFile.size()) && fchmod(out, st.st_mode & 07777) == 0 &&
              fsync(out) == 0;
    int err = errno;
    ok = (close(out) == 0) && ok;
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        unlink(temp.c_str());
        error = path + ": cannot write the signed file: " + strerror(err);
    }
    return ok;
}

}  // namespace kitbase
