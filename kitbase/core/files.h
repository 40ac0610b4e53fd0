#pragma once
// File helpers: temporary names, tests and dates of files, copying, listing and
// deleting files by wildcard pattern, the raw content of the configuration and log
// files for the command channel, and taking ownership of a folder so that only
// administrators may change it. All paths are wide texts; nothing keeps state.
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kitbase/core/index_file.h"
#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

// Makes a fresh name for a temporary file in the product's temporary folder: the
// decimal text of a random 32-bit number followed by ".tmp". The file is created, empty,
// exclusively and readable by its owner only, so that the name cannot be taken over. A
// name is never handed out twice by one process, and a name that exists on disk is
// skipped. Safe to call from several threads. Returns the number used.
KITBASE_API unsigned int GenerateTmpFileName(std::wstring& path);
KITBASE_API std::wstring GenerateTmpFileName();

// True when the MD5 digest of the file is not empty and equals `md5` exactly.
KITBASE_API bool checkHash(const std::wstring& path, const std::wstring& md5);

// True when the path can be queried (files and folders alike).
KITBASE_API bool fileExists(const std::wstring& path);
// True when the path can be queried and names a folder.
KITBASE_API bool isDirectory(const std::wstring& path);
KITBASE_API bool isDirectory(const struct stat& status);
// True when the path is a regular file (not a folder, symbolic link, FIFO, socket or
// device) that can be opened for reading. Never blocks and never follows a link.
KITBASE_API bool isRegularFile(const std::wstring& path);
KITBASE_API bool isRegularFile(const struct stat& status);
// Always false.
KITBASE_API bool isHardLink(const struct stat& status);

// Size in bytes (the low 32 bits), or -1 (all bits set) when the query fails.
KITBASE_API uint32_t tgetFileSize(const std::wstring& path);
// Creation time in seconds since 1970 (the earliest time the file system records
// when it keeps no birth time), or -1.
KITBASE_API int64_t tgetFileCDate(const std::wstring& path);
// Last-modification time in seconds since 1970, or -1.
KITBASE_API int64_t tgetFileMDate(const std::wstring& path);
KITBASE_API int64_t getChangedTime(const std::wstring& path);

// Results of copyfile.
constexpr unsigned int COPYFILE_OK = 0;
constexpr unsigned int COPYFILE_CANNOT_OPEN = 1;
constexpr unsigned int COPYFILE_FAILED = 2;

// Copies the bytes of `from` into `to` (created or emptied). Result: 0 copied; 1 a
// file could not be opened; 2 reading, writing or closing failed, or both paths name
// the same file (a partially written regular target is removed).
KITBASE_API unsigned int copyfile(const std::wstring& from, const std::wstring& to);

// Deletes the entries of `folder` that match the wildcard `pattern` (except "." and
// ".."); folders that match are not deleted and log a failure. Returns the number of
// entries deleted.
KITBASE_API int removeFiles(const std::wstring& folder, const std::wstring& pattern);

// Lists the regular, readable files of `folder` that match the wildcard `pattern`,
// in directory order, as full paths (folder / name) or bare names. `out` is cleared
// once the first matching entry is found and left as it was when nothing matches.
// Never follows symbolic links and never blocks on FIFOs. Returns the count listed.
KITBASE_API int listFiles(const std::wstring& folder, const std::wstring& pattern,
                          std::vector<std::wstring>& out, bool fullPath);

// The whole file, bytes as stored. 0 read; non-zero not readable.
KITBASE_API unsigned int getConfFileContent(const std::wstring& path, std::string& content);
// The whole file, bytes as stored, in `content`; `extra` is cleared. 0 read;
// non-zero not readable.
KITBASE_API unsigned int getLogFileContent(const std::wstring& path, std::string& content,
                                           std::string& extra);

// Switches a named privilege on or off for the calling thread. Privileges map to the
// Linux capabilities that grant the same right ("SeTakeOwnershipPrivilege" is
// CAP_CHOWN); switching on needs the capability in the thread's permitted set. The
// token stands for the calling thread's credentials (Linux keeps capabilities per
// thread) and may be null. TRUE when the privilege was switched as asked.
KITBASE_API BOOL SetPrivilege(HANDLE token, const wchar_t* privilege, BOOL enable);

// Makes a folder changeable by administrators only: owner root (uid and gid 0),
// mode 0755 (read and traverse for everyone, write for the owner alone). A folder
// already owned by root only gets its mode set; any other owner is replaced by root
// with the take-ownership privilege. TRUE when the folder ends up that way.
KITBASE_API BOOL TakeOwnership(const wchar_t* path);
