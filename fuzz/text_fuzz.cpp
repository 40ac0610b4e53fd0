// The UTF-8 codec (a decoded text encodes and decodes to itself) and the formatter with
// the input as a format text of either width.
#include <string>

#include "fuzz_support.h"
#include "kitbase/platform/format.h"
#include "kitbase/platform/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string narrow(reinterpret_cast<const char*>(data), size);
    std::wstring wide = kitbase::utf8ToWide(narrow);
    std::string again = kitbase::wideToUtf8(wide);
    if (kitbase::utf8ToWide(again) != wide)
        fuzzsupport::fail("decoded text does not read back the same");

    // Raw wide units too (surrogates, values past U+10FFFF).
    std::wstring units;
    for (size_t i = 0; i + 3 < size; i += 4)
        units.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8) | (data[i + 2] << 16) |
                                             (static_cast<uint32_t>(data[i + 3]) << 24)));
    std::string encoded = kitbase::wideToUtf8(units);
    if (kitbase::wideToUtf8(kitbase::utf8ToWide(encoded)) != encoded)
        fuzzsupport::fail("encoded text does not read back the same");

    const kitbase::FormatArg args[] = {kitbase::FormatArg(-7),          kitbase::FormatArg(narrow),
                                       kitbase::FormatArg(3.25),        kitbase::FormatArg(wide),
                                       kitbase::FormatArg(0xFFFFFFFFu), kitbase::FormatArg(INT64_MIN),
                                       kitbase::FormatArg(&size),       kitbase::FormatArg(L'x')};
    const size_t count = sizeof args / sizeof args[0];
    (void)kitbase::formatArgs(narrow.c_str(), args, count);
    (void)kitbase::formatArgs(wide.c_str(), args, count);
    (void)kitbase::formatArgs(units.c_str(), args, count);
    return 0;
}
