#pragma once
// Text helpers used across the system: conversion between wide text and UTF-8,
// decimal numbers, ASCII case mapping, trimming, splitting and replacing, and the
// buffer records that feed or collect bytes in transfer callbacks. The delimiter
// tokenizer and its front ends live in tokenizer.h (included here).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kitbase/core/tokenizer.h"
#include "kitbase/export.h"

// UTF-8 to wide text and back. Invalid sequences become U+FFFD; NUL characters are
// converted like any other character.
KITBASE_API std::wstring S2WS(const std::string& s);
KITBASE_API std::string WS2S(const std::wstring& s);

// Decimal text of an unsigned 32-bit number ("0" for 0, no sign, no grouping).
KITBASE_API std::wstring I2WS(uint32_t n);
KITBASE_API std::string I2S(uint32_t n);
// Decimal text of a signed 64-bit number ("-" for negatives).
KITBASE_API std::wstring T2WS(long long n);
KITBASE_API std::string T2S(long long n);

// Reads an unsigned 32-bit decimal number the way a stream does: leading white space
// is skipped, an optional sign is accepted (a "-" negates modulo 2^32, so "-1" gives
// 4294967295), reading stops at the first character that is no digit. 0 when no
// digit can be read; 4294967295 when the number does not fit.
KITBASE_API uint32_t WS2I(const std::wstring& s);
KITBASE_API uint32_t S2I(const std::string& s);
// The same for a signed 64-bit number; out-of-range values give the nearest limit.
KITBASE_API long long WS2T(const std::wstring& s);
KITBASE_API long long S2T(const std::string& s);

// Case mapping of A-Z / a-z only; every other character is kept as it is.
KITBASE_API std::wstring lower(const std::wstring& s);
KITBASE_API std::string lower(const std::string& s);
KITBASE_API std::wstring upper(const std::wstring& s);

// Trimming modes: bit 1 trims the start, bit 2 the end.
constexpr int TRIM_LEFT = 1;
constexpr int TRIM_RIGHT = 2;
constexpr int TRIM_BOTH = 3;

// Removes the characters of `chars` from the start and/or the end of `s` (by
// `mode`), in place; returns a copy of the result.
KITBASE_API std::wstring terase_trails(std::wstring& s, const std::wstring& chars, int mode);
KITBASE_API std::string erase_trails(std::string& s, const std::string& chars, int mode);
// The same with the set of blank and line feed.
KITBASE_API std::wstring ttrim(std::wstring& s, int mode);
KITBASE_API std::string trim(std::string& s, int mode);
// Removes blank, tab, line feed and carriage return at both ends.
KITBASE_API std::wstring ttrim_all(std::wstring& s);
KITBASE_API std::string ttrim_all(std::string& s);

// Removes every occurrence of every character of `chars`, anywhere in `s`.
KITBASE_API void RemoveChars(std::wstring& s, const std::wstring& chars);

// Splits at `sep` like a line reader: "a,b,,c" gives a, b, "", c; a final separator
// adds no empty item; an empty text gives no item.
KITBASE_API std::vector<std::wstring> split(const std::wstring& s, wchar_t sep);
KITBASE_API std::vector<std::string> split(const std::string& s, char sep);

// Replaces every occurrence of `from` by `to`, searching on behind each inserted
// text; returns the number of replacements (0 for an empty `from`).
KITBASE_API unsigned int replaceall(std::wstring& s, const std::wstring& from, const std::wstring& to);
KITBASE_API unsigned int replaceall(std::string& s, const std::string& from, const std::string& to);

// Splits "attr<sep>val" at the first `sep`: 0 with both outputs set, 1 (outputs
// unchanged) when `sep` does not occur. `val` starts one character behind the start
// of `sep`.
KITBASE_API int ExplodeAttrVal(const std::wstring& text, const std::wstring& sep, std::wstring& attr,
                               std::wstring& val);
KITBASE_API int ExplodeAttrEqualVal(const std::wstring& text, std::wstring& attr, std::wstring& val);

// State of a transfer callback that hands out bytes: the next byte to deliver and
// the number of bytes still to deliver. Does not own the bytes.
struct KITBASE_API ReadThis {
    const char* readptr = nullptr;
    size_t sizeleft = 0;
};

// State of a transfer callback that collects bytes: memory obtained with
// malloc/realloc and the number of bytes in it. Owns the memory and frees it; it
// can be moved but not copied, so the memory always has exactly one owner.
struct KITBASE_API WriteThis {
    char* memory = nullptr;
    size_t size = 0;

    WriteThis() = default;
    ~WriteThis();
    WriteThis(const WriteThis&) = delete;
    WriteThis& operator=(const WriteThis&) = delete;
    WriteThis(WriteThis&& other) noexcept;
    WriteThis& operator=(WriteThis&& other) noexcept;
};
