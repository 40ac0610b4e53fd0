#include "kitbase/core/uuid.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstdint>

unsigned int generateUUIDString(std::wstring& out) {
    uint8_t bytes[16];
    if (RAND_bytes(bytes, sizeof(bytes)) != 1)
        return 1;
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // variant of RFC 4122
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += L'-';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    out = std::move(text);
    return 0;
}

std::wstring generateUUID() {
    std::wstring text;
    if (generateUUIDString(text) != 0)
        return {};
    return text;
}

bool isUUIDValid(const std::wstring& text) {
    if (text.size() < 33)
        return false;
    if (std::any_of(text.begin(), text.end(), [](wchar_t c) { return c > L'f'; }))
        return false;
    return std::count(text.begin(), text.end(), L'-') == 4;
}
