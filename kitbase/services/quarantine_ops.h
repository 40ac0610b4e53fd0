#pragma once
// The file operations of the quarantine store: the scrambled copy, deleting with
// retries, moving at the next start, and restoring, deleting and trying out
// quarantine entries.
#include <cstdint>
#include <string>

#include "kitbase/export.h"

// The scrambling constant: every 16-bit little-endian unit of a file is XORed with it
// (so only the first byte of each pair changes; a final odd byte is XORed alone).
constexpr uint16_t QUARANTINE_SCRAMBLE_KEY = 0x2B;

// Writes the scrambled (or, for a scrambled source, the plain) form of the regular file
// `source` into `destination`, replacing it. True when every byte was read, written
// and the destination closed; on failure a partly written destination is removed. A
// source that is no regular file, and a source and destination that are the same
// file, are refused.
KITBASE_API bool SecureCopyFile(const std::wstring& source, const std::wstring& destination);

// Deletes a file, up to ten tries 500 ms apart. 0 deleted; 1 the file does not exist;
// otherwise the number of failed tries (never 0 while the file is still there).
KITBASE_API uint32_t SmartDeleteFile(const std::wstring& path);
// The pause between two tries of SmartDeleteFile in milliseconds (500 unless changed);
// returns the previous value. For tests.
KITBASE_API uint32_t setSmartDeleteRetryDelay(uint32_t milliseconds);

// Records that `source` is to be renamed to `destination` (replacing it) at the next
// start of the service; the file stays where it is until then. 0 recorded, else the
// Windows error code.
KITBASE_API uint32_t SmartMoveFile(const std::wstring& source, const std::wstring& destination);

// Puts a quarantined file back where it was found and removes the entry. 0 restored;
// 1 the index cannot be read, does not name the copy beside it, or the copy back
// failed (the entry is kept); 2 restored but the scrambled copy could not be deleted
// (the index is kept); 3 restored but the index could not be deleted.
KITBASE_API uint32_t restoreQuaFile(const std::wstring& datPath);

// Removes a quarantine entry (scrambled copy and index). 0 removed; 1 the index cannot
// be read or does not name the copy beside it; 3 the index could not be deleted.
KITBASE_API uint32_t deleteQuaFile(const std::wstring& datPath);

// Quarantines a file under the fixed detection "Fake Malware", for trying the
// quarantine out. 0 moved; 1 failed (the source is then kept and no entry is left).
KITBASE_API uint32_t moveToQuaFake(const std::wstring& path);
