#pragma once
// File version information of our binaries. Each program and library of the product
// carries a small version record in its ELF section ".kitbase.version" (the build adds
// it with kitbase_add_version_block, cmake/KitbaseVersion.cmake). The record is read
// from the file itself, so any binary on disk can be asked, loaded or not.
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

namespace kitbase {

// The fixed part of a file's version information.
struct VersionBlock {
    DWORD signature = 0;      // 0xFEEF04BD in a well-formed record
    DWORD fileVersionMS = 0;  // major << 16 | minor
    DWORD fileVersionLS = 0;  // build << 16 | revision
};

// Reads the version record of the binary at `path` (UTF-8). False when the file cannot
// be read, is no ELF file, or carries no well-formed record.
KITBASE_API bool readVersionBlock(const std::string& path, VersionBlock& out);

}  // namespace kitbase
