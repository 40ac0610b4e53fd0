#pragma once
// One quarantine entry's record: where the file was found, where its scrambled copy
// lies, what was detected and the engine's versions. It is kept beside the copy in an
// index file named after the copy plus ".dat": fourteen text lines, values only, in
// the order dstfile, srcfile, hash, onreboot, ctime, mtime, size, malwarename,
// message, engine_ver, ave_ver, vdf_ver, apc_ver, created.
#include <cstdint>
#include <string>

#include "kitbase/export.h"
#include "kitbase/services/engine_infos.h"

class KITBASE_API QuaFile {
public:
    // An empty record made now.
    QuaFile();
    // The record read from the index file at `path`; a failure leaves the fields as
    // far as they were read.
    explicit QuaFile(const std::wstring& path);
    // A new entry's record, its index file written at once (see writeResult). An empty
    // hash is the MD5 of srcfile's content; an empty dstfile is folder joined with the
    // hash. The file itself is neither copied nor moved.
    QuaFile(const std::wstring& folder, const std::wstring& srcfile, const std::wstring& dstfile,
            const std::wstring& hash, const std::wstring& malwarename, const std::wstring& message,
            const EngineInfos& engineInfos, bool onreboot);

    // Writes the index file (dstfile + ".dat") through a temporary file renamed into
    // place. 0 ok; 1 when it cannot be written (a value holding CR or LF, or too long
    // for one index line, is refused the same way) and any older index stays as it was.
    unsigned int write();
    // Fills the record from the index file at `path` (see the free function).
    unsigned int readQuaFile(const std::wstring& path);

    // The fourteen-line index text (false) or srcfile, malwarename and created on three
    // lines (true). A copy is kept in `text`.
    std::wstring toString(bool shortForm);
    // One JSON object of string members, in index order. A copy is kept in `text`.
    std::wstring toStringJSON();
    // Fills the record from a fourteen-line index text; false, nothing changed, for any
    // other number of lines.
    bool fromString(const std::wstring& text);

    EngineInfos engineInfos;
    std::wstring srcfile;   // where the file was found
    std::wstring dstfile;   // the scrambled copy
    std::wstring hash;      // lower-case hexadecimal MD5 of the content
    bool onreboot = false;  // the move waits for the next restart
    int64_t ctime = 0;      // change time, seconds since 1970
    int64_t mtime = 0;      // modification time, seconds since 1970
    int64_t created = 0;    // when the record was made, seconds since 1970
    uint32_t size = 0;      // size in bytes
    std::wstring malwarename;
    std::wstring message;
    std::wstring text;  // the last text form produced
    // Result of the last write(): 0 the index file is written, 1 it is not (a record
    // that was never written holds 1).
    unsigned int writeResult = 1;
};

// Fills `record` from the index file at `path`. 0 read (a missing fourteenth line
// reads as created 0); 1 a line of the first thirteen is missing (the fields read so
// far stay set); 0xFFFFFFFF the file cannot be opened or is under 100 bytes.
KITBASE_API unsigned int readQuaFile(const std::wstring& path, QuaFile& record);
