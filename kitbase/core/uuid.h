#pragma once
// UUID texts: creation of random UUIDs and a quick plausibility check.
#include <string>

#include "kitbase/export.h"

// Creates a random UUID and stores its text form in `out`: 36 characters, lower-case
// hexadecimal, hyphens after the 8th, 12th, 16th and 20th digit. 0 ok; 1 when no
// random bytes could be had (`out` unchanged).
KITBASE_API unsigned int generateUUIDString(std::wstring& out);
// A new UUID text, empty on failure.
KITBASE_API std::wstring generateUUID();
// False for a text shorter than 33 characters or one holding a character above "f";
// otherwise true when it holds exactly four "-".
KITBASE_API bool isUUIDValid(const std::wstring& text);
