#pragma once
// Engine file maintenance: copying the engine's files from one folder into another
// (restoring the engine folder from the backup folder "latest", installing updated
// engine files) and removing the malware-name lists the engine extracts into the
// temporary folder.
#include <string>
#include <vector>

// Result codes of the folder synchronisation.
constexpr unsigned int SYNC_NO_FILES = 1;
constexpr unsigned int SYNC_COPY_FAILED = 4130;
constexpr unsigned int COPY_ABORTED = 4105;

// Copies every file of `source` (not recursive) into `destination`: 0 done, 1 the
// source folder holds no file, 4130 a file could not be copied.
unsigned int synchronizeFolders(const std::wstring& source, const std::wstring& destination);

// Copies the named files of `source` into `destination`, in list order. Each file is
// written to a temporary file beside its target and then renamed over it, so a target
// is either the old file or the complete new one. A target that cannot be replaced is
// renamed to its name + ".tmp" and the copy tried once more; when that fails too the
// target gets its own name back. A missing source file or a second failure aborts the
// copy: 0 all copied, 4105 aborted (files copied before stay copied).
unsigned int copyFiles(const std::wstring& source, const std::wstring& destination,
                       const std::vector<std::wstring>& names);

// The engine file copies as one object, for the classes that keep engine folders in
// step (the engine wrapper and the engine update).
class QVAPIFiles {
public:
    virtual ~QVAPIFiles() = default;
    unsigned int synchronizeFolders(const std::wstring& source, const std::wstring& destination) {
        return ::synchronizeFolders(source, destination);
    }
    unsigned int copyFiles(const std::wstring& source, const std::wstring& destination,
                           const std::vector<std::wstring>& names) {
        return ::copyFiles(source, destination, names);
    }
};

// Deletes the engine's malware-name files ("AV-malware-names-*") from the temporary
// folder.
void cleanMalwareNameFiles();
