#include "text.h"

#include <cstdint>

namespace qv {

std::string toUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring fromUtf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        uint32_t c = 0;
        size_t len = 0;
        if (b < 0x80) {
            c = b, len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07, len = 4;
        }
        bool ok = len != 0 && i + len <= text.size();
        for (size_t k = 1; ok && k < len; ++k) {
            auto cb = static_cast<unsigned char>(text[i + k]);
            if ((cb & 0xC0) != 0x80)
                ok = false;
            c = (c << 6) | (cb & 0x3F);
        }
        if (ok) {
            static const uint32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
            ok = c >= minimum[len] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
        }
        if (!ok) {
            out += static_cast<wchar_t>(0xFFFD);
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += len;
    }
    return out;
}

std::string trim(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t' || text[b] == '\r' || text[b] == '\n'))
        ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r' || text[e - 1] == '\n'))
        --e;
    return std::string(text.substr(b, e - b));
}

std::vector<std::string> splitList(std::string_view text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string part = trim(text.substr(start, end - start));
        if (!part.empty())
            parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool parseNumber(std::string_view text, uint64_t& value) {
    std::string t = trim(text);
    if (t.empty() || t.size() > 19)
        return false;
    uint64_t v = 0;
    for (char c : t) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    value = v;
    return true;
}

}  // namespace qv
