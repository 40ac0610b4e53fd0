#include "kitbase/core/authenticode.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <new>

#include "kitbase/core/trace.h"
#include "kitbase/platform/format.h"
#include "kitbase/platform/signature_container.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

// Grants the check access to VerifiedFile's descriptor.
struct VerifiedFileAccess {
    static void adopt(VerifiedFile& file, int fd, const std::wstring& path) {
        file.close();
        file.fd_ = fd;
        file.source_ = path;
    }
};

namespace {

const wchar_t* const kMakerNames[] = {L"KORVANEX GmbH", L"Halvren Security Group GmbH"};
const wchar_t* const kVendorNames[] = {L"Quorvane Operations GmbH & Co. KG"};

void printOut(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
}

std::string hexBytes(const std::vector<unsigned char>& bytes) {
    std::string out;
    for (unsigned char b : bytes)
        out += kitbase::nformat("%02x ", b);
    return out;
}

bool pathExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Checks the signature of the file (read from `fd` when it is not -1, else opened by
// path) and compares the signer's name with `expected`.
bool checkSignerName(const std::wstring& path, const std::wstring& expected, int fd) {
    if (path.empty())
        return false;
    std::string narrow = kitbase::wideToUtf8(path);
    if (fd < 0 && !pathExists(narrow)) {
        __trace__.debug(L"\nFile '%ls' does not exist or can't be accessed", path);
        return false;
    }

    kitbase::SignatureInfo info;
    try {
        info = fd >= 0 ? kitbase::verifySignatureOfDescriptor(fd) : kitbase::verifySignatureOfFile(narrow);
    } catch (const std::bad_alloc&) {
        __trace__.debug(L"\nUnable to allocate memory for Signer Info.");
        return false;
    }
    switch (info.failure) {
        case kitbase::SignatureFailure::None:
            break;
        case kitbase::SignatureFailure::NoSignerInfo:
            __trace__.debug(L"\nCryptMsgGetParam failed with %x", info.code);
            return false;
        case kitbase::SignatureFailure::SignerCertificate:
            __trace__.debug(L"\nCertFindCertificateInStore failed with %x", info.code);
            return false;
        default:
            // Unsigned, damaged, or a signature that does not verify, does not cover the
            // file's bytes or does not chain to the trust anchors.
            __trace__.debug(L"\n\t|File '%ls' is not signed! Error %x: '%ls'", path, info.code,
                            tgetErrorString(info.code));
            return false;
    }

    if (info.hasProgramInfo) {
        if (info.programInfoError) {
            __trace__.debug(L"CryptDecodeObject failed with %x\n", ERROR_INVALID_DATA);
        } else {
            if (info.hasProgramName)
                __trace__.debug(L"\nProgram Name : %s", info.programName);
            if (info.hasPublisherLink)
                __trace__.debug(L"\nPublisher Link : %s", info.publisherLink);
            if (info.hasMoreInfoLink)
                __trace__.debug(L"\nMoreInfo Link : %s", info.moreInfoLink);
        }
    }

    __trace__.debug(L"\nSigner Certificate:");
    __trace__.debug(L"\nSerial Number: \n%s", hexBytes(info.serial));
    if (info.issuerName.empty()) {
        __trace__.debug(L"\nCertGetNameString failed.");
        return false;
    }
    __trace__.debug(L"\nIssuer Name: %s", info.issuerName);
    if (info.subjectName.empty()) {
        __trace__.debug(L"\nCertGetNameString failed.");
        return false;
    }
    printOut(kitbase::nformat("\nSigner Name: %s\n", info.subjectName));

    std::wstring signer = kitbase::utf8ToWide(info.subjectName);
    bool matching = signer.size() == expected.size() && signer == expected;
    if (matching)
        printOut(kitbase::nformat("\nSigner is matching: %ls", expected));
    else
        printOut(kitbase::nformat("\nSigner is NOT matching: %ls", expected));
    fflush(stdout);

    if (info.hasTimestamp) {
        struct tm local {};
        if (info.timestampError || !localtime_r(&info.timestamp, &local)) {
            __trace__.debug(L"CryptDecodeObject failed with %x\n", ERROR_INVALID_DATA);
        } else {
            __trace__.debug(L"\nTimeStamp Certificate:\n");
            __trace__.debug(L"\nDate of TimeStamp : %02d/%02d/%04d %02d:%02d", local.tm_mon + 1,
                            local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min);
        }
    }
    return matching;
}

template <size_t N>
bool checkNames(const std::wstring& path, const wchar_t* const (&names)[N], int fd) {
    for (const wchar_t* name : names)
        if (checkSignerName(path, name, fd))
            return true;
    return false;
}

// Reads the file once into a sealed private copy and checks that copy.
template <size_t N>
bool checkCopy(const std::wstring& path, const wchar_t* const (&names)[N], VerifiedFile& file) {
    file.close();
    if (path.empty())
        return false;
    std::string error;
    int fd = kitbase::openSealedCopy(kitbase::wideToUtf8(path), error);
    if (fd < 0) {
        __trace__.debug(L"\nFile '%ls' does not exist or can't be accessed", path);
        return false;
    }
    if (!checkNames(path, names, fd)) {
        ::close(fd);
        return false;
    }
    VerifiedFileAccess::adopt(file, fd, path);
    return true;
}

}  // namespace

VerifiedFile::~VerifiedFile() {
    close();
}

VerifiedFile::VerifiedFile(VerifiedFile&& other) noexcept
    : fd_(other.fd_), source_(std::move(other.source_)) {
    other.fd_ = -1;
}

VerifiedFile& VerifiedFile::operator=(VerifiedFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        source_ = std::move(other.source_);
        other.fd_ = -1;
    }
    return *this;
}

std::string VerifiedFile::path() const {
    if (fd_ < 0)
        return {};
    return kitbase::nformat("/proc/self/fd/%d", fd_);
}

void VerifiedFile::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    source_.clear();
}

bool VerifyCertificate(const std::wstring& path) {
    return checkNames(path, kMakerNames, -1);
}

bool VerifyQuorvaneCertificate(const std::wstring& path) {
    return checkNames(path, kVendorNames, -1);
}

bool VerifyCertificate(const std::wstring& path, VerifiedFile& file) {
    return checkCopy(path, kMakerNames, file);
}

bool VerifyQuorvaneCertificate(const std::wstring& path, VerifiedFile& file) {
    return checkCopy(path, kVendorNames, file);
}
