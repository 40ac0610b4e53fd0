// The date readers and the string helpers on outside text.
#include <string>
#include <vector>

#include "kitbase/core/datetime.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/tokenizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring text = S2WS(std::string(reinterpret_cast<const char*>(data), size));
    size_t cut = text.find(L'|');
    std::wstring a = text.substr(0, cut),
                 b = cut == std::wstring::npos ? std::wstring() : text.substr(cut + 1);

    (void)extractTime(a);
    (void)extractTime2(a);
    (void)extractTimeFromYYMMDD(a);
    (void)GetDateTime(a);
    (void)compareDates(a, b);
    (void)WS2I(a);
    (void)WS2T(a);

    std::vector<std::wstring> parts;
    Explode(a, b.empty() ? L"," : b, parts);
    parts.clear();
    ExtractTokens(a, b.substr(0, 2), b.size() > 2 ? b.substr(2, 2) : L"'", parts);
    (void)split(a, L';');
    std::wstring trimmed = a;
    ttrim_all(trimmed);
    std::wstring replaced = a;
    if (!b.empty())
        replaceall(replaced, b.substr(0, 3), L"<>");
    (void)lower(a);
    (void)upper(a);
    return 0;
}
