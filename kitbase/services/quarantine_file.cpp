#include "kitbase/services/quarantine_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "kitbase/core/files.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/index_file.h"
#include "kitbase/core/md5.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"

namespace {

constexpr unsigned int kInvalid = 0xFFFFFFFFu;
// Index files shorter than this cannot hold a record.
constexpr uint32_t kMinIndexSize = 100;
// Longest value that one index line can carry: a line is read in pieces of
// kMaxLineChars characters, its line feed included.
constexpr size_t kMaxValueChars = kMaxLineChars - 1;

std::wstring number(int64_t n) {
    return std::to_wstring(n);
}

// A value that fits on one index line.
bool fitsOneLine(const std::wstring& value) {
    return value.size() <= kMaxValueChars && value.find_first_of(L"\r\n") == std::wstring::npos;
}

// A JSON string literal holding `value` exactly.
std::wstring jsonString(const std::wstring& value) {
    std::wstring out = L"\"";
    for (wchar_t c : value) {
        switch (c) {
            case L'"':
                out += L"\\\"";
                break;
            case L'\\':
                out += L"\\\\";
                break;
            case L'\n':
                out += L"\\n";
                break;
            case L'\r':
                out += L"\\r";
                break;
            case L'\t':
                out += L"\\t";
                break;
            case L'\b':
                out += L"\\b";
                break;
            case L'\f':
                out += L"\\f";
                break;
            default:
                if (static_cast<uint32_t>(c) < 0x20) {
                    wchar_t buffer[8];
                    swprintf(buffer, 8, L"\\u%04x", static_cast<unsigned>(c));
                    out += buffer;
                } else {
                    out += c;
                }
        }
    }
    return out + L"\"";
}

}  // namespace

QuaFile::QuaFile() : created(static_cast<int64_t>(time(nullptr))) {}

QuaFile::QuaFile(const std::wstring& path) {
    ::readQuaFile(path, *this);
}

QuaFile::QuaFile(const std::wstring& folder, const std::wstring& srcfile, const std::wstring& dstfile,
                 const std::wstring& hash, const std::wstring& malwarename, const std::wstring& message,
                 const EngineInfos& engineInfos, bool onreboot)
    : srcfile(srcfile), dstfile(dstfile), hash(hash), onreboot(onreboot) {
    created = static_cast<int64_t>(time(nullptr));
    if (this->hash.empty())
        this->hash = MD5FileW(srcfile);
    if (this->dstfile.empty() && !this->hash.empty())
        this->dstfile = createPath(folder, this->hash);
    this->malwarename = malwarename;
    this->message = message;

    struct stat status {};
    if (stat(WS2S(srcfile).c_str(), &status) == 0) {
        ctime = static_cast<int64_t>(status.st_ctime);
        mtime = static_cast<int64_t>(status.st_mtime);
        size = static_cast<uint32_t>(status.st_size);
    } else {
        __trace__.error(L"Move to Quarantine: cannot get file information on file '%ls'", srcfile);
    }
    this->engineInfos = engineInfos;

    // Without its content's digest the file has no name in the quarantine.
    if (this->hash.empty()) {
        __trace__.error(L"Move to Quarantine: cannot read the content of file '%ls'", srcfile);
        writeResult = 1;
        return;
    }
    write();
}

unsigned int QuaFile::write() {
    writeResult = 1;
    const std::wstring values[] = {dstfile,
                                   srcfile,
                                   hash,
                                   malwarename,
                                   message,
                                   engineInfos.engine_ver,
                                   engineInfos.ave_ver,
                                   engineInfos.vdf_ver,
                                   engineInfos.apc_ver};
    bool valid = !dstfile.empty();
    for (const std::wstring& value : values)
        valid = valid && fitsOneLine(value);
    if (!valid) {
        __trace__.error(L"Cannot create index file for quarantine object '%ls'", dstfile);
        return 1;
    }

    // Written beside the index and renamed into place, so an older index is replaced
    // only by a complete one.
    const std::string indexPath = WS2S(dstfile + L".dat");
    std::string tempPath = indexPath + ".XXXXXX";
    const int fd = mkostemp(tempPath.data(), O_CLOEXEC);
    if (fd < 0) {
        __trace__.error(L"Cannot create index file for quarantine object '%ls'", dstfile);
        return 1;
    }
    const std::string content = WS2S(toString(false));
    bool ok = true;
    size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(tempPath.c_str(), indexPath.c_str()) == 0;
    if (!ok) {
        const int err = errno;
        unlink(tempPath.c_str());
        __trace__.error(L"Cannot create index file for quarantine object '%ls'", dstfile);
        __trace__.debug(L"Writing the index file %ls failed. Code %d", S2WS(indexPath), err);
        return 1;
    }
    writeResult = 0;
    return 0;
}

unsigned int QuaFile::readQuaFile(const std::wstring& path) {
    return ::readQuaFile(path, *this);
}

std::wstring QuaFile::toString(bool shortForm) {
    if (shortForm) {
        text = srcfile + L"\n" + malwarename + L"\n" + number(created);
        return text;
    }
    text = dstfile + L"\n" + srcfile + L"\n" + hash + L"\n" + (onreboot ? L"1" : L"0") + L"\n" +
           number(ctime) + L"\n" + number(mtime) + L"\n" + number(size) + L"\n" + malwarename + L"\n" +
           message + L"\n" + engineInfos.engine_ver + L"\n" + engineInfos.ave_ver + L"\n" +
           engineInfos.vdf_ver + L"\n" + engineInfos.apc_ver + L"\n" + number(created);
    return text;
}

std::wstring QuaFile::toStringJSON() {
    const std::pair<const wchar_t*, std::wstring> members[] = {
        {L"dstfile", dstfile},
        {L"srcfile", srcfile},
        {L"hash", hash},
        {L"onreboot", onreboot ? L"1" : L"0"},
        {L"ctime", number(ctime)},
        {L"mtime", number(mtime)},
        {L"size", number(size)},
        {L"malwarename", malwarename},
        {L"message", message},
        {L"engine_ver", engineInfos.engine_ver},
        {L"ave_ver", engineInfos.ave_ver},
        {L"vdf_ver", engineInfos.vdf_ver},
        {L"apc_ver", engineInfos.apc_ver},
        {L"created", number(created)},
    };
    std::wstring out = L"{";
    for (const auto& [key, value] : members) {
        if (out.size() > 1)
            out += L",";
        out += L"\"";
        out += key;
        out += L"\":" + jsonString(value);
    }
    text = out + L"}";
    return text;
}

bool QuaFile::fromString(const std::wstring& value) {
    const std::vector<std::wstring> parts = split(value, L'\n');
    if (parts.size() != 14)
        return false;
    dstfile = parts[0];
    srcfile = parts[1];
    hash = parts[2];
    onreboot = WS2I(parts[3]) != 0;
    ctime = WS2I(parts[4]);
    mtime = WS2I(parts[5]);
    size = WS2I(parts[6]);
    malwarename = parts[7];
    message = parts[8];
    engineInfos.engine_ver = parts[9];
    engineInfos.ave_ver = parts[10];
    engineInfos.vdf_ver = parts[11];
    engineInfos.apc_ver = parts[12];
    created = WS2I(parts[13]);
    return true;
}

unsigned int readQuaFile(const std::wstring& path, QuaFile& record) {
    if (fileExists(path) && tgetFileSize(path) < kMinIndexSize) {
        __trace__.error(L"Invalid file: Cannot read the index file for quarantine object: '%ls'", path);
        return kInvalid;
    }
    FILE* file = fopen(WS2S(path).c_str(), "rbe");
    if (!file) {
        __trace__.error(L"Cannot read the index file for quarantine object: '%ls'. Code %d", path, errno);
        return kInvalid;
    }
    std::wstring lines[13];
    unsigned int result = 0;
    for (int i = 0; i < 13; ++i) {
        if (readText(file, lines[i]) == kInvalid) {
            result = 1;
            break;
        }
        switch (i) {
            case 0:
                record.dstfile = lines[i];
                break;
            case 1:
                record.srcfile = lines[i];
                break;
            case 2:
                record.hash = lines[i];
                break;
            case 3:
                record.onreboot = WS2I(lines[i]) != 0;
                break;
            case 4:
                record.ctime = WS2I(lines[i]);
                break;
            case 5:
                record.mtime = WS2I(lines[i]);
                break;
            case 6:
                record.size = WS2I(lines[i]);
                break;
            case 7:
                record.malwarename = lines[i];
                break;
            case 8:
                record.message = lines[i];
                break;
            case 9:
                record.engineInfos.engine_ver = lines[i];
                break;
            case 10:
                record.engineInfos.ave_ver = lines[i];
                break;
            case 11:
                record.engineInfos.vdf_ver = lines[i];
                break;
            case 12:
                record.engineInfos.apc_ver = lines[i];
                break;
        }
    }
    if (result == 0) {
        std::wstring line;
        record.created = readText(file, line) == kInvalid ? 0 : WS2I(line);
    } else {
        __trace__.error(L"Error reading the quarantine index file. Format error.");
    }
    fclose(file);
    return result;
}
