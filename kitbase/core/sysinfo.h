#pragma once
// Facts about the machine: which Windows release it presents (version tests, a version
// label, server or client edition, 64-bit), version texts of files and of the package
// and their comparison, and the machine identifier. The version label and the machine
// identifier are computed once and kept.
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

// The release is at least major.minor with the given service pack (the three numbers
// compared together, major first).
KITBASE_API bool IsWindowsVersionOrGreater(WORD major, WORD minor, WORD servicePackMajor);
// Version 6.1 exactly.
KITBASE_API bool IsExactlyWindows7();
// Windows 7 with service pack 1 or later, and version 6.1.
KITBASE_API bool IsWindows7();
// The registry's "CurrentVersion" is "6.3" (Windows 10 and later).
KITBASE_API bool IsWindows10();
// Windows 10 with build 18323 or later.
KITBASE_API bool IsWindows10RS5AndAbove();
// The registry's "InstallationType" contains "Server" / "Client".
KITBASE_API bool isServer();
KITBASE_API bool isClient();
// The operating system is a 64-bit one.
KITBASE_API bool Is64BitWindows();

// The label of the release ("10RS5+", "10+", "8.1+", ..., "XP", or "Unknown OS"):
// computed on each call of the first form, once for the process by the second.
KITBASE_API void getOSVersion(std::wstring& out);
KITBASE_API const std::wstring& getOSVersion();

// The file version of a binary as "a.b.c.d": 0 ok; 1 when the file has no version
// information (`out` is then "0.0.0.0").
KITBASE_API unsigned int getFileVersionInfo(const std::wstring& path, std::wstring& out);
// The first line of the package's "version.txt" in the program folder (at most 253
// characters, with its line feed when it has one): 1 when a line was read, 0 when the
// file is missing or empty. `name` is not used.
KITBASE_API unsigned int getPackageVersion(const std::wstring& name, std::wstring& out);
// Compares two dotted version texts part by part as numbers (a missing part counts as
// 0): 1 when a is higher, -1 when lower, 0 when equal.
KITBASE_API int compareVersions(const std::wstring& a, const std::wstring& b);

// The machine's identifier: a UUID kept as "MaschineId" in the product's key and in
// the service's key, created there on first need.
KITBASE_API const std::wstring& getMaschineID();
