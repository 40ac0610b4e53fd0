#pragma once
// The running processes, read from /proc: process ids, parents, image names and the
// files each process has loaded (its executable and every file mapped into it).
#include <sys/types.h>

#include <string>
#include <vector>

#include "kitbase/export.h"

namespace kitbase {

struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    // The image name: the file name of the executable, or of the program named on its
    // command line when the executable cannot be read, or the kernel's short name.
    std::string name;
};

// Every process visible in /proc, in ascending id order. Processes that end while the
// list is read are left out. False with the last error set when /proc cannot be read.
KITBASE_API bool listProcesses(std::vector<ProcessEntry>& out);

// The process is alive (a zombie counts as ended).
KITBASE_API bool processAlive(pid_t pid);

// Ids of every descendant of the process (children, their children, ...), taken from
// the given list.
KITBASE_API std::vector<pid_t> descendantsOf(pid_t pid, const std::vector<ProcessEntry>& processes);

// Ends the process at once (SIGKILL), holding it by a process descriptor so the
// signal cannot reach a process that took over the id meanwhile. False with the last
// error set when it cannot be ended; `opened` tells whether the process could be
// held at all.
KITBASE_API bool terminateProcess(pid_t pid, bool* opened = nullptr);

// An open view of one process, kept by a descriptor of its /proc folder so that the
// reads below all concern the same process.
class KITBASE_API ProcessHandle {
public:
    ProcessHandle() = default;
    ~ProcessHandle();
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    // False with the last error set when the process cannot be opened.
    bool open(pid_t pid);
    bool valid() const { return dirfd_ >= 0; }

    // The scheduling priority (nice value); false with the last error set on failure.
    bool priority(int& nice) const;

    // The files the process has loaded: its executable first, then every other file
    // mapped into it, each once, in mapping order (deleted files and devices left out).
    // False with the last error set when the mappings cannot be read (another user's
    // process, or one that has ended).
    bool modules(std::vector<std::string>& out) const;

private:
    pid_t pid_ = 0;
    int dirfd_ = -1;
};

// True when the calling program is a 32-bit program on a 64-bit system (its 64-bit
// neighbours' modules are then listed by a 64-bit helper program). Tests may replace
// the probe; nullptr restores the real one.
using Wow64Probe = bool (*)();
KITBASE_API bool isWow64Process();
KITBASE_API void setWow64Probe(Wow64Probe probe);

}  // namespace kitbase
