#include "kitbase/core/tokenizer.h"

template class _Tokenizer<std::wstring, wchar_t>;
template class _Tokenizer<std::string, char>;

namespace {

template <class String>
unsigned int explode(const String& text, const String& delims, std::vector<String>& out) {
    _Tokenizer<String, typename String::value_type> tokenizer(text, delims);
    tokenizer.Explode(out, true);
    return static_cast<unsigned int>(out.size());
}

}  // namespace

unsigned int Explode(const std::wstring& text, const std::wstring& delims, std::vector<std::wstring>& out) {
    return explode(text, delims, out);
}

unsigned int Explode(const std::string& text, const std::string& delims, std::vector<std::string>& out) {
    return explode(text, delims, out);
}

int ExplodeVersion(const std::wstring& text, std::vector<std::wstring>& parts) {
    return static_cast<int>(Explode(text, L".", parts));
}

unsigned int ExtractTokens(const std::wstring& text, const std::wstring& open, const std::wstring& close,
                           std::vector<std::wstring>& out) {
    // A part begins behind the whole opening marker and the next search behind the
    // whole closing one (for one-character markers: one character behind each).
    if (open.empty() || close.empty())
        return static_cast<unsigned int>(out.size());
    size_t from = 0;
    for (;;) {
        const auto start = text.find(open, from);
        if (start == std::wstring::npos)
            break;
        const auto begin = start + open.size();
        const auto end = text.find(close, begin);
        if (end == std::wstring::npos)
            break;
        out.push_back(text.substr(begin, end - begin));
        from = end + close.size();
    }
    return static_cast<unsigned int>(out.size());
}
