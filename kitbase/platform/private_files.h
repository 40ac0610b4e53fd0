#pragma once
// Files and folders of the product's private data, and the places a root process may
// trust. The service runs as root on machines with other users: its logs, databases and
// records are not readable by others, it never follows a link planted at a fixed name,
// and it takes trust anchors, libraries and programs only from places no other user
// can change.
#include <string>

#include "kitbase/export.h"

namespace kitbase {

// Private data: the owner reads and writes, the group reads, others nothing.
inline constexpr unsigned kPrivateFolderMode = 0750;
inline constexpr unsigned kPrivateFileMode = 0640;
// Secrets and records no one else needs to read.
inline constexpr unsigned kSecretFileMode = 0600;

// Creates the folder and its missing parents with exactly `mode` (whatever the umask).
// A folder that exists already is used only when it is owned by root or by the
// effective user and not writable by group or others; otherwise false with the last
// error 5 and the reason in `why`.
KITBASE_API bool ensurePrivateFolder(const std::string& path, unsigned mode = kPrivateFolderMode,
                                     std::string* why = nullptr);

// Opens a file for appending, creating it with exactly `mode` when missing, without
// following a symbolic link at its name. For a root process the folder must be a
// trusted place (see isTrustedPlace). -1 with errno set on failure.
KITBASE_API int openPrivateAppend(const std::string& path, unsigned mode = kPrivateFileMode);

// Creates `path` as a new file with exactly `mode`, never through a symbolic link and
// never opening an existing file (with `removeStale`, a stale file or link of that name
// is removed first; otherwise an existing name fails with EEXIST). -1 with errno set on
// failure.
KITBASE_API int createExclusive(const std::string& path, unsigned mode, bool removeStale = true);

// Writes `content` into a new private temporary file beside `path` (unique name,
// exclusive create), syncs it and renames it over `path`; the file gets `mode`.
// False with errno set on failure (nothing is left behind).
KITBASE_API bool writeFileAtomically(const std::string& path, const std::string& content, unsigned mode);

// True when a root process may trust what lies at `path`: it and every folder above it
// up to "/" are owned by root or by the effective user and are not writable by group or
// others (a folder with the sticky bit, such as /tmp, may be, since no one can replace
// what others put in it). Always true for a process that is not root. `why` names the
// first place that fails.
KITBASE_API bool isTrustedPlace(const std::string& path, std::string* why = nullptr);

// A variable that exists for the tests: read with secure_getenv, and honoured only while
// KITBASE_ROOT names a data root of the tests' own. Empty otherwise.
KITBASE_API std::string testOverride(const char* name);

}  // namespace kitbase
