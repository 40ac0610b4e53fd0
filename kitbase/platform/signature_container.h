#pragma once
// Code signatures of files. A signed file is its own content (the covered bytes)
// followed by a DER-encoded PKCS #7 / CMS SignedData block and a fixed trailer:
//
//   [covered bytes][SignedData, N bytes][N as 8-byte little-endian][magic "KBSIGNv1"]
//
// The SignedData is detached (it carries no content of its own); its one signer signs
// a set of signed attributes whose message digest is the digest of the covered bytes.
// Checking a file verifies the signature over the signed attributes, that the
// message digest equals the digest of the covered bytes actually read, and that the
// signer's certificate chains to one of the product's trust anchors and may be used
// for code signing. Only a file that passes all of this reports its signer.
//
// Trust anchors are the certificate files (PEM or DER; ".pem", ".crt", ".cer", ".der")
// in the folder "trust" beside the running program. The environment variable
// KITBASE_TRUST_ANCHORS or setTrustAnchorFolder() point the check at another folder.
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

namespace kitbase {

// The last 8 bytes of a signed file.
inline constexpr char kSignatureMagic[8] = {'K', 'B', 'S', 'I', 'G', 'N', 'v', '1'};
// Length field plus magic.
inline constexpr size_t kSignatureTrailerSize = 16;
// Largest SignedData block accepted (certificates included).
inline constexpr size_t kMaxSignatureBlock = 1024 * 1024;

// Which step of the check failed.
enum class SignatureFailure {
    None,               // the signature verified; the signer fields are valid
    NotSigned,          // no trailer, or the file cannot be read as a regular file
    Malformed,          // trailer or SignedData block damaged
    NoSignerInfo,       // the SignedData names no signer
    SignerCertificate,  // the signer's certificate is not in the block
    Verification,       // signature, digest, chain or code-signing use refused
};

// What a check found out about a file's signature.
struct SignatureInfo {
    SignatureFailure failure = SignatureFailure::NotSigned;
    DWORD code = 0;      // Windows-style error code of the failure (TRUST_E_*, CERT_E_*, ...)
    std::string detail;  // what went wrong, in words (for logs)

    // The signer's certificate: simple display names (the first of common name,
    // organizational unit, organization, e-mail address of the subject/issuer, UTF-8;
    // empty when the name has none or holds a NUL) and the serial number's bytes,
    // most significant first.
    std::string subjectName;
    std::string issuerName;
    std::vector<unsigned char> serial;

    // Program information (signed attribute 1.3.6.1.4.1.311.2.1.12), when present.
    bool hasProgramInfo = false;
    bool programInfoError = false;  // present but not decodable
    bool hasProgramName = false, hasPublisherLink = false, hasMoreInfoLink = false;
    std::string programName, publisherLink, moreInfoLink;

    // Countersignature (unsigned attribute 1.2.840.113549.1.9.6) and its signing time.
    bool hasTimestamp = false;
    bool timestampError = false;  // present but not decodable or without a signing time
    time_t timestamp = 0;

    // Where the covered bytes end (the start of the SignedData block).
    uint64_t coveredSize = 0;
};

// Checks the signature of the file open on `fd` (read with pread; the offset is not
// used). The descriptor must refer to a regular file that does not change while it
// is read.
KITBASE_API SignatureInfo verifySignatureOfDescriptor(int fd);
// Opens the file (without following it into a FIFO or a device) and checks it.
KITBASE_API SignatureInfo verifySignatureOfFile(const std::string& path);

// The folder the trust anchors are read from (see above).
KITBASE_API std::string trustAnchorFolder();
// Overrides the trust-anchor folder for this process; empty restores the default.
KITBASE_API void setTrustAnchorFolder(const std::string& folder);

// Copies the regular file at `path` into a private, sealed in-memory file (memfd:
// no one can change its bytes any more) and returns its descriptor
// (close-on-exec), or -1 with `error` set (errno-based text) and the last error set.
KITBASE_API int openSealedCopy(const std::string& path, std::string& error);

// Options of signFile.
struct SigningOptions {
    std::string keyFile;                  // PEM private key of the signer
    std::string certificateFile;          // PEM certificate of the signer
    std::vector<std::string> chainFiles;  // PEM certificates carried along (intermediates)
    std::string programName;              // optional program information
    std::string publisherLink;
    std::string moreInfoLink;
    bool timestamp = false;  // add a countersignature with the signing time (made with the signer's key)
};

// Signs the file in place: an existing signature is removed, the rest is signed with
// SHA-256 and the container is appended. The file is replaced atomically (same folder,
// same mode). False with `error` set on failure; the file is then unchanged.
KITBASE_API bool signFile(const std::string& path, const SigningOptions& options, std::string& error);

}  // namespace kitbase
