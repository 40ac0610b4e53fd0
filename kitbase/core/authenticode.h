#pragma once
// Code-signature checks of files the system loads or runs although they did not come
// with the installation (the OEM resource library, downloaded product packages, a
// pending setup program, the scan engine's library and its updater).
//
// A file is accepted only when its signature verifies, the signature covers the
// file's actual bytes, the signer's certificate chains to the product's trust anchors
// with code-signing use (see kitbase/platform/signature_container.h), and the signer's
// name is one of the expected company names (exact, case-sensitive comparison).
// The signer's name and the comparison result are printed on standard output; the
// details go to the trace log at debug level. Nothing is thrown; every failure is
// false and the caller decides what happens to the file.
//
// Checking a path and then loading or running that path leaves a window in which the
// file can be replaced. Callers that load or run the file use the overloads with a
// VerifiedFile instead: the file is read once into a private, sealed in-memory copy,
// the check runs on that copy, and the caller uses the very same bytes:
//
//     VerifiedFile engine;
//     if (!VerifyQuorvaneCertificate(path, engine))
//         return 4129;
//     void* module = dlopen(engine.path().c_str(), RTLD_NOW);   // "/proc/self/fd/N"
//
// or, to run a program, execve(file.path(), ...) / fexecve(file.fd(), ...) in the
// child (the descriptor is close-on-exec; it stays valid up to the exec). Keep the
// VerifiedFile alive until the library is loaded or the child has been started.
// A library loaded this way has "/proc/self/fd/N" as its name: $ORIGIN in its run
// path and its module path do not point at its folder, so it must find its data
// through the folders it is given, not through its own location.
#include <string>

#include "kitbase/export.h"

// The bytes of a checked file, held in a private sealed copy that nobody can change.
class KITBASE_API VerifiedFile {
public:
    VerifiedFile() = default;
    ~VerifiedFile();
    VerifiedFile(const VerifiedFile&) = delete;
    VerifiedFile& operator=(const VerifiedFile&) = delete;
    VerifiedFile(VerifiedFile&& other) noexcept;
    VerifiedFile& operator=(VerifiedFile&& other) noexcept;

    // True while the object holds a file that passed the check.
    bool valid() const { return fd_ >= 0; }
    // Descriptor of the checked bytes (sealed: they can no longer change), or -1.
    int fd() const { return fd_; }
    // "/proc/self/fd/N" for dlopen() or execve(); empty when not valid.
    std::string path() const;
    // The path the file was read from.
    const std::wstring& sourcePath() const { return source_; }
    // Releases the copy (the object becomes invalid).
    void close();

private:
    friend struct VerifiedFileAccess;
    int fd_ = -1;
    std::wstring source_;
};

// True when the file is signed by the product maker: signer "KORVANEX GmbH" or
// "Halvren Security Group GmbH" (tested in this order).
KITBASE_API bool VerifyCertificate(const std::wstring& path);
// True when the file is signed by the engine vendor: "Quorvane Operations GmbH & Co. KG".
KITBASE_API bool VerifyQuorvaneCertificate(const std::wstring& path);

// The same checks on a private sealed copy of the file, which `file` holds afterwards
// when the check passes (and is invalid otherwise). Use file.path() / file.fd() to load
// or run exactly the checked bytes.
KITBASE_API bool VerifyCertificate(const std::wstring& path, VerifiedFile& file);
KITBASE_API bool VerifyQuorvaneCertificate(const std::wstring& path, VerifiedFile& file);
