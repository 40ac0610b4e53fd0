#include "kitbase/services/quarantine_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "kitbase/core/folders.h"
#include "kitbase/core/md5.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/pending_renames.h"
#include "kitbase/platform/winerror.h"
#include "kitbase/services/quarantine_file.h"

namespace {

constexpr int kDeleteTries = 10;
std::atomic<uint32_t> deleteRetryDelay{500};

std::wstring errnoText(int err) {
    char buffer[256];
    return S2WS(strerror_r(err, buffer, sizeof(buffer)));
}

std::wstring winErrorText(DWORD code) {
    std::wstring text;
    if (!winErrorMessage(code, text))
        return L"Unknown error";
    ttrim_all(text);
    return text;
}

// Closes the scrambled copy's files after a failure and removes a partly written
// destination (only a regular file: a device stays).
void abandonCopy(FILE* in, FILE* out, const std::string& destination) {
    fclose(in);
    if (out)
        fclose(out);
    struct stat status {};
    if (lstat(destination.c_str(), &status) == 0 && S_ISREG(status.st_mode))
        unlink(destination.c_str());
}

// The folder of a path, resolved, so that two spellings of one folder compare equal.
std::string resolvedFolder(const std::wstring& path) {
    std::wstring folder = getPath(path);
    if (folder.empty())
        folder = L".";
    char buffer[PATH_MAX];
    if (!realpath(WS2S(folder).c_str(), buffer))
        return std::string();
    return buffer;
}

// An index names the scrambled copy beside it: its first line is the index's own path
// without ".dat", in the same folder, and the file found there is neither the index
// nor the copy. A crafted index therefore cannot make the store delete or write any
// other file of the quarantine or elsewhere.
bool namesOwnCopy(const std::wstring& datPath, const QuaFile& record) {
    const std::wstring datName = getFilename(datPath);
    const std::wstring copyName = getFilename(record.dstfile);
    bool ok = datName.size() > 4 && datName.compare(datName.size() - 4, 4, L".dat") == 0 &&
              copyName != L"." && copyName != L".." && copyName + L".dat" == datName;
    if (ok) {
        const std::string folder = resolvedFolder(datPath);
        ok = !folder.empty() && folder == resolvedFolder(record.dstfile);
    }
    if (ok && !record.srcfile.empty()) {
        struct stat src {
        }, copy{}, dat{};
        if (stat(WS2S(record.srcfile).c_str(), &src) == 0) {
            const bool isCopy = stat(WS2S(record.dstfile).c_str(), &copy) == 0 && src.st_dev == copy.st_dev &&
                                src.st_ino == copy.st_ino;
            const bool isDat = stat(WS2S(datPath).c_str(), &dat) == 0 && src.st_dev == dat.st_dev &&
                               src.st_ino == dat.st_ino;
            ok = !isCopy && !isDat;
        }
    }
    if (!ok)
        __trace__.error(L"The quarantine index %ls does not name its own quarantined file '%ls'", datPath,
                        record.dstfile);
    return ok;
}

}  // namespace

bool SecureCopyFile(const std::wstring& source, const std::wstring& destination) {
    const std::string src = WS2S(source);
    const std::string dst = WS2S(destination);
    // Only a regular file is copied: opening a FIFO or a device for reading could block
    // for ever.
    FILE* in = nullptr;
    const int fd = open(src.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        struct stat status {};
        if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && fcntl(fd, F_SETFL, 0) == 0)
            in = fdopen(fd, "rb");
        else
            errno = EINVAL;
        if (!in) {
            const int err = errno;
            close(fd);
            errno = err;
        }
    }
    if (!in) {
        const int err = errno;
        __trace__.error(L"Cannot secure copy file: Cannot open source file %ls. Code:%d:%ls", source, err,
                        errnoText(err));
        return false;
    }
    // Writing a file onto itself would empty it before it is read.
    struct stat inStatus {
    }, outStatus{};
    if (fstat(fileno(in), &inStatus) == 0 && stat(dst.c_str(), &outStatus) == 0 &&
        inStatus.st_dev == outStatus.st_dev && inStatus.st_ino == outStatus.st_ino) {
        fclose(in);
        __trace__.error(L"Cannot secure copy file: Cannot create destination file %ls. Code:%d:%ls",
                        destination, EINVAL, L"Source and destination are the same file");
        return false;
    }
    FILE* out = fopen(dst.c_str(), "wbe");
    if (!out) {
        const int err = errno;
        fclose(in);
        __trace__.error(L"Cannot secure copy file: Cannot create destination file %ls. Code:%d:%ls",
                        destination, err, errnoText(err));
        return false;
    }

    // Every 16-bit little-endian unit is XORed with the key: the byte at each even
    // offset changes, a final odd byte included. The buffer's size is even, so offsets
    // within it keep the parity they have in the file.
    std::vector<unsigned char> buffer(64 * 1024);
    const auto key = static_cast<unsigned char>(QUARANTINE_SCRAMBLE_KEY & 0xFF);
    for (;;) {
        const size_t n = fread(buffer.data(), 1, buffer.size(), in);
        if (n < buffer.size() && ferror(in)) {
            const int err = errno;
            abandonCopy(in, out, dst);
            __trace__.error(L"Cannot secure copy file: Cannot read source file %ls. Code:%d:%ls", source, err,
                            errnoText(err));
            return false;
        }
        for (size_t i = 0; i < n; i += 2)
            buffer[i] ^= key;
        if (n > 0 && fwrite(buffer.data(), 1, n, out) != n) {
            const int err = errno;
            abandonCopy(in, out, dst);
            __trace__.error(L"Cannot secure copy file: Cannot write destination file %ls. Code:%d:%ls",
                            destination, err, errnoText(err));
            return false;
        }
        if (n < buffer.size())
            break;
    }
    fclose(in);
    if (fclose(out) != 0) {
        const int err = errno;
        struct stat status {};
        if (lstat(dst.c_str(), &status) == 0 && S_ISREG(status.st_mode))
            unlink(dst.c_str());
        __trace__.error(L"Cannot secure copy file: Cannot write destination file %ls. Code:%d:%ls",
                        destination, err, errnoText(err));
        return false;
    }
    return true;
}

uint32_t setSmartDeleteRetryDelay(uint32_t milliseconds) {
    return deleteRetryDelay.exchange(milliseconds);
}

uint32_t SmartDeleteFile(const std::wstring& path) {
    const std::string narrow = WS2S(path);
    uint32_t failures = 0;
    for (int attempt = 1; attempt <= kDeleteTries; ++attempt) {
        __trace__.debug(L"SmartDeleting file %ls", path);
        if (unlink(narrow.c_str()) == 0)
            return 0;
        const DWORD code = winErrorFromErrno(errno);
        if (code == ERROR_FILE_NOT_FOUND) {
            __trace__.debug(L"SmartDeleteFile: Cannot delete file '%ls'. Code:%x - Reason: '%ls'", path, code,
                            winErrorText(code));
            return 1;
        }
        if (code == ERROR_ACCESS_DENIED) {
            // Stands for clearing a read-only attribute: the owner may write again.
            struct stat status {};
            if (lstat(narrow.c_str(), &status) != 0 ||
                (!S_ISLNK(status.st_mode) && (status.st_mode & S_IWUSR) == 0 &&
                 chmod(narrow.c_str(), (status.st_mode & 07777) | S_IWUSR) != 0))
                __trace__.debug(L"Cannot set the file attributes of %ls to NORMAL", path);
        } else {
            __trace__.warning(L"SmartDeleteFile-%d: Cannot delete file '%ls'. Code:%x - Reason: '%ls'",
                              attempt, path, code, winErrorText(code));
        }
        // A file still there after every try is a failure, whatever the reason.
        ++failures;
        if (attempt < kDeleteTries)
            std::this_thread::sleep_for(std::chrono::milliseconds(deleteRetryDelay.load()));
    }
    return failures;
}

uint32_t SmartMoveFile(const std::wstring& source, const std::wstring& destination) {
    __trace__.debug(L"SmartMoving file %ls to %ls", source, destination);
    const DWORD code = kitbase::addPendingRename(source, destination);
    if (code == 0) {
        __trace__.info(L"Successfully set to rename file '%ls' to '%ls' on next reboot", source, destination);
        return 0;
    }
    __trace__.error(L"Cannot set to move file '%ls' on next reboot. Reason: '%ls'. File is left where it is.",
                    source, winErrorText(code));
    return code;
}

uint32_t restoreQuaFile(const std::wstring& datPath) {
    QuaFile record;
    if (readQuaFile(datPath, record) != 0 || !namesOwnCopy(datPath, record)) {
        __trace__.error(L"Cannot read the quarantined file %ls", datPath);
        return 1;
    }
    __trace__.debug(L"File information: %ls", record.toString(false));
    __trace__.debug(L"Restoring file %ls to %ls", record.dstfile, record.srcfile);
    if (!SecureCopyFile(record.dstfile, record.srcfile)) {
        // The entry stays whole: it can be listed, restored or deleted later.
        __trace__.error(L"Restore from Quarantine: File not restored to: %ls.", record.srcfile);
        return 1;
    }
    __trace__.debug(L"File successfully restored to: %ls", record.srcfile);
    __trace__.debug(L"\tDeleting the dstfile %ls", record.dstfile);
    if (SmartDeleteFile(record.dstfile) != 0)
        return 2;
    __trace__.debug(L"\tDeleting the dat file %ls", datPath);
    return SmartDeleteFile(datPath) == 0 ? 0 : 3;
}

uint32_t deleteQuaFile(const std::wstring& datPath) {
    __trace__.debug(L"Deleting quarantine entry %ls", datPath);
    QuaFile record;
    if (readQuaFile(datPath, record) != 0 || !namesOwnCopy(datPath, record)) {
        __trace__.error(L"Cannot read the quarantine file %ls", datPath);
        return 1;
    }
    __trace__.debug(L"File information: %ls", record.toString(false));
    if (SmartDeleteFile(record.dstfile) != 0)
        __trace__.warning(L"Could not delete %ls.", record.dstfile);
    if (SmartDeleteFile(datPath) != 0) {
        __trace__.error(L"Could not delete %ls", datPath);
        return 3;
    }
    __trace__.debug(L"Successfully deleted the quarantine entry %ls", datPath);
    return 0;
}

uint32_t moveToQuaFake(const std::wstring& path) {
    const std::wstring& folder = getQuarantineFolder();
    const std::wstring hash = MD5FileW(path);
    const std::wstring dstfile = hash.empty() ? std::wstring() : createPath(folder, hash);
    QuaFile record(folder, path, dstfile, hash, L"Fake Malware", L"This is a fake malware", EngineInfos(),
                   false);
    if (record.writeResult != 0)
        return 1;
    if (!SecureCopyFile(path, record.dstfile)) {
        // No entry without its copy.
        unlink(WS2S(record.dstfile + L".dat").c_str());
        return 1;
    }
    __trace__.debug(L"Move to Quarantine: File '%ls' was copied into quarantine as file '%ls'", path,
                    record.dstfile);
    if (SmartDeleteFile(path) != 0)
        return 1;
    __trace__.debug(L"Successfully moved file %ls into Quarantine %ls", path, record.dstfile);
    return 0;
}
