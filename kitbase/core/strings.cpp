#include "kitbase/core/strings.h"

#include <cstdlib>
#include <limits>

#include "kitbase/platform/utf8.h"

std::wstring S2WS(const std::string& s) {
    return kitbase::utf8ToWide(s);
}

std::string WS2S(const std::wstring& s) {
    return kitbase::wideToUtf8(s);
}

namespace {

template <class String>
String unsignedText(unsigned long long n) {
    using Char = typename String::value_type;
    Char buffer[24];
    Char* p = buffer + sizeof(buffer) / sizeof(buffer[0]);
    do {
        *--p = static_cast<Char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    return String(p, buffer + sizeof(buffer) / sizeof(buffer[0]));
}

template <class String>
String signedText(long long n) {
    if (n >= 0)
        return unsignedText<String>(static_cast<unsigned long long>(n));
    // Negate in unsigned arithmetic so that the smallest value is handled too.
    String text = unsignedText<String>(0ULL - static_cast<unsigned long long>(n));
    text.insert(text.begin(), typename String::value_type('-'));
    return text;
}

// White space as the classic stream locale sees it.
template <class Char>
bool isBlank(Char c) {
    return c == Char(' ') || c == Char('\t') || c == Char('\n') || c == Char('\v') || c == Char('\f') ||
           c == Char('\r');
}

// The parts of a decimal number at the start of a text, after leading white space:
// its sign, its magnitude (saturated at `limit` + 1 when larger) and whether any
// digit was read.
struct Number {
    bool negative = false;
    unsigned long long magnitude = 0;
    bool overflow = false;
    bool digits = false;
};

template <class String>
Number readNumber(const String& s, unsigned long long limit) {
    using Char = typename String::value_type;
    Number number;
    size_t i = 0;
    while (i < s.size() && isBlank(s[i]))
        ++i;
    if (i < s.size() && (s[i] == Char('+') || s[i] == Char('-'))) {
        number.negative = s[i] == Char('-');
        ++i;
    }
    for (; i < s.size() && s[i] >= Char('0') && s[i] <= Char('9'); ++i) {
        number.digits = true;
        const unsigned digit = static_cast<unsigned>(s[i] - Char('0'));
        if (number.overflow)
            continue;
        if (number.magnitude > (limit - digit) / 10)
            number.overflow = true;
        else
            number.magnitude = number.magnitude * 10 + digit;
    }
    return number;
}

template <class String>
uint32_t toUnsigned32(const String& s) {
    constexpr unsigned long long max = std::numeric_limits<uint32_t>::max();
    const Number number = readNumber(s, max);
    if (!number.digits)
        return 0;
    if (number.overflow)
        return std::numeric_limits<uint32_t>::max();
    const uint32_t value = static_cast<uint32_t>(number.magnitude);
    return number.negative ? static_cast<uint32_t>(0u - value) : value;
}

template <class String>
long long toSigned64(const String& s) {
    // The magnitude may reach 2^63 for the smallest negative value.
    constexpr unsigned long long max = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    const Number number = readNumber(s, max + 1);
    if (!number.digits)
        return 0;
    if (number.negative) {
        if (number.overflow)
            return std::numeric_limits<long long>::min();
        if (number.magnitude == max + 1)
            return std::numeric_limits<long long>::min();
        return -static_cast<long long>(number.magnitude);
    }
    if (number.overflow || number.magnitude > max)
        return std::numeric_limits<long long>::max();
    return static_cast<long long>(number.magnitude);
}

template <class String>
String mapCase(const String& s, bool toLower) {
    using Char = typename String::value_type;
    String out(s);
    for (Char& c : out) {
        if (toLower && c >= Char('A') && c <= Char('Z'))
            c = static_cast<Char>(c - Char('A') + Char('a'));
        else if (!toLower && c >= Char('a') && c <= Char('z'))
            c = static_cast<Char>(c - Char('a') + Char('A'));
    }
    return out;
}

template <class String>
String eraseTrails(String& s, const String& chars, int mode) {
    if (mode & TRIM_RIGHT) {
        const auto last = s.find_last_not_of(chars);
        s.erase(last == String::npos ? 0 : last + 1);
    }
    if (mode & TRIM_LEFT) {
        const auto first = s.find_first_not_of(chars);
        s.erase(0, first == String::npos ? s.size() : first);
    }
    return s;
}

template <class String>
std::vector<String> splitText(const String& s, typename String::value_type sep) {
    std::vector<String> items;
    size_t start = 0;
    while (start < s.size()) {
        const auto end = s.find(sep, start);
        if (end == String::npos) {
            items.push_back(s.substr(start));
            break;
        }
        items.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

template <class String>
unsigned int replaceAll(String& s, const String& from, const String& to) {
    if (from.empty())
        return 0;
    unsigned int count = 0;
    for (auto pos = s.find(from); pos != String::npos; pos = s.find(from, pos + to.size())) {
        s.replace(pos, from.size(), to);
        ++count;
    }
    return count;
}

}  // namespace

std::wstring I2WS(uint32_t n) {
    return unsignedText<std::wstring>(n);
}

std::string I2S(uint32_t n) {
    return unsignedText<std::string>(n);
}

std::wstring T2WS(long long n) {
    return signedText<std::wstring>(n);
}

std::string T2S(long long n) {
    return signedText<std::string>(n);
}

uint32_t WS2I(const std::wstring& s) {
    return toUnsigned32(s);
}

uint32_t S2I(const std::string& s) {
    return toUnsigned32(s);
}

long long WS2T(const std::wstring& s) {
    return toSigned64(s);
}

long long S2T(const std::string& s) {
    return toSigned64(s);
}

std::wstring lower(const std::wstring& s) {
    return mapCase(s, true);
}

std::string lower(const std::string& s) {
    return mapCase(s, true);
}

std::wstring upper(const std::wstring& s) {
    return mapCase(s, false);
}

std::wstring terase_trails(std::wstring& s, const std::wstring& chars, int mode) {
    return eraseTrails(s, chars, mode);
}

std::string erase_trails(std::string& s, const std::string& chars, int mode) {
    return eraseTrails(s, chars, mode);
}

std::wstring ttrim(std::wstring& s, int mode) {
    return eraseTrails(s, std::wstring(L" \n"), mode);
}

std::string trim(std::string& s, int mode) {
    return eraseTrails(s, std::string(" \n"), mode);
}

std::wstring ttrim_all(std::wstring& s) {
    return eraseTrails(s, std::wstring(L" \t\n\r"), TRIM_BOTH);
}

std::string ttrim_all(std::string& s) {
    return eraseTrails(s, std::string(" \t\n\r"), TRIM_BOTH);
}

void RemoveChars(std::wstring& s, const std::wstring& chars) {
    std::erase_if(s, [&chars](wchar_t c) { return chars.find(c) != std::wstring::npos; });
}

std::vector<std::wstring> split(const std::wstring& s, wchar_t sep) {
    return splitText(s, sep);
}

std::vector<std::string> split(const std::string& s, char sep) {
    return splitText(s, sep);
}

unsigned int replaceall(std::wstring& s, const std::wstring& from, const std::wstring& to) {
    return replaceAll(s, from, to);
}

unsigned int replaceall(std::string& s, const std::string& from, const std::string& to) {
    return replaceAll(s, from, to);
}

int ExplodeAttrVal(const std::wstring& text, const std::wstring& sep, std::wstring& attr, std::wstring& val) {
    const auto pos = text.find(sep);
    if (pos == std::wstring::npos)
        return 1;
    attr = text.substr(0, pos);
    val = text.substr(pos + 1);
    return 0;
}

int ExplodeAttrEqualVal(const std::wstring& text, std::wstring& attr, std::wstring& val) {
    return ExplodeAttrVal(text, L"=", attr, val);
}

WriteThis::~WriteThis() {
    std::free(memory);
}

WriteThis::WriteThis(WriteThis&& other) noexcept : memory(other.memory), size(other.size) {
    other.memory = nullptr;
    other.size = 0;
}

WriteThis& WriteThis::operator=(WriteThis&& other) noexcept {
    if (this != &other) {
        std::free(memory);
        memory = other.memory;
        size = other.size;
        other.memory = nullptr;
        other.size = 0;
    }
    return *this;
}
