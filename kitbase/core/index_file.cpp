#include "kitbase/core/index_file.h"

#include "kitbase/core/sha256.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"

namespace {

constexpr unsigned int kFailed = static_cast<unsigned int>(-1);

// Reads one piece of a line as UTF-8 bytes: up to and including the next LF, at
// most kMaxLineChars characters (a character is a UTF-8 lead byte with its
// continuation bytes). CR LF becomes LF. `atEnd` tells whether the read hit the end
// of the file (or an error), as a text-mode line read would report it. False when
// nothing was read.
bool readPiece(FILE* file, std::string& bytes, bool& atEnd) {
    bytes.clear();
    size_t chars = 0;
    for (;;) {
        int c = getc(file);
        if (c == EOF)
            break;
        const bool lead = (c & 0xC0) != 0x80;
        if (lead) {
            if (chars == kMaxLineChars) {
                ungetc(c, file);
                break;
            }
            ++chars;
        }
        if (c == '\r') {
            int next = getc(file);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                ungetc(next, file);
        }
        bytes.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
    }
    atEnd = feof(file) || ferror(file);
    return !bytes.empty();
}

}  // namespace

unsigned int readText(FILE* file, std::wstring& line) {
    if (!file)
        return kFailed;
    std::string bytes;
    bool atEnd = false;
    if (!readPiece(file, bytes, atEnd))
        return kFailed;
    std::wstring text = S2WS(bytes);
    if (!text.empty() && text.back() == L'\n')
        text.pop_back();
    line = text;
    return line.empty() ? 1 : 0;
}

unsigned int readInt(FILE* file, uint32_t* value) {
    if (!value)
        return kFailed;
    std::wstring line;
    if (readText(file, line) != 0) {
        *value = 0;
        return 1;
    }
    *value = WS2I(line);
    return 0;
}

unsigned int readIDXFile(const std::wstring& path, std::vector<std::wstring>& lines, unsigned int n) {
    __trace__.debug(L"Reading IDX file %ls", path);
    // Binary mode: line ends are normalised by readPiece.
    FILE* file = fopen(WS2S(path).c_str(), "rbe");
    if (!file) {
        __trace__.debug(L"Cannot read the file to parse the content:'%ls'", path);
        return kFailed;
    }

    std::wstring digestText;
    std::wstring expected;
    unsigned int count = 0;
    std::string bytes;
    bool atEnd = false;
    while (readPiece(file, bytes, atEnd) && !atEnd) {
        std::wstring text = S2WS(bytes);
        if (text.size() < 2)
            break;
        if (count < n)
            digestText += text;
        if (text.back() == L'\n')
            text.pop_back();
        ++count;
        expected = text;
        lines.push_back(std::move(text));
    }
    fclose(file);

    // Exactly n content lines and then the digest line: a line between them would be
    // returned without being covered by the digest.
    SHA_256 sha;
    if (count != n + 1 || sha.calculateText(digestText) != expected) {
        __trace__.error(L"Hash mismatch: the downloaded file has a different hash than the one in the file");
        return kFailed;
    }
    return static_cast<unsigned int>(lines.size());
}
