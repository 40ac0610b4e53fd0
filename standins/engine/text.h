#pragma once
// Small text helpers of the engine: UTF-8 <-> wide conversion and list parsing.
#include <string>
#include <string_view>
#include <vector>

namespace qv {

std::string toUtf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view text);
std::string trim(std::string_view text);
// Splits at `separator`; parts are trimmed and empty parts dropped.
std::vector<std::string> splitList(std::string_view text, char separator);
std::string lowerAscii(std::string_view text);
// Parses a whole decimal number (no sign); false when the text is anything else.
bool parseNumber(std::string_view text, uint64_t& value);

}  // namespace qv
