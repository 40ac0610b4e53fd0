#include "kitbase/core/md5.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/winerror.h"

namespace {

// Per-round shift amounts.
constexpr uint32_t S11 = 7, S12 = 12, S13 = 17, S14 = 22;
constexpr uint32_t S21 = 5, S22 = 9, S23 = 14, S24 = 20;
constexpr uint32_t S31 = 4, S32 = 11, S33 = 16, S34 = 23;
constexpr uint32_t S41 = 6, S42 = 10, S43 = 15, S44 = 21;

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return (x & y) | (~x & z);
}
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return (x & z) | (y & ~z);
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}
inline uint32_t rotateLeft(uint32_t x, uint32_t n) {
    return (x << n) | (x >> (32 - n));
}
inline void FF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t s, uint32_t ac) {
    a = rotateLeft(a + F(b, c, d) + x + ac, s) + b;
}
inline void GG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t s, uint32_t ac) {
    a = rotateLeft(a + G(b, c, d) + x + ac, s) + b;
}
inline void HH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t s, uint32_t ac) {
    a = rotateLeft(a + H(b, c, d) + x + ac, s) + b;
}
inline void II(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t s, uint32_t ac) {
    a = rotateLeft(a + I(b, c, d) + x + ac, s) + b;
}

// Little-endian words to bytes and back.
void encode(uint8_t* out, const uint32_t* in, unsigned int length) {
    for (unsigned int i = 0, j = 0; j < length; ++i, j += 4) {
        out[j] = static_cast<uint8_t>(in[i] & 0xff);
        out[j + 1] = static_cast<uint8_t>((in[i] >> 8) & 0xff);
        out[j + 2] = static_cast<uint8_t>((in[i] >> 16) & 0xff);
        out[j + 3] = static_cast<uint8_t>((in[i] >> 24) & 0xff);
    }
}

void decode(uint32_t* out, const uint8_t* in, unsigned int length) {
    for (unsigned int i = 0, j = 0; j < length; ++i, j += 4)
        out[i] = static_cast<uint32_t>(in[j]) | (static_cast<uint32_t>(in[j + 1]) << 8) |
                 (static_cast<uint32_t>(in[j + 2]) << 16) | (static_cast<uint32_t>(in[j + 3]) << 24);
}

// Hexadecimal digest of a whole file; false when the file cannot be opened or read
// (errno tells why).
bool digestFile(const std::string& path, std::string& hex) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    MD5 md5;
    unsigned char block[1023];
    size_t length;
    while ((length = std::fread(block, 1, sizeof(block), file)) > 0)
        md5.update(block, static_cast<unsigned int>(length));
    const bool failed = std::ferror(file) != 0;
    const int err = errno;
    std::fclose(file);
    if (failed) {
        // A read error must not pass as the digest of the bytes read so far.
        errno = err != 0 ? err : EIO;
        return false;
    }
    hex = md5.finalize().hexdigest();
    return true;
}

}  // namespace

MD5::MD5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

MD5::MD5(const std::wstring& text) : MD5(WS2S(text)) {}

MD5::MD5(const std::string& text) : MD5() {
    // Fed in pieces so that a text longer than an unsigned int can count is hashed whole.
    constexpr size_t kPiece = 1u << 30;
    for (size_t at = 0; at < text.size(); at += kPiece)
        update(text.data() + at, static_cast<unsigned int>(std::min(kPiece, text.size() - at)));
    finalize();
}

void MD5::update(const unsigned char* data, unsigned int length) {
    if (finalized_ || length == 0)
        return;
    unsigned int index = (count_[0] >> 3) % kBlockSize;
    // Bit count, low word first, with the carry into the high word.
    if ((count_[0] += (length << 3)) < (length << 3))
        ++count_[1];
    count_[1] += length >> 29;

    const unsigned int partLength = kBlockSize - index;
    unsigned int i = 0;
    if (length >= partLength) {
        std::memcpy(&buffer_[index], data, partLength);
        transform(buffer_);
        for (i = partLength; i + kBlockSize <= length; i += kBlockSize)
            transform(&data[i]);
        index = 0;
    }
    std::memcpy(&buffer_[index], &data[i], length - i);
}

void MD5::update(const char* data, unsigned int length) {
    update(reinterpret_cast<const unsigned char*>(data), length);
}

MD5& MD5::finalize() {
    static const uint8_t padding[kBlockSize] = {0x80};
    if (finalized_)
        return *this;
    uint8_t bits[8];
    encode(bits, count_, 8);
    const unsigned int index = (count_[0] >> 3) % kBlockSize;
    const unsigned int padLength = index < 56 ? 56 - index : 120 - index;
    update(padding, padLength);
    update(bits, 8);
    encode(digest_, state_, 16);
    std::memset(buffer_, 0, sizeof(buffer_));
    count_[0] = count_[1] = 0;
    finalized_ = true;
    return *this;
}

std::string MD5::hexdigest() const {
    if (!finalized_)
        return {};
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(32);
    for (uint8_t byte : digest_) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0f]);
    }
    return hex;
}

std::wstring MD5::hexdigestW() const {
    return S2WS(hexdigest());
}

void MD5::transform(const uint8_t block[kBlockSize]) {
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], x[16];
    decode(x, block, kBlockSize);

    FF(a, b, c, d, x[0], S11, 0xd76aa478);
    FF(d, a, b, c, x[1], S12, 0xe8c7b756);
    FF(c, d, a, b, x[2], S13, 0x242070db);
    FF(b, c, d, a, x[3], S14, 0xc1bdceee);
    FF(a, b, c, d, x[4], S11, 0xf57c0faf);
    FF(d, a, b, c, x[5], S12, 0x4787c62a);
    FF(c, d, a, b, x[6], S13, 0xa8304613);
    FF(b, c, d, a, x[7], S14, 0xfd469501);
    FF(a, b, c, d, x[8], S11, 0x698098d8);
    FF(d, a, b, c, x[9], S12, 0x8b44f7af);
    FF(c, d, a, b, x[10], S13, 0xffff5bb1);
    FF(b, c, d, a, x[11], S14, 0x895cd7be);
    FF(a, b, c, d, x[12], S11, 0x6b901122);
    FF(d, a, b, c, x[13], S12, 0xfd987193);
    FF(c, d, a, b, x[14], S13, 0xa679438e);
    FF(b, c, d, a, x[15], S14, 0x49b40821);

    GG(a, b, c, d, x[1], S21, 0xf61e2562);
    GG(d, a, b, c, x[6], S22, 0xc040b340);
    GG(c, d, a, b, x[11], S23, 0x265e5a51);
    GG(b, c, d, a, x[0], S24, 0xe9b6c7aa);
    GG(a, b, c, d, x[5], S21, 0xd62f105d);
    GG(d, a, b, c, x[10], S22, 0x2441453);
    GG(c, d, a, b, x[15], S23, 0xd8a1e681);
    GG(b, c, d, a, x[4], S24, 0xe7d3fbc8);
    GG(a, b, c, d, x[9], S21, 0x21e1cde6);
    GG(d, a, b, c, x[14], S22, 0xc33707d6);
    GG(c, d, a, b, x[3], S23, 0xf4d50d87);
    GG(b, c, d, a, x[8], S24, 0x455a14ed);
    GG(a, b, c, d, x[13], S21, 0xa9e3e905);
    GG(d, a, b, c, x[2], S22, 0xfcefa3f8);
    GG(c, d, a, b, x[7], S23, 0x676f02d9);
    GG(b, c, d, a, x[12], S24, 0x8d2a4c8a);

    HH(a, b, c, d, x[5], S31, 0xfffa3942);
    HH(d, a, b, c, x[8], S32, 0x8771f681);
    HH(c, d, a, b, x[11], S33, 0x6d9d6122);
    HH(b, c, d, a, x[14], S34, 0xfde5380c);
    HH(a, b, c, d, x[1], S31, 0xa4beea44);
    HH(d, a, b, c, x[4], S32, 0x4bdecfa9);
    HH(c, d, a, b, x[7], S33, 0xf6bb4b60);
    HH(b, c, d, a, x[10], S34, 0xbebfbc70);
    HH(a, b, c, d, x[13], S31, 0x289b7ec6);
    HH(d, a, b, c, x[0], S32, 0xeaa127fa);
    HH(c, d, a, b, x[3], S33, 0xd4ef3085);
    HH(b, c, d, a, x[6], S34, 0x4881d05);
    HH(a, b, c, d, x[9], S31, 0xd9d4d039);
    HH(d, a, b, c, x[12], S32, 0xe6db99e5);
    HH(c, d, a, b, x[15], S33, 0x1fa27cf8);
    HH(b, c, d, a, x[2], S34, 0xc4ac5665);

    II(a, b, c, d, x[0], S41, 0xf4292244);
    II(d, a, b, c, x[7], S42, 0x432aff97);
    II(c, d, a, b, x[14], S43, 0xab9423a7);
    II(b, c, d, a, x[5], S44, 0xfc93a039);
    II(a, b, c, d, x[12], S41, 0x655b59c3);
    II(d, a, b, c, x[3], S42, 0x8f0ccc92);
    II(c, d, a, b, x[10], S43, 0xffeff47d);
    II(b, c, d, a, x[1], S44, 0x85845dd1);
    II(a, b, c, d, x[8], S41, 0x6fa87e4f);
    II(d, a, b, c, x[15], S42, 0xfe2ce6e0);
    II(c, d, a, b, x[6], S43, 0xa3014314);
    II(b, c, d, a, x[13], S44, 0x4e0811a1);
    II(a, b, c, d, x[4], S41, 0xf7537e82);
    II(d, a, b, c, x[11], S42, 0xbd3af235);
    II(c, d, a, b, x[2], S43, 0x2ad7d2bb);
    II(b, c, d, a, x[9], S44, 0xeb86d391);

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    std::memset(x, 0, sizeof(x));
}

std::string MD5TextA(const std::string& text) {
    return MD5(text).hexdigest();
}

std::wstring MD5TextW(const std::wstring& text) {
    return MD5(text).hexdigestW();
}

std::wstring MD5Text(const std::wstring& text) {
    return MD5TextW(text);
}

std::wstring MD5FileW(const std::wstring& path) {
    std::string hex;
    if (!digestFile(WS2S(path), hex)) {
        const DWORD code = setLastErrorFromErrno();
        __trace__.debug(L"\nCannot open input file '%ls' to compute the MD5. Error: '%ls'", path,
                        tgetErrorString(code));
        return {};
    }
    __trace__.debug(L"MD5=%s", hex);
    return S2WS(hex);
}

std::wstring MD5File(const std::wstring& path) {
    return MD5FileW(path);
}

std::string MD5FileA(const std::string& path) {
    std::string hex;
    if (!digestFile(path, hex)) {
        setLastErrorFromErrno();
        __trace__.error(L"\ncannot input file %s", path);
        return {};
    }
    __trace__.debug(L"MD5=%s", hex);
    return hex;
}
