// enumwick64.exe FILE: writes the full path of every file loaded by any running
// process into FILE, one path per line, each once. Exit code 0 on success, 1 for a
// wrong command line, 2 when the process list or the file cannot be had.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "kitbase/platform/proclist.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: enumwick64.exe FILE\n");
        return 1;
    }
    std::vector<kitbase::ProcessEntry> processes;
    if (!kitbase::listProcesses(processes))
        return 2;
    FILE* out = std::fopen(argv[1], "w");
    if (!out)
        return 2;
    std::set<std::string> written;
    for (const auto& process : processes) {
        kitbase::ProcessHandle handle;
        std::vector<std::string> modules;
        if (!handle.open(process.pid) || !handle.modules(modules))
            continue;
        for (const auto& module : modules)
            if (written.insert(module).second)
                std::fprintf(out, "%s\n", module.c_str());
    }
    return std::fclose(out) == 0 ? 0 : 2;
}
