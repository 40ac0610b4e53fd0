#pragma once
// SHA-256 digests, shown as 64 lower-case hexadecimal digits.
#include <cstdint>
#include <string>

#include "kitbase/export.h"

class KITBASE_API SHA_256 {
public:
    SHA_256() = default;

    // Digest of the bytes of `text`; returns its hexadecimal form.
    std::string calculateText(const std::string& text);
    // Digest of the UTF-8 bytes of `text`; returns its hexadecimal form.
    std::wstring calculateText(const std::wstring& text);
    // Digest of a file's bytes; empty (and an ERROR record) when the file cannot be
    // read.
    std::wstring calculateFile(const std::wstring& path);

    // The hexadecimal digest of the last calculation; empty when there is none.
    std::wstring hexdigest() const;
    std::string hexdigestA() const;
    std::wstring hexdigestW() const;

private:
    bool finalized_ = false;
    uint8_t digest_[32] = {};
};

// Hexadecimal SHA-256 of the UTF-8 bytes of a wide text.
KITBASE_API std::wstring SHA256Text(const std::wstring& text);
// Hexadecimal SHA-256 of a narrow text read as UTF-8 (invalid sequences are hashed
// as U+FFFD).
KITBASE_API std::string SHA256Text(const std::string& text);
// Hexadecimal SHA-256 of a file's bytes; empty when the file cannot be read.
KITBASE_API std::wstring SHA256File(const std::wstring& path);
