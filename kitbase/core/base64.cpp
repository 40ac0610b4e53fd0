#include "kitbase/core/base64.h"

#include <array>
#include <cstdint>

#include "kitbase/core/strings.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of every byte: 0-63 for the alphabet, kSkip for white space and "=",
// kInvalid for everything else (every byte of 128 or above included).
constexpr int8_t kSkip = -2;
constexpr int8_t kInvalid = -1;

constexpr std::array<int8_t, 256> makeTable() {
    std::array<int8_t, 256> table{};
    for (auto& value : table)
        value = kInvalid;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r', '='})
        table[c] = kSkip;
    return table;
}

constexpr std::array<int8_t, 256> kTable = makeTable();

}  // namespace

std::string Base64::encode(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '=');
    size_t o = 0;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16) |
                               (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8) |
                               static_cast<unsigned char>(bytes[i + 2]);
        out[o++] = kAlphabet[(group >> 18) & 0x3f];
        out[o++] = kAlphabet[(group >> 12) & 0x3f];
        out[o++] = kAlphabet[(group >> 6) & 0x3f];
        out[o++] = kAlphabet[group & 0x3f];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2)
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out[o++] = kAlphabet[(group >> 18) & 0x3f];
        out[o++] = kAlphabet[(group >> 12) & 0x3f];
        if (rest == 2)
            out[o++] = kAlphabet[(group >> 6) & 0x3f];
        // The remaining characters stay "=".
    }
    return out;
}

std::string Base64::decode(const std::string& text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const int8_t value = kTable[static_cast<unsigned char>(c)];
        if (value == kSkip)
            continue;
        if (value == kInvalid)
            return {};
        bits = (bits << 6) | static_cast<uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return out;
}

std::wstring Base64::encode(const std::wstring& text) {
    return S2WS(encode(WS2S(text)));
}

std::wstring Base64::decode(const std::wstring& text) {
    return S2WS(decode(WS2S(text)));
}
