#include "kitbase/platform/wildcard.h"

#include <cwctype>
#include <vector>

namespace kitbase {

namespace {

// The pattern's elements after the listing's rewrite of "*", "?" and ".".
enum class Token { Literal, Star, StarToLastDot, QuestionMark, DotOrEnd };

struct Element {
    Token token;
    wchar_t ch;
};

wchar_t fold(wchar_t c) {
    if (c < 0x80)
        return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
}

std::vector<Element> compile(std::wstring_view pattern) {
    std::vector<Element> out;
    out.reserve(pattern.size());
    for (size_t i = 0; i < pattern.size(); ++i) {
        wchar_t c = pattern[i];
        wchar_t next = i + 1 < pattern.size() ? pattern[i + 1] : L'\0';
        if (c == L'?')
            out.push_back({Token::QuestionMark, c});
        else if (c == L'*')
            out.push_back({next == L'.' ? Token::StarToLastDot : Token::Star, c});
        else if (c == L'.' && (next == L'*' || next == L'?' || i + 1 == pattern.size()))
            out.push_back({Token::DotOrEnd, c});
        else
            out.push_back({Token::Literal, fold(c)});
    }
    return out;
}

class Matcher {
public:
    Matcher(std::vector<Element> pattern, std::wstring_view name)
        : pattern_(std::move(pattern)), name_(name), memo_((pattern_.size() + 1) * (name.size() + 1), 0) {
        lastDot_ = name_.rfind(L'.');
    }

    bool run() { return match(0, 0); }

private:
    // Memoised so that patterns with many stars stay within pattern times name.
    bool match(size_t p, size_t n) {
        char& seen = memo_[p * (name_.size() + 1) + n];
        if (seen)
            return seen == 2;
        bool result = step(p, n);
        seen = result ? 2 : 1;
        return result;
    }

    bool step(size_t p, size_t n) {
        const size_t len = name_.size();
        if (p == pattern_.size())
            return n == len;
        const Element& e = pattern_[p];
        switch (e.token) {
            case Token::Literal:
                return n < len && fold(name_[n]) == e.ch && match(p + 1, n + 1);
            // A star either ends here or takes one more character: one step per state,
            // so the whole match stays within pattern times name steps.
            case Token::Star:
                return match(p + 1, n) || (n < len && match(p, n + 1));
            case Token::StarToLastDot: {
                // Takes characters but never the name's last dot.
                size_t limit = (lastDot_ != std::wstring_view::npos && lastDot_ >= n) ? lastDot_ : len;
                return match(p + 1, n) || (n < limit && match(p, n + 1));
            }
            case Token::QuestionMark:
                if (n < len && name_[n] != L'.')
                    return match(p + 1, n + 1);
                {
                    // At a dot or the end: the whole run of "?" matches nothing.
                    size_t q = p;
                    while (q < pattern_.size() && pattern_[q].token == Token::QuestionMark)
                        ++q;
                    return match(q, n);
                }
            case Token::DotOrEnd:
                if (n < len)
                    return name_[n] == L'.' && match(p + 1, n + 1);
                return match(p + 1, n);
        }
        return false;
    }

    std::vector<Element> pattern_;
    std::wstring_view name_;
    std::vector<char> memo_;
    size_t lastDot_;
};

}  // namespace

bool wildcardMatch(std::wstring_view pattern, std::wstring_view name) {
    if (pattern.empty())
        return false;
    Matcher m(compile(pattern), name);
    return m.run();
}

}  // namespace kitbase
