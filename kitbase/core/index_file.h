#pragma once
// Reading text lines from open files, and the product update index file (".idx"):
// n content lines followed by an integrity line holding the SHA-256 of those lines.
//
// Files are UTF-8 text; a CR LF on disk reads as one LF. A line is read in pieces of
// at most kMaxLineChars characters; a longer line yields several pieces.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kitbase/export.h"

// Longest piece of a line that one read returns, in characters (line end included).
constexpr size_t kMaxLineChars = 1022;

// Reads the index file at `path`: the first n lines are the content, the next line
// the lower-case hex SHA-256 of the content lines with their LF line ends. A line
// without a line end at the end of the file and everything after an empty line are
// not read. Appends every line read (without its LF) to `lines`, which is not
// cleared first. Result: the number of entries in `lines` when the digest matches;
// -1 (all bits set) when the file cannot be opened or the digest does not match
// (then `lines` keeps what was read).
KITBASE_API unsigned int readIDXFile(const std::wstring& path, std::vector<std::wstring>& lines,
                                     unsigned int n);

// Reads one line (at most kMaxLineChars characters) and stores it without its
// trailing LF in `line`. Result: 0 a line was read; 1 an empty line was read (`line`
// is then empty); -1 (all bits set) at the end of the file, on a read error or for a
// null file (`line` unchanged).
KITBASE_API unsigned int readText(FILE* file, std::wstring& line);

// Reads one line and converts it to an unsigned 32-bit number (leading blanks
// skipped, reading stops at the first non-digit; 0 when nothing parses). Result: 0
// read; 1 no line (value set to 0); -1 (all bits set) when `value` is null.
KITBASE_API unsigned int readInt(FILE* file, uint32_t* value);
