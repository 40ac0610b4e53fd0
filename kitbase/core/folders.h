#pragma once
// The folder layout: every file and folder the system uses is named by one of these
// functions. The getters returning a reference build their path on first use, keep it
// for the life of the process and are safe to call from several threads at once; a
// getter whose result came out empty (for example while the branding library cannot
// be loaded) tries again on its next call. The getters of data folders create their
// folder when they first build it.
//
// Layout: the program folder is the folder of the running executable (it holds the
// sibling programs and the branding library), the scanner folder "Scanner" lies in
// it and the engine folder "engine" in that; the machine-wide data of the product
// lies in the product's folder below the machine-wide data folder.
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/string_table.h"

// Program folder: `out` and the cache get the cached value, else the folder of the
// running executable; returns `out`.
KITBASE_API std::wstring& getWorkingPath(std::wstring& out);
KITBASE_API const std::wstring& getWorkingPath();
// Replaces the program folder; a non-empty value wins over the executable's folder.
// Paths already built from the old value keep it.
KITBASE_API void setWorkingPath(const std::wstring& path);

// Full path of a loaded module (null = the running executable); built on each call.
KITBASE_API std::wstring getThisBinaryPath(HINSTANCE module);

// Product name: branding text 1053 on a server system, else 1028.
KITBASE_API const std::wstring& getproductName();
KITBASE_API const std::wstring& getConfigFile();
KITBASE_API const std::wstring& getScannerPath();
KITBASE_API const std::wstring& getEnginePath();
KITBASE_API const std::wstring& getServiceFileName();
KITBASE_API const std::wstring& getServiceFileVersion();
// Version of the library file itself.
KITBASE_API const std::wstring& getThisFilesVersion();
// Registry path of the service's key (registry paths keep their backslashes); empty
// while the service name is unknown.
KITBASE_API const std::wstring& getServiceRegPath();
// Installation folder: the folder of the service key's "ImagePath", else the program
// folder.
KITBASE_API const std::wstring& getInstallDir();

// Sibling programs in the program folder.
KITBASE_API const std::wstring& getTrayApp();
KITBASE_API const std::wstring& getGUIApp();
KITBASE_API const std::wstring& getQuaApp();
KITBASE_API const std::wstring& getStatusmith();
KITBASE_API const std::wstring& getShieldclerk();
KITBASE_API const std::wstring& getConsoleAgent();
KITBASE_API const std::wstring& getWebfilter();

// The machine-wide data folder: 1 and `out` set when known, else 0 (`out` unchanged).
KITBASE_API unsigned int getAllUsersFolder(std::wstring& out);
KITBASE_API const std::wstring& getAllUsersFolder();
// The user's local application data folder: 1 / 0 as above.
KITBASE_API unsigned int getAppDataFolder(std::wstring& out);
// The user's folder of the product (created).
KITBASE_API const std::wstring& getAppDataFolder();

// Data folders of the product (created on first build).
KITBASE_API const std::wstring& getCommonFolder();
KITBASE_API const std::wstring& getCommonLogsFolder();
KITBASE_API const std::wstring& getLogFolder();
KITBASE_API const std::wstring& getTmp();
KITBASE_API const std::wstring& getIDXFolder();
// Not created by its getter.
KITBASE_API const std::wstring& getQuarantineFolder();

// Trace log file: log folder / product name + suffix + ".log"; the suffix of the first
// call is the one kept.
KITBASE_API const std::wstring& getLogFile(const std::wstring& suffix);
KITBASE_API const std::wstring& getAlertsLogFile();
KITBASE_API const std::wstring& getLogDB();
KITBASE_API const std::wstring& getStatsDB();
// Product update index file: index folder / lower-cased product name + "-" + branding
// text 1013 + ".idx".
KITBASE_API const std::wstring& getIDXFile();
// The folder that holds the system folder.
KITBASE_API const std::wstring& getWinDir();

// Joins two path parts with one separator: an empty part gives the other unchanged,
// trailing blanks and line ends are cut from the first, and no separator is added
// when the first ends or the second begins with one.
KITBASE_API std::wstring createPath(const std::wstring& a, const std::wstring& b);
KITBASE_API std::wstring createPath(const std::wstring& a, const std::wstring& b, const std::wstring& c);
// (a / b) + ext
KITBASE_API std::wstring createPathWithExt(const std::wstring& a, const std::wstring& b,
                                           const std::wstring& ext);

// File name with extension (double quotes around the path are ignored).
KITBASE_API std::wstring getFilename(const std::wstring& path);
// Folder of a path without trailing separators ("/" for a file in the root folder,
// empty for a bare file name).
KITBASE_API std::wstring getPath(const std::wstring& path);
// Folder (as getPath) and file name of a path; false for an empty path.
KITBASE_API bool getPathParts(const std::wstring& path, std::wstring& folder, std::wstring& name);
// Encloses a path that holds a blank in exactly one pair of double quotes; returns it.
KITBASE_API std::wstring& quotePathIfBlank(std::wstring& path);
