#pragma once
// Our UTF-8 codec: narrow UTF-8 bytes to and from wide text (32-bit wchar_t).
// Invalid input is replaced as Windows does it: every maximal ill-formed subpart of
// the bytes becomes one U+FFFD; lone surrogates and values past U+10FFFF in wide
// text become U+FFFD; a UTF-16 surrogate pair in wide text is joined.
#include <string>
#include <string_view>

#include "kitbase/export.h"

namespace kitbase {

KITBASE_API std::wstring utf8ToWide(std::string_view bytes);
KITBASE_API std::string wideToUtf8(std::wstring_view text);

}  // namespace kitbase
