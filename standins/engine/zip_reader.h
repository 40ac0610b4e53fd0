#pragma once
// Reading the members of a ZIP archive from a descriptor without holding the archive:
// the central directory is read from the end of the file, stored and deflated members
// are streamed out in blocks. ZIP64 archives are not opened (they are scanned as
// plain files).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qv {

struct ZipMember {
    std::string name;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t localHeaderOffset = 0;
};

// True when the file starts like a ZIP archive ("PK\3\4").
bool looksLikeZip(const uint8_t* head, size_t length);

// Reads the member list; false when the file is no readable ZIP archive. `overlapping`
// is set when members share data (two entries at one offset, or a member's data running
// into the next member or the directory): such an archive is crafted to make one small
// file unpack many times over, and no archiver writes one.
bool readZipDirectory(int fd, uint64_t fileSize, std::vector<ZipMember>& members, bool& overlapping);

// Deflate packs at most about 1032 bytes into one, so members that do not share data
// can never unpack to more than this many times the archive's size.
constexpr uint64_t kMaxUnpackRatio = 1100;

// Streams the member's content to `sink` (which returns false to stop). Returns 0, or
// the engine codes 25 (encrypted), 26 (unsupported method), 23 (larger than maxSize,
// 0 = no limit), 83 (damaged) or 34 (read error).
int32_t readZipMember(int fd, const ZipMember& member, uint64_t maxSize,
                      const std::function<bool(const uint8_t*, size_t)>& sink);

}  // namespace qv
