// signtool: signs files with the product's signature container and makes the
// development keys and certificates the build signs with.
//
//   signtool sign --key KEY.pem --cert CERT.pem [--chain CA.pem]... [--program-name TEXT]
//                 [--publisher-link URL] [--more-info-link URL] [--timestamp] FILE...
//   signtool verify [--anchors FOLDER] FILE...
//   signtool mkroot --name NAME --key KEY.pem --cert CERT.pem
//   signtool mkcert --name NAME --ca-key CAKEY.pem --ca-cert CA.pem --key KEY.pem --cert CERT.pem [--ca]
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "devpki.h"
#include "kitbase/platform/signature_container.h"

namespace {

int usage() {
    fprintf(stderr,
            "usage: signtool sign --key KEY --cert CERT [--chain CA]... [--program-name TEXT]\n"
            "                     [--publisher-link URL] [--more-info-link URL] [--timestamp] FILE...\n"
            "       signtool verify [--anchors FOLDER] FILE...\n"
            "       signtool mkroot --name NAME --key KEY --cert CERT\n"
            "       signtool mkcert --name NAME --ca-key KEY --ca-cert CERT --key KEY --cert CERT [--ca]\n");
    return 2;
}

struct Arguments {
    std::map<std::string, std::string> values;
    std::vector<std::string> chain;
    std::vector<std::string> files;
    bool timestamp = false;
    bool ca = false;
};

// Options take a value, but for the two flags; everything else is a file.
bool parse(int argc, char** argv, Arguments& out) {
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--timestamp") {
            out.timestamp = true;
        } else if (a == "--ca") {
            out.ca = true;
        } else if (a.rfind("--", 0) == 0) {
            if (i + 1 >= argc)
                return false;
            if (a == "--chain")
                out.chain.push_back(argv[++i]);
            else
                out.values[a] = argv[++i];
        } else {
            out.files.push_back(a);
        }
    }
    return true;
}

std::string value(const Arguments& a, const char* key) {
    auto it = a.values.find(key);
    return it == a.values.end() ? std::string() : it->second;
}

int sign(const Arguments& a) {
    kitbase::SigningOptions options;
    options.keyFile = value(a, "--key");
    options.certificateFile = value(a, "--cert");
    options.chainFiles = a.chain;
    options.programName = value(a, "--program-name");
    options.publisherLink = value(a, "--publisher-link");
    options.moreInfoLink = value(a, "--more-info-link");
    options.timestamp = a.timestamp;
    if (options.keyFile.empty() || options.certificateFile.empty() || a.files.empty())
        return usage();
    for (const auto& file : a.files) {
        std::string error;
        if (!kitbase::signFile(file, options, error)) {
            fprintf(stderr, "signtool: %s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}

int verify(const Arguments& a) {
    if (a.files.empty())
        return usage();
    if (!value(a, "--anchors").empty())
        kitbase::setTrustAnchorFolder(value(a, "--anchors"));
    int rc = 0;
    for (const auto& file : a.files) {
        kitbase::SignatureInfo info = kitbase::verifySignatureOfFile(file);
        if (info.failure == kitbase::SignatureFailure::None) {
            printf("%s: signed by \"%s\"\n", file.c_str(), info.subjectName.c_str());
        } else {
            printf("%s: refused (0x%08x): %s\n", file.c_str(), info.code, info.detail.c_str());
            rc = 1;
        }
    }
    return rc;
}

int makeCertificate(const Arguments& a, bool root) {
    std::string name = value(a, "--name"), key = value(a, "--key"), cert = value(a, "--cert");
    if (name.empty() || key.empty() || cert.empty())
        return usage();
    devpki::CertificateOptions options;
    options.certificateAuthority = root || a.ca;
    std::string error;
    bool ok = root ? devpki::makeSelfSigned(name, key, cert, options, error)
                   : devpki::makeIssued(name, value(a, "--ca-key"), value(a, "--ca-cert"), key, cert, options,
                                        error);
    if (!ok) {
        fprintf(stderr, "signtool: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    Arguments a;
    if (!parse(argc, argv, a))
        return usage();
    std::string command = argv[1];
    if (command == "sign")
        return sign(a);
    if (command == "verify")
        return verify(a);
    if (command == "mkroot")
        return makeCertificate(a, true);
    if (command == "mkcert")
        return makeCertificate(a, false);
    return usage();
}
