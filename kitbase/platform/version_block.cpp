#include "kitbase/platform/version_block.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace kitbase {

namespace {

constexpr char kSectionName[] = ".kitbase.version";
constexpr char kMagic[16] = "KitbaseVersion1";
constexpr size_t kRecordSize = 32;  // magic, signature, MS, LS, reserved

// Reads whole ranges of the file with bounds checks; numbers in the file's byte order.
class ElfReader {
public:
    explicit ElfReader(const std::string& path) : in_(path, std::ios::binary) {
        if (in_) {
            in_.seekg(0, std::ios::end);
            size_ = static_cast<uint64_t>(in_.tellg());
        }
    }
    bool ok() const { return static_cast<bool>(in_); }

    bool read(uint64_t offset, uint64_t length, std::vector<uint8_t>& out) {
        if (offset > size_ || length > size_ - offset || length > (64u << 20))
            return false;
        out.resize(length);
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(offset));
        return length == 0 || static_cast<bool>(in_.read(reinterpret_cast<char*>(out.data()),
                                                         static_cast<std::streamsize>(length)));
    }

    bool bigEndian = false;
    uint64_t number(const std::vector<uint8_t>& bytes, size_t at, size_t width) const {
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i) {
            uint8_t b = bytes[at + (bigEndian ? i : width - 1 - i)];
            v = (v << 8) | b;
        }
        return v;
    }

private:
    std::ifstream in_;
    uint64_t size_ = 0;
};

}  // namespace

bool readVersionBlock(const std::string& path, VersionBlock& out) {
    ElfReader elf(path);
    std::vector<uint8_t> header;
    if (!elf.ok() || !elf.read(0, 52, header))
        return false;
    if (std::memcmp(header.data(),
                    "\x7f"
                    "ELF",
                    4) != 0)
        return false;
    const bool is64 = header[4] == 2;
    if (header[4] != 1 && header[4] != 2)
        return false;
    if (header[5] != 1 && header[5] != 2)
        return false;
    elf.bigEndian = header[5] == 2;
    if (is64 && !elf.read(0, 64, header))
        return false;

    // Section header table.
    const size_t addr = is64 ? 8 : 4;
    const uint64_t shoff = elf.number(header, is64 ? 0x28 : 0x20, addr);
    const uint64_t shentsize = elf.number(header, is64 ? 0x3A : 0x2E, 2);
    uint64_t shnum = elf.number(header, is64 ? 0x3C : 0x30, 2);
    uint64_t shstrndx = elf.number(header, is64 ? 0x3E : 0x32, 2);
    const uint64_t minEntry = is64 ? 64 : 40;
    if (shoff == 0 || shentsize < minEntry)
        return false;
    std::vector<uint8_t> first;
    if (!elf.read(shoff, shentsize, first))
        return false;
    if (shnum == 0)  // more sections than fit the header: the count is in section 0
        shnum = elf.number(first, is64 ? 0x20 : 0x14, addr);
    if (shstrndx == 0xFFFF)
        shstrndx = elf.number(first, is64 ? 0x28 : 0x18, 4);
    if (shnum == 0 || shnum > 0x100000 || shstrndx >= shnum)
        return false;
    std::vector<uint8_t> table;
    if (!elf.read(shoff, shnum * shentsize, table))
        return false;

    struct Section {
        uint64_t name, type, offset, size;
    };
    auto section = [&](uint64_t i) {
        size_t at = static_cast<size_t>(i * shentsize);
        Section s;
        s.name = elf.number(table, at, 4);
        s.type = elf.number(table, at + 4, 4);
        s.offset = elf.number(table, at + (is64 ? 0x18 : 0x10), addr);
        s.size = elf.number(table, at + (is64 ? 0x20 : 0x14), addr);
        return s;
    };

    std::vector<uint8_t> names;
    const Section strtab = section(shstrndx);
    if (!elf.read(strtab.offset, strtab.size, names))
        return false;

    constexpr uint64_t kNoBits = 8;  // SHT_NOBITS: no bytes in the file
    for (uint64_t i = 1; i < shnum; ++i) {
        const Section s = section(i);
        if (s.type == kNoBits || s.name >= names.size())
            continue;
        const char* name = reinterpret_cast<const char*>(names.data() + s.name);
        if (strnlen(name, names.size() - s.name) != sizeof(kSectionName) - 1 ||
            std::memcmp(name, kSectionName, sizeof(kSectionName) - 1) != 0)
            continue;
        std::vector<uint8_t> record;
        if (s.size < kRecordSize || !elf.read(s.offset, kRecordSize, record))
            return false;
        if (std::memcmp(record.data(), kMagic, sizeof(kMagic)) != 0)
            return false;
        out.signature = static_cast<DWORD>(elf.number(record, 16, 4));
        out.fileVersionMS = static_cast<DWORD>(elf.number(record, 20, 4));
        out.fileVersionLS = static_cast<DWORD>(elf.number(record, 24, 4));
        return true;
    }
    return false;
}

}  // namespace kitbase
