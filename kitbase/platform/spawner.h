#pragma once
// Starting programs. A Windows-style command line is split into its arguments by the
// Windows rules (double quotes, runs of backslashes before a quote) and the program
// is run directly, never through a shell, with the caller's environment. The started
// program inherits no descriptor besides standard input, output and error (so it can
// never hold one of our listening sockets), and its signal dispositions and mask are
// the defaults. Failures set the last error in Windows numbering (a missing program
// gives ERROR_FILE_NOT_FOUND, a working folder that is no folder ERROR_DIRECTORY).
//
// A started child is owned by its ChildProcess object. A child that was not waited
// for to its end when the object goes is handed to the process-wide reaper, which
// collects it as soon as it ends: no zombie is left behind, and no other child's
// exit status is ever taken.
#include <sys/types.h>

#include <string>
#include <vector>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

namespace kitbase {

// Exit code of a child that is still running.
constexpr DWORD STILL_ACTIVE = 259;

// The arguments of a command line, split as a Windows program's start-up code does:
// blanks and tabs separate arguments outside double quotes; 2n backslashes before a
// quote give n backslashes and the quote opens or closes a quoted part; 2n+1
// backslashes before a quote give n backslashes and a literal quote; other
// backslashes are literal; "" inside a quoted part is a literal quote. The first
// argument (the program) follows the same rules, so that every path, also one that
// holds a quote, can be written as a program name and read back.
KITBASE_API std::vector<std::string> splitCommandLine(const std::string& commandLine);

// One argument or program path, written so that splitCommandLine reads it back
// unchanged: in double quotes, with quotes and the backslashes before them escaped.
KITBASE_API std::string quoteCommandLineArgument(const std::string& text);
// The same, but a text that reads back unchanged as it stands (no blank, tab or quote,
// not empty) is left unquoted.
KITBASE_API std::string quoteCommandLineArgumentIfNeeded(const std::string& text);

// The full path of the program a command line names: a name with a "/" is taken as
// it is; a bare name is looked up in the program folder, the system folder and the
// folders of PATH, in that order. Empty when no such file exists.
KITBASE_API std::string findProgram(const std::string& name);

class KITBASE_API ChildProcess {
public:
    ChildProcess() = default;
    // A child not waited for to its end goes to the reaper.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    // Starts the program of the command line, in `workingFolder` when it is not empty.
    // True when the program runs; false with the last error set when it could not be
    // started (an object that already owns a child refuses with ERROR_BUSY).
    bool start(const std::string& commandLine, const std::string& workingFolder = std::string());

    // Waits at most `timeoutMs` milliseconds (INFINITE: no limit) for the child to end.
    // True when it has ended (its exit code is then kept); false on time-out or when
    // there is no child.
    bool wait(DWORD timeoutMs);

    // The child was started and has not been seen to end.
    bool running() const { return pid_ > 0 && !ended_; }
    // The exit code: STILL_ACTIVE while running; a child ended by signal N gives 128 + N.
    DWORD exitCode() const { return ended_ ? exitCode_ : STILL_ACTIVE; }
    pid_t pid() const { return pid_; }

    // Sends the signal to the child while it runs (through its process descriptor, so
    // never to another process that got its id); false when there is none.
    bool signal(int signalNumber);

    // Gives the child up: the reaper collects it when it ends.
    void release();

private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    bool ended_ = false;
    DWORD exitCode_ = STILL_ACTIVE;
};

// Starts the program of the command line detached: in a session of its own and not
// as a child of the caller, so it survives the caller and is never the caller's to
// reap. True when the program runs (its process id in `pid` when given); false with
// the last error set otherwise.
KITBASE_API bool spawnDetached(const std::string& commandLine, const std::string& workingFolder,
                               pid_t* pid = nullptr);

}  // namespace kitbase
