#include "kitbase/platform/utf8.h"

namespace kitbase {

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::wstring utf8ToWide(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        }
        int need;
        char32_t cp;
        // Bounds of the second byte (Unicode table 3-7) rule out overlong forms,
        // surrogates and values past U+10FFFF.
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0)
                lo = 0xA0;
            if (b == 0xED)
                hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0)
                lo = 0x90;
            if (b == 0xF4)
                hi = 0x8F;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k, ++j) {
            if (j >= n) {
                ok = false;
                break;
            }
            unsigned char c = p[j];
            unsigned char cl = k == 0 ? lo : 0x80, ch = k == 0 ? hi : 0xBF;
            if (c < cl || c > ch) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok) {
            // The maximal subpart consumed so far (lead byte plus valid
            // continuation bytes) becomes one replacement character.
            out.push_back(kReplacement);
            i = j;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i = j;
    }
    return out;
}

std::string wideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        auto cp = static_cast<char32_t>(static_cast<uint32_t>(text[i]));
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n) {
            auto next = static_cast<char32_t>(static_cast<uint32_t>(text[i + 1]));
            if (next >= 0xDC00 && next <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            cp = kReplacement;
        appendUtf8(out, cp);
    }
    return out;
}

}  // namespace kitbase
