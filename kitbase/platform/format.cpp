#include "kitbase/platform/format.h"

#include <cstdio>
#include <limits>

#include "kitbase/platform/utf8.h"

namespace kitbase {

namespace {

// A double as an integer, saturated at the type's ends (NaN is 0): the plain
// conversion of a value out of range is undefined.
template <class Int>
Int saturate(double d) {
    if (!(d == d))
        return 0;
    if (d <= static_cast<double>(std::numeric_limits<Int>::min()))
        return std::numeric_limits<Int>::min();
    if (d >= static_cast<double>(std::numeric_limits<Int>::max()))
        return std::numeric_limits<Int>::max();
    return static_cast<Int>(d);
}

}  // namespace

int64_t FormatArg::asSigned() const {
    switch (kind_) {
        case Kind::Signed:
            return i_;
        case Kind::Unsigned:
        case Kind::Char:
            switch (bits_) {
                case 8:
                    return static_cast<int8_t>(u_);
                case 16:
                    return static_cast<int16_t>(u_);
                case 32:
                    return static_cast<int32_t>(u_);
                default:
                    return static_cast<int64_t>(u_);
            }
        case Kind::Double:
            return saturate<int64_t>(d_);
        case Kind::Pointer:
            return static_cast<int64_t>(reinterpret_cast<uintptr_t>(p_));
        default:
            return 0;
    }
}

uint64_t FormatArg::asUnsigned() const {
    switch (kind_) {
        case Kind::Unsigned:
        case Kind::Char:
            return u_;
        case Kind::Signed:
            switch (bits_) {
                case 8:
                    return static_cast<uint8_t>(i_);
                case 16:
                    return static_cast<uint16_t>(i_);
                case 32:
                    return static_cast<uint32_t>(i_);
                default:
                    return static_cast<uint64_t>(i_);
            }
        case Kind::Double:
            return saturate<uint64_t>(d_);
        case Kind::Pointer:
            return reinterpret_cast<uintptr_t>(p_);
        default:
            return 0;
    }
}

namespace {

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    char conv = 0;
};

bool isIntegerKind(FormatArg::Kind k) {
    return k == FormatArg::Kind::Signed || k == FormatArg::Kind::Unsigned || k == FormatArg::Kind::Char;
}

// The conversion an argument of this kind prints with when the format's does not fit it.
char naturalConversion(const FormatArg& a) {
    switch (a.kind()) {
        case FormatArg::Kind::Signed:
            return 'd';
        case FormatArg::Kind::Unsigned:
            return 'u';
        case FormatArg::Kind::Double:
            return 'f';
        case FormatArg::Kind::Char:
            return 'c';
        case FormatArg::Kind::NarrowText:
        case FormatArg::Kind::WideText:
            return 's';
        case FormatArg::Kind::Pointer:
            return 'p';
        default:
            return 0;
    }
}

char effectiveConversion(char conv, const FormatArg& a) {
    auto k = a.kind();
    switch (conv) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (isIntegerKind(k) || k == FormatArg::Kind::Pointer)
                return conv;
            return naturalConversion(a);
        case 'c':
        case 'C':
            return isIntegerKind(k) ? 'c' : naturalConversion(a);
        case 's':
        case 'S':
        case 'Z':
            return (k == FormatArg::Kind::NarrowText || k == FormatArg::Kind::WideText)
                       ? 's'
                       : naturalConversion(a);
        case 'p':
            return (k == FormatArg::Kind::Pointer || isIntegerKind(k)) ? 'p' : naturalConversion(a);
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            return k == FormatArg::Kind::Double ? conv : naturalConversion(a);
        default:
            return conv;
    }
}

std::string cSpec(const Spec& s, const char* length, char conv) {
    std::string out = "%";
    out += s.flags;
    if (s.width >= 0)
        out += std::to_string(s.width);
    if (s.precision >= 0)
        out += "." + std::to_string(s.precision);
    out += length;
    out += conv;
    return out;
}

template <class V>
std::string cFormat(const std::string& spec, V value) {
    char small[128];
    int n = snprintf(small, sizeof small, spec.c_str(), value);
    if (n < 0)
        return {};
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    snprintf(big.data(), big.size(), spec.c_str(), value);
    big.resize(static_cast<size_t>(n));
    return big;
}

// Flags that C allows for a conversion (others are dropped rather than passed on).
std::string keepFlags(const std::string& flags, const char* allowed) {
    std::string out;
    for (char f : flags)
        if (std::char_traits<char>::find(allowed, std::char_traits<char>::length(allowed), f))
            out += f;
    return out;
}

template <class Char>
void appendAscii(std::basic_string<Char>& out, const std::string& ascii) {
    for (char c : ascii)
        out.push_back(static_cast<Char>(static_cast<unsigned char>(c)));
}

template <class Char>
void appendPadded(std::basic_string<Char>& out, const std::basic_string<Char>& body, const Spec& s) {
    bool left = s.flags.find('-') != std::string::npos;
    size_t pad = (s.width > 0 && static_cast<size_t>(s.width) > body.size()) ? s.width - body.size() : 0;
    if (!left)
        out.append(pad, static_cast<Char>(' '));
    out += body;
    if (left)
        out.append(pad, static_cast<Char>(' '));
}

template <class Char>
std::basic_string<Char> textOf(const FormatArg& a, int precision) {
    std::basic_string<Char> body;
    if (!a.narrow()) {
        appendAscii(body, "(null)");
        return body;
    }
    if constexpr (std::is_same_v<Char, wchar_t>) {
        if (a.kind() == FormatArg::Kind::WideText)
            body.assign(a.wide(), a.length());
        else
            body = utf8ToWide(std::string_view(a.narrow(), a.length()));
        if (precision >= 0 && body.size() > static_cast<size_t>(precision))
            body.resize(precision);
    } else {
        if (a.kind() == FormatArg::Kind::NarrowText) {
            body.assign(a.narrow(), a.length());
            if (precision >= 0 && body.size() > static_cast<size_t>(precision))
                body.resize(precision);
        } else {
            std::wstring_view w(a.wide(), a.length());
            if (precision >= 0 && w.size() > static_cast<size_t>(precision))
                w = w.substr(0, precision);
            body = wideToUtf8(w);
        }
    }
    return body;
}

template <class Char>
void formatOne(std::basic_string<Char>& out, const Spec& s, const FormatArg& a) {
    char conv = effectiveConversion(s.conv, a);
    switch (conv) {
        case 'd':
        case 'i':
            appendAscii(out, cFormat(cSpec({keepFlags(s.flags, "-+ 0"), s.width, s.precision, 0}, "ll", 'd'),
                                     static_cast<long long>(a.asSigned())));
            return;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            appendAscii(out, cFormat(cSpec({keepFlags(s.flags, "-0#"), s.width, s.precision, 0}, "ll", conv),
                                     static_cast<unsigned long long>(a.asUnsigned())));
            return;
        case 'p': {
            // As Windows prints pointers: upper-case hex, zero-padded to the pointer's width.
            Spec p{keepFlags(s.flags, "-"), s.width, static_cast<int>(sizeof(void*) * 2), 0};
            appendAscii(out, cFormat(cSpec(p, "ll", 'X'), static_cast<unsigned long long>(a.asUnsigned())));
            return;
        }
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            appendAscii(out, cFormat(cSpec({keepFlags(s.flags, "-+ 0#"), s.width, s.precision, 0}, "", conv),
                                     a.asDouble()));
            return;
        case 'c': {
            std::basic_string<Char> body;
            auto code = static_cast<uint32_t>(a.asUnsigned());
            if constexpr (std::is_same_v<Char, wchar_t>) {
                body.push_back(static_cast<wchar_t>(code));
            } else {
                body = wideToUtf8(std::wstring(1, static_cast<wchar_t>(code)));
            }
            appendPadded(out, body, s);
            return;
        }
        case 's':
            appendPadded(out, textOf<Char>(a, s.precision), s);
            return;
        default:
            return;
    }
}

template <class Char>
bool isLengthChar(Char c) {
    return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't' || c == 'w' ||
           c == 'I';
}

template <class Char>
std::basic_string<Char> formatImpl(const Char* format, const FormatArg* args, size_t count) {
    std::basic_string<Char> out;
    if (!format)
        return out;
    size_t next = 0;
    auto takeArg = [&]() -> const FormatArg* { return next < count ? &args[next++] : nullptr; };
    const Char* p = format;
    while (*p) {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        const Char* start = p++;
        if (*p == '%') {
            out.push_back(static_cast<Char>('%'));
            ++p;
            continue;
        }
        Spec s;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
            if (s.flags.find(static_cast<char>(*p)) == std::string::npos)
                s.flags += static_cast<char>(*p);
            ++p;
        }
        if (*p == '*') {
            const FormatArg* w = takeArg();
            int64_t v = w ? w->asSigned() : 0;
            if (v < 0) {
                s.flags += '-';
                v = v < -4096 ? 4096 : -v;
            }
            s.width = static_cast<int>(v > 4096 ? 4096 : v);
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                s.width = (s.width < 0 ? 0 : s.width) * 10 + (*p - '0');
                if (s.width > 4096)
                    s.width = 4096;
                ++p;
            }
        }
        if (*p == '.') {
            ++p;
            s.precision = 0;
            if (*p == '*') {
                const FormatArg* pr = takeArg();
                int64_t v = pr ? pr->asSigned() : 0;
                s.precision = v < 0 ? -1 : static_cast<int>(v > 4096 ? 4096 : v);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    s.precision = s.precision * 10 + (*p - '0');
                    if (s.precision > 4096)
                        s.precision = 4096;
                    ++p;
                }
            }
        }
        while (isLengthChar(*p)) {
            if (*p == 'I') {
                // I, I32, I64
                ++p;
                if ((p[0] == '3' && p[1] == '2') || (p[0] == '6' && p[1] == '4'))
                    p += 2;
            } else {
                ++p;
            }
        }
        if (!*p) {
            out.append(start, p);
            break;
        }
        // A conversion character outside ASCII is no conversion at all: it prints as
        // it stands (a plain cut to 8 bits would turn U+0164 into 'd').
        if (static_cast<std::make_unsigned_t<Char>>(*p) > 0x7F) {
            ++p;
            out.append(start, p);
            continue;
        }
        s.conv = static_cast<char>(*p++);
        switch (s.conv) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o':
            case 'c':
            case 'C':
            case 's':
            case 'S':
            case 'Z':
            case 'p':
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                const FormatArg* a = takeArg();
                if (a)
                    formatOne(out, s, *a);
                break;
            }
            case 'n':
                takeArg();
                break;
            default:
                out.append(start, p);
                break;
        }
    }
    return out;
}

}  // namespace

std::wstring formatArgs(const wchar_t* format, const FormatArg* args, size_t count) {
    return formatImpl(format, args, count);
}

std::string formatArgs(const char* format, const FormatArg* args, size_t count) {
    return formatImpl(format, args, count);
}

}  // namespace kitbase
