#pragma once
// MD5 digests (RFC 1321), shown as 32 lower-case hexadecimal digits.
#include <cstdint>
#include <string>

#include "kitbase/export.h"

class KITBASE_API MD5 {
public:
    // A fresh digest, ready for update().
    MD5();
    // The finished digest of the UTF-8 bytes of `text`.
    explicit MD5(const std::wstring& text);
    // The finished digest of the bytes of `text`.
    explicit MD5(const std::string& text);

    void update(const unsigned char* data, unsigned int length);
    void update(const char* data, unsigned int length);
    // Pads the input, stores the digest and clears the working state; a second call
    // does nothing.
    MD5& finalize();

    // The hexadecimal digest; empty before finalize().
    std::string hexdigest() const;
    std::wstring hexdigestW() const;

private:
    static constexpr unsigned int kBlockSize = 64;

    void transform(const uint8_t block[kBlockSize]);

    bool finalized_ = false;
    uint8_t buffer_[kBlockSize] = {};
    uint32_t count_[2] = {0, 0};  // number of bits fed, low word first
    uint32_t state_[4];
    uint8_t digest_[16] = {};
};

// Hexadecimal MD5 of the bytes of a text.
KITBASE_API std::string MD5TextA(const std::string& text);
// Hexadecimal MD5 of the UTF-8 bytes of a wide text.
KITBASE_API std::wstring MD5TextW(const std::wstring& text);
KITBASE_API std::wstring MD5Text(const std::wstring& text);
// Hexadecimal MD5 of a file's bytes; empty when the file cannot be read.
KITBASE_API std::wstring MD5FileW(const std::wstring& path);
KITBASE_API std::wstring MD5File(const std::wstring& path);
KITBASE_API std::string MD5FileA(const std::string& path);
