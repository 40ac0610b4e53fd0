#pragma once
// The delimiter tokenizer and its front ends.
#include <string>
#include <vector>

#include "kitbase/export.h"

namespace kitbase::detail {
// Removes blank, tab, line feed and carriage return at both ends of `s`.
template <class String>
void trimBlanks(String& s) {
    using Char = typename String::value_type;
    static const Char set[] = {Char(' '), Char('\t'), Char('\n'), Char('\r'), Char(0)};
    const auto last = s.find_last_not_of(set);
    if (last == String::npos) {
        s.clear();
        return;
    }
    s.erase(last + 1);
    s.erase(0, s.find_first_not_of(set));
}
}  // namespace kitbase::detail

// Cuts a text into tokens at any character of a delimiter set. Runs of delimiters
// count as one; leading and trailing delimiters give no empty tokens.
template <class String, class Char>
class KITBASE_API _Tokenizer {
public:
    _Tokenizer(const String& text, const String& delimiters) : text_(text), delimiters_(delimiters) {}
    virtual ~_Tokenizer() = default;

    // Reads the next token into `token`. Returns the token's start in the text, or
    // -1 when the text is used up (and, with an empty delimiter set, together with
    // the rest of the text as the token).
    int GetNextToken(String& token) {
        if (text_.empty()) {
            token.clear();
            exhausted_ = true;
            position_ = String::npos;
            return -1;
        }
        if (position_ == String::npos) {
            token.clear();
            exhausted_ = true;
            return -1;
        }
        if (delimiters_.empty()) {
            token = text_.substr(position_);
            token_ = token;
            return -1;
        }
        if (delimiters_.find(text_[position_]) != String::npos) {
            position_ = text_.find_first_not_of(delimiters_, position_);
            if (position_ == String::npos) {
                token.clear();
                token_.clear();
                return -1;
            }
        }
        const auto start = position_;
        const auto end = text_.find_first_of(delimiters_, start);
        if (end != String::npos) {
            token = text_.substr(start, end - start);
            position_ = text_.find_first_not_of(delimiters_, end);
        } else {
            token = text_.substr(start);
            position_ = String::npos;
        }
        token_ = token;
        return static_cast<int>(start);
    }

    // Appends every token to `out` (trimmed of blank, tab, CR and LF at both ends
    // when `trim` is set; a token of blanks is appended as an empty string). Returns
    // the number of tokens appended.
    int Explode(std::vector<String>& out, bool trim) {
        int count = 0;
        String token;
        for (;;) {
            const int result = GetNextToken(token);
            if (!token.empty()) {
                if (trim)
                    kitbase::detail::trimBlanks(token);
                out.push_back(token);
                ++count;
            }
            if (result == -1)
                break;
        }
        return count;
    }

private:
    String token_;
    String text_;
    String delimiters_;
    typename String::size_type position_ = 0;
    bool exhausted_ = false;
};

extern template class _Tokenizer<std::wstring, wchar_t>;
extern template class _Tokenizer<std::string, char>;

// Tokenizes `text` at any character of `delims`, trims every token of blank, tab, CR
// and LF and appends it to `out`; returns the size of `out` afterwards.
KITBASE_API unsigned int Explode(const std::wstring& text, const std::wstring& delims,
                                 std::vector<std::wstring>& out);
KITBASE_API unsigned int Explode(const std::string& text, const std::string& delims,
                                 std::vector<std::string>& out);

// Explode at ".".
KITBASE_API int ExplodeVersion(const std::wstring& text, std::vector<std::wstring>& parts);

// Appends every part of `text` that stands between an `open` and the next `close`;
// returns the size of `out` afterwards. An unmatched `open` ends the search.
KITBASE_API unsigned int ExtractTokens(const std::wstring& text, const std::wstring& open,
                                       const std::wstring& close, std::vector<std::wstring>& out);
