#pragma once
// Base64 with the standard alphabet and "=" padding.
#include <string>

#include "kitbase/export.h"

class KITBASE_API Base64 {
public:
    static std::string encode(const std::string& bytes);
    // White space and "=" are skipped wherever they stand; any other character
    // outside the alphabet (any byte of 128 or above included) makes the result
    // empty. Bits left over at the end are dropped.
    static std::string decode(const std::string& text);
    // Base64 of the UTF-8 bytes of `text`.
    static std::wstring encode(const std::wstring& text);
    // Decodes `text` and reads the decoded bytes as UTF-8 text.
    static std::wstring decode(const std::wstring& text);
};
