#pragma once
// Type-safe printf-style formatting. The system's format texts are used as written
// ("%ls", "%d", "%08lx", ...), but every conversion takes its value and its width
// from the actual argument:
//   - %s, %ls, %S, %hs print a narrow (UTF-8) or a wide text, whichever is passed;
//   - %d/%i print the argument as a signed number of its own width (a DWORD of
//     0xFFFFFFFF prints -1), %u/%x/%X/%o as an unsigned one of its own width;
//   - length modifiers (h, l, ll, I64, z, ...) are accepted and ignored;
//   - an argument of another kind than the conversion asks for is printed in its
//     natural form; a missing argument prints nothing; %n writes nothing.
// A format must be a compile-time text (a literal or a constexpr pointer): text from
// outside is only ever an argument.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "kitbase/export.h"

namespace kitbase {

// One argument of a formatted call, captured by kind and width.
class KITBASE_API FormatArg {
public:
    enum class Kind { None, Signed, Unsigned, Double, Char, NarrowText, WideText, Pointer };

    FormatArg() = default;

    template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
             !std::is_same_v<T, wchar_t> && !std::is_same_v<T, char8_t> && !std::is_same_v<T, char16_t> &&
             !std::is_same_v<T, char32_t>) FormatArg(T v)
        : bits_(static_cast<int>(sizeof(T) * 8)) {
        if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Signed;
            i_ = static_cast<int64_t>(v);
        } else {
            kind_ = Kind::Unsigned;
            u_ = static_cast<uint64_t>(v);
        }
    }
    FormatArg(bool v) : kind_(Kind::Signed), bits_(32) { i_ = v ? 1 : 0; }
    template <class T>
    requires std::is_enum_v<T> FormatArg(T v) : FormatArg(static_cast<std::underlying_type_t<T>>(v)) {}
    FormatArg(char c) : kind_(Kind::Char), bits_(8) { u_ = static_cast<unsigned char>(c); }
    FormatArg(wchar_t c) : kind_(Kind::Char), bits_(32) { u_ = static_cast<uint32_t>(c); }
    FormatArg(char16_t c) : kind_(Kind::Char), bits_(16) { u_ = c; }
    FormatArg(char32_t c) : kind_(Kind::Char), bits_(32) { u_ = c; }
    template <class T>
    requires std::is_floating_point_v<T> FormatArg(T v) : kind_(Kind::Double) { d_ = static_cast<double>(v); }
    FormatArg(const char* s) : kind_(Kind::NarrowText) {
        setText(s, s ? std::char_traits<char>::length(s) : 0);
    }
    FormatArg(const wchar_t* s) : kind_(Kind::WideText) {
        setText(s, s ? std::char_traits<wchar_t>::length(s) : 0);
    }
    FormatArg(const std::string& s) : kind_(Kind::NarrowText) { setText(s.data(), s.size()); }
    FormatArg(const std::wstring& s) : kind_(Kind::WideText) { setText(s.data(), s.size()); }
    FormatArg(std::string_view s) : kind_(Kind::NarrowText) { setText(s.data(), s.size()); }
    FormatArg(std::wstring_view s) : kind_(Kind::WideText) { setText(s.data(), s.size()); }
    FormatArg(std::nullptr_t) : kind_(Kind::Pointer) { p_ = nullptr; }
    template <class T>
    requires(!std::is_same_v<std::remove_cv_t<T>, char> && !std::is_same_v<std::remove_cv_t<T>, wchar_t>)
        FormatArg(T* p)
        : kind_(Kind::Pointer) {
        p_ = static_cast<const void*>(p);
    }

    Kind kind() const { return kind_; }
    int bits() const { return bits_; }
    int64_t asSigned() const;     // value as a signed number of the argument's width
    uint64_t asUnsigned() const;  // value as an unsigned number of the argument's width
    double asDouble() const { return d_; }
    const void* pointer() const { return p_; }
    const char* narrow() const { return static_cast<const char*>(p_); }
    const wchar_t* wide() const { return static_cast<const wchar_t*>(p_); }
    size_t length() const { return len_; }

private:
    void setText(const void* p, size_t n) {
        p_ = p;
        len_ = n;
    }

    Kind kind_ = Kind::None;
    int bits_ = 64;
    union {
        int64_t i_;
        uint64_t u_ = 0;
        double d_;
    };
    const void* p_ = nullptr;
    size_t len_ = 0;
};

// A format text that is known at compile time.
template <class Char>
struct BasicFormatText {
    const Char* text;
    consteval BasicFormatText(const Char* s) : text(s) {}
};
using WFormat = BasicFormatText<wchar_t>;
using NFormat = BasicFormatText<char>;

// The runtime side; `args` holds `count` arguments.
KITBASE_API std::wstring formatArgs(const wchar_t* format, const FormatArg* args, size_t count);
KITBASE_API std::string formatArgs(const char* format, const FormatArg* args, size_t count);

template <class... A>
std::wstring wformat(WFormat format, const A&... args) {
    const FormatArg list[] = {FormatArg(args)..., FormatArg()};
    return formatArgs(format.text, list, sizeof...(A));
}

template <class... A>
std::string nformat(NFormat format, const A&... args) {
    const FormatArg list[] = {FormatArg(args)..., FormatArg()};
    return formatArgs(format.text, list, sizeof...(A));
}

}  // namespace kitbase
