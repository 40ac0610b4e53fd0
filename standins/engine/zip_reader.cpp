#include "zip_reader.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace qv {

namespace {

constexpr int32_t kEncrypted = 25, kUnsupported = 26, kTooLarge = 23, kDamaged = 83, kReadError = 34;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool readAt(int fd, uint8_t* buffer, size_t length, uint64_t offset) {
    while (length > 0) {
        ssize_t n = pread(fd, buffer, length, static_cast<off_t>(offset));
        if (n <= 0)
            return false;
        buffer += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

bool looksLikeZip(const uint8_t* head, size_t length) {
    return length >= 4 && head[0] == 'P' && head[1] == 'K' && head[2] == 3 && head[3] == 4;
}

bool readZipDirectory(int fd, uint64_t fileSize, std::vector<ZipMember>& members, bool& overlapping) {
    members.clear();
    overlapping = false;
    if (fileSize < 22)
        return false;
    size_t tail = static_cast<size_t>(std::min<uint64_t>(fileSize, 22 + 65535));
    std::vector<uint8_t> end(tail);
    if (!readAt(fd, end.data(), tail, fileSize - tail))
        return false;
    size_t pos = tail - 22 + 1;
    bool found = false;
    while (pos-- > 0) {
        if (le32(&end[pos]) == 0x06054b50) {
            found = true;
            break;
        }
    }
    if (!found)
        return false;
    uint16_t count = le16(&end[pos + 10]);
    uint32_t dirSize = le32(&end[pos + 12]);
    uint32_t dirOffset = le32(&end[pos + 16]);
    if (dirOffset == 0xFFFFFFFF || count == 0xFFFF)
        return false;  // ZIP64
    if (static_cast<uint64_t>(dirOffset) + dirSize > fileSize || dirSize > (64u << 20))
        return false;
    std::vector<uint8_t> dir(dirSize);
    if (!readAt(fd, dir.data(), dirSize, dirOffset))
        return false;
    size_t p = 0;
    for (uint16_t i = 0; i < count; ++i) {
        if (p + 46 > dir.size() || le32(&dir[p]) != 0x02014b50)
            return false;
        ZipMember m;
        m.flags = le16(&dir[p + 8]);
        m.method = le16(&dir[p + 10]);
        m.compressedSize = le32(&dir[p + 20]);
        m.size = le32(&dir[p + 24]);
        uint16_t nameLength = le16(&dir[p + 28]);
        uint16_t extraLength = le16(&dir[p + 30]);
        uint16_t commentLength = le16(&dir[p + 32]);
        m.localHeaderOffset = le32(&dir[p + 42]);
        if (p + 46 + nameLength > dir.size())
            return false;
        m.name.assign(reinterpret_cast<const char*>(&dir[p + 46]), nameLength);
        p += 46 + nameLength + extraLength + commentLength;
        if (!m.name.empty() && m.name.back() == '/')
            continue;  // folder entry
        members.push_back(std::move(m));
    }
    // Every member's local header and data must end before the next member starts and
    // before the directory. The local header is at least 30 bytes and the member's name.
    std::vector<const ZipMember*> byOffset;
    for (const auto& m : members)
        byOffset.push_back(&m);
    std::sort(byOffset.begin(), byOffset.end(), [](const ZipMember* a, const ZipMember* b) {
        return a->localHeaderOffset < b->localHeaderOffset;
    });
    for (size_t i = 0; i < byOffset.size(); ++i) {
        const ZipMember& m = *byOffset[i];
        uint64_t end = m.localHeaderOffset + 30 + m.name.size() + m.compressedSize;
        uint64_t limit = i + 1 < byOffset.size() ? byOffset[i + 1]->localHeaderOffset : dirOffset;
        if (end > limit) {
            overlapping = true;
            break;
        }
    }
    return true;
}

int32_t readZipMember(int fd, const ZipMember& member, uint64_t maxSize,
                      const std::function<bool(const uint8_t*, size_t)>& sink) {
    if (member.flags & 1)
        return kEncrypted;
    if (member.method != 0 && member.method != 8)
        return kUnsupported;
    if (maxSize != 0 && member.size > maxSize)
        return kTooLarge;
    uint8_t header[30];
    if (!readAt(fd, header, sizeof header, member.localHeaderOffset))
        return kReadError;
    if (le32(header) != 0x04034b50)
        return kDamaged;
    uint64_t offset = member.localHeaderOffset + 30 + le16(header + 26) + le16(header + 28);
    uint64_t remaining = member.compressedSize;

    static thread_local std::vector<uint8_t> in(64 * 1024), out(128 * 1024);
    if (member.method == 0) {
        while (remaining > 0) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, in.size()));
            if (!readAt(fd, in.data(), n, offset))
                return kReadError;
            if (!sink(in.data(), n))
                return 0;
            offset += n;
            remaining -= n;
        }
        return 0;
    }
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return kDamaged;
    int32_t result = 0;
    uint64_t produced = 0;
    int zr = Z_OK;
    while (zr != Z_STREAM_END) {
        if (z.avail_in == 0) {
            if (remaining == 0) {
                result = kDamaged;
                break;
            }
            size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, in.size()));
            if (!readAt(fd, in.data(), n, offset)) {
                result = kReadError;
                break;
            }
            offset += n;
            remaining -= n;
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(n);
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        zr = inflate(&z, Z_NO_FLUSH);
        if (zr != Z_OK && zr != Z_STREAM_END) {
            result = kDamaged;
            break;
        }
        size_t n = out.size() - z.avail_out;
        produced += n;
        if (maxSize != 0 && produced > maxSize) {
            result = kTooLarge;
            break;
        }
        if (n > 0 && !sink(out.data(), n))
            break;
    }
    inflateEnd(&z);
    return result;
}

}  // namespace qv
