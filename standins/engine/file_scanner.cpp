#include "file_scanner.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "engine.h"
#include "text.h"
#include "zip_reader.h"

namespace qv {

namespace {

constexpr size_t kBlock = 128 * 1024;

// Feeds blocks of a stream to the matcher, keeping the bytes a pattern could still
// need in front of the next block, so every position is tested exactly once.
class StreamMatch {
public:
    StreamMatch(const PatternMatcher& matcher, std::vector<uint8_t>& buffer)
        : matcher_(matcher), buffer_(buffer), keepMax_(matcher.maxLength() ? matcher.maxLength() - 1 : 0) {
        if (buffer_.size() < kBlock + keepMax_)
            buffer_.resize(kBlock + keepMax_);
    }
    uint8_t* space() { return buffer_.data() + keep_; }
    size_t room() const { return kBlock; }
    // `n` bytes were placed at space(); the id of a match, or -1.
    int64_t commit(size_t n, bool eof) {
        size_t length = keep_ + n;
        size_t limit = eof ? length : (length > keepMax_ ? length - keepMax_ : 0);
        int64_t id = matcher_.find(buffer_.data(), length, limit);
        if (id >= 0)
            return id;
        keep_ = length - limit;
        if (keep_ > 0 && limit > 0)
            std::memmove(buffer_.data(), buffer_.data() + limit, keep_);
        return -1;
    }
    int64_t feed(const uint8_t* data, size_t n) {
        while (n > 0) {
            size_t chunk = std::min(n, room());
            std::memcpy(space(), data, chunk);
            int64_t id = commit(chunk, false);
            if (id >= 0)
                return id;
            data += chunk;
            n -= chunk;
        }
        return -1;
    }
    int64_t finish() { return commit(0, true); }

private:
    const PatternMatcher& matcher_;
    std::vector<uint8_t>& buffer_;
    size_t keepMax_;
    size_t keep_ = 0;
};

struct Sha256 {
    Sha256() : ctx(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr); }
    ~Sha256() { EVP_MD_CTX_free(ctx); }
    void update(const uint8_t* p, size_t n) { EVP_DigestUpdate(ctx, p, n); }
    std::array<uint8_t, 32> final() {
        std::array<uint8_t, 32> out{};
        unsigned int n = 0;
        EVP_DigestFinal_ex(ctx, out.data(), &n);
        return out;
    }
    EVP_MD_CTX* ctx;
};

struct FileCloser {
    int fd = -1;
    ~FileCloser() {
        if (fd >= 0)
            close(fd);
    }
};

void reportError(qvapi_instance* in, const std::wstring& file, const std::wstring& root, uint32_t level,
                 int32_t kind, int32_t code) {
    QVAPI_ERROR_DATA data{file.c_str(), root.c_str(), level, 0, kind, code};
    fireCallback(in, QVAPI_CALLBACK_REPORT_ERROR, &data);
}

void reportStatus(qvapi_instance* in, const std::wstring& file, const std::wstring& root, uint32_t level,
                  int32_t answer, const Signature* sig) {
    QVAPI_FILE_STATUS_DATA data{};
    data.status = sig ? 1 : 0;
    data.scan_answer = answer;
    data.filename = file.c_str();
    data.root_filename = root.c_str();
    data.archive_level = level;
    if (sig) {
        data.malware_name = sig->name.c_str();
        data.malware_type = sig->type.c_str();
        data.removable = 1;
    }
    fireCallback(in, QVAPI_CALLBACK_REPORT_FILE_STATUS, &data);
}

bool extensionListed(const std::string& path, const GlobalOptions& options) {
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    std::string ext = lowerAscii(path.substr(dot));
    return std::find(options.extensions.begin(), options.extensions.end(), ext) != options.extensions.end();
}

bool isProgram(const uint8_t* head, size_t n) {
    return (n >= 2 && head[0] == 'M' && head[1] == 'Z') ||
           (n >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F');
}

// The local stand-in of the protection cloud: it walks the steps with the caller's
// filter but never sends anything anywhere, so the cloud never has an answer.
void cloudCheck(qvapi_instance* in, const std::wstring& path) {
    for (uint32_t stage : {QVAPI_APC_STAGE_START, QVAPI_APC_STAGE_PRE_HASH, QVAPI_APC_STAGE_PRE_UPLOAD,
                           QVAPI_APC_STAGE_DONE}) {
        QVAPI_APC_SCAN_DATA data{path.c_str(), nullptr, 0, stage};
        if (fireCallback(in, QVAPI_CALLBACK_APC_SCAN, &data) == QVAPI_APC_STOP &&
            stage != QVAPI_APC_STAGE_DONE)
            break;
    }
}

}  // namespace

Deadline deadlineIn(uint32_t seconds) {
    if (seconds == 0)
        return Deadline::max();
    return std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

ScanOutcome scanFile(Engine& engine, qvapi_instance* in, const std::wstring& path, int givenFd,
                     Deadline deadline, const struct stat* known) {
    ScanOutcome outcome;
    auto db = engine.db();
    if (!db) {
        outcome.result = QVAPI_E_NOT_INITIALIZED;
        return outcome;
    }
    if (path.empty() || path[0] != L'/') {
        reportError(in, path, path, 0, QVAPI_REPORT_ERROR, QVAPI_E_NOT_ABSOLUTE);
        outcome.result = QVAPI_E_NOT_ABSOLUTE;
        return outcome;
    }

    QVAPI_PRESCAN_DATA pre{0, path.c_str(), path.c_str(), 0};
    if (fireCallback(in, QVAPI_CALLBACK_PRESCAN, &pre) == QVAPI_CALLBACK_SKIP) {
        outcome.result = QVAPI_E_ABORTED;
        return outcome;
    }
    std::string narrow = toUtf8(path);
    if (in->scanMode.load() == kScanExtensionList && !extensionListed(narrow, *engine.globals()))
        return outcome;  // not a file of the listed kinds: not scanned

    FileCloser own;
    int fd = givenFd;
    if (fd < 0) {
        own.fd = open(narrow.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        fd = own.fd;
    }
    struct stat st {};
    if (known && fd == givenFd)
        st = *known;
    if (fd < 0 || ((!known || fd != givenFd) && fstat(fd, &st) != 0) || !S_ISREG(st.st_mode)) {
        reportError(in, path, path, 0, QVAPI_REPORT_ERROR, QVAPI_E_OPEN);
        outcome.result = QVAPI_E_OPEN;
        return outcome;
    }
    const bool wantArchives = in->archiveScan.load();
    const auto key = VerdictCache::Key::of(st);
    if (engine.cache().isClean(key, db->generation(), wantArchives)) {
        reportStatus(in, path, path, 0, QVAPI_SCAN_ANSWER_DONE, nullptr);
        outcome.clean = true;
        return outcome;
    }

    static thread_local std::vector<uint8_t> buffer;
    StreamMatch match(db->matcher(), buffer);
    std::unique_ptr<Sha256> sha;
    if (db->hasDigestsOfSize(static_cast<uint64_t>(st.st_size)))
        sha = std::make_unique<Sha256>();
    uint8_t head[4] = {0, 0, 0, 0};
    size_t headLength = 0;
    uint64_t offset = 0;
    int64_t found = -1;
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            reportError(in, path, path, 0, QVAPI_REPORT_ERROR, QVAPI_E_TIMEOUT);
            outcome.result = QVAPI_E_TIMEOUT;
            return outcome;
        }
        ssize_t n = pread(fd, match.space(), match.room(), static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            reportError(in, path, path, 0, QVAPI_REPORT_ERROR, QVAPI_E_READ);
            outcome.result = QVAPI_E_READ;
            return outcome;
        }
        if (headLength < sizeof head && n > 0) {
            size_t c = std::min(sizeof head - headLength, static_cast<size_t>(n));
            std::memcpy(head + headLength, match.space(), c);
            headLength += c;
        }
        if (sha && n > 0)
            sha->update(match.space(), static_cast<size_t>(n));
        offset += static_cast<uint64_t>(n);
        found = match.commit(static_cast<size_t>(n), n == 0);
        if (found >= 0 || n == 0)
            break;
    }
    if (found < 0 && sha && offset == static_cast<uint64_t>(st.st_size))
        found = db->findDigest(offset, sha->final());

    bool archivesDone = true;
    if (found >= 0) {
        const Signature& sig = db->signatures()[static_cast<size_t>(found)];
        reportStatus(in, path, path, 0, sig.answer, &sig);
        outcome.detected = true;
    } else if (looksLikeZip(head, headLength)) {
        archivesDone = false;
        std::vector<ZipMember> members;
        bool overlapping = false;
        bool readable = wantArchives && readZipDirectory(fd, offset, members, overlapping);
        if (readable && overlapping) {
            // Members that share data unpack one small file over and over: the archive
            // is reported, and none of it is unpacked.
            static const Signature overlappingMembers{L"Archive.OverlappingMembers", L"bomb",
                                                      QVAPI_SCAN_ANSWER_SUSPICIOUS};
            reportStatus(in, path, path, 0, overlappingMembers.answer, &overlappingMembers);
            outcome.detected = true;
        } else if (readable) {
            QVAPI_ARCHIVE_OPEN_DATA open{0, path.c_str(), QVAPI_ARCHIVE_ZIP, 1};
            if (fireCallback(in, QVAPI_CALLBACK_ARCHIVE_OPEN, &open) != QVAPI_CALLBACK_SKIP) {
                archivesDone = true;
                static thread_local std::vector<uint8_t> memberBuffer;
                uint32_t maxCount = in->archiveMaxCount.load();
                uint32_t count = 0;
                uint64_t unpackedLimit = offset * kMaxUnpackRatio, unpacked = 0;
                for (const auto& member : members) {
                    if (maxCount != 0 && ++count > maxCount) {
                        reportError(in, path, path, 1, QVAPI_REPORT_ERROR, 30);
                        archivesDone = false;
                        break;
                    }
                    std::wstring inner = path + L"/" + fromUtf8(member.name);
                    QVAPI_PRESCAN_DATA memberPre{0, inner.c_str(), path.c_str(), 1};
                    if (fireCallback(in, QVAPI_CALLBACK_PRESCAN, &memberPre) == QVAPI_CALLBACK_SKIP) {
                        archivesDone = false;
                        continue;
                    }
                    StreamMatch memberMatch(db->matcher(), memberBuffer);
                    int64_t hit = -1;
                    std::unique_ptr<Sha256> memberSha;
                    if (db->hasDigestsOfSize(member.size))
                        memberSha = std::make_unique<Sha256>();
                    uint64_t produced = 0;
                    bool timedOut = false;
                    int32_t r =
                        readZipMember(fd, member, in->archiveMaxSize.load(), [&](const uint8_t* p, size_t n) {
                            if (std::chrono::steady_clock::now() > deadline) {
                                timedOut = true;
                                return false;
                            }
                            if (memberSha)
                                memberSha->update(p, n);
                            produced += n;
                            unpacked += n;
                            if (unpacked > unpackedLimit)
                                return false;
                            hit = memberMatch.feed(p, n);
                            return hit < 0;
                        });
                    if (timedOut) {
                        reportError(in, path, path, 0, QVAPI_REPORT_ERROR, QVAPI_E_TIMEOUT);
                        outcome.result = QVAPI_E_TIMEOUT;
                        return outcome;
                    }
                    if (unpacked > unpackedLimit) {
                        // More than any honest archive of this size can hold.
                        reportError(in, path, path, 1, QVAPI_REPORT_ERROR, 23);
                        archivesDone = false;
                        break;
                    }
                    if (hit < 0 && r == 0)
                        hit = memberMatch.finish();
                    if (hit < 0 && r == 0 && memberSha && produced == member.size)
                        hit = db->findDigest(produced, memberSha->final());
                    if (hit >= 0) {
                        const Signature& sig = db->signatures()[static_cast<size_t>(hit)];
                        reportStatus(in, inner, path, 1, sig.answer, &sig);
                        outcome.detected = true;
                        break;
                    }
                    if (r != 0) {
                        reportError(in, inner, path, 1, QVAPI_REPORT_ERROR, r);
                        archivesDone = false;
                    }
                }
            }
        }
    }

    if (!outcome.detected && engine.apcActive() && isProgram(head, headLength))
        cloudCheck(in, path);
    reportStatus(in, path, path, 0, QVAPI_SCAN_ANSWER_DONE, nullptr);

    if (!outcome.detected) {
        outcome.clean = true;
        // Remember the verdict only when the file did not change while it was read.
        struct stat after {};
        if (fstat(fd, &after) == 0 && VerdictCache::Key::of(after) == key)
            engine.cache().storeClean(key, db->generation(), archivesDone);
    }
    return outcome;
}

}  // namespace qv
