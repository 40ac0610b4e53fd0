// taskkill.exe [/F] [/T] {/PID id | /IM image}...: ends processes by id or by image
// name (case-insensitive; a trailing "*" matches any rest). /F ends them at once
// (SIGKILL), otherwise they are asked to end (SIGTERM); /T ends their descendants as
// well. Exit code 0 when every named process was ended, 128 when one was not found,
// 1 for a wrong command line or a process that could not be ended.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kitbase/platform/proclist.h"

namespace {

std::string lowered(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

bool imageMatches(const std::string& pattern, const std::string& name) {
    std::string p = lowered(pattern);
    std::string n = lowered(name);
    if (!p.empty() && p.back() == '*')
        return n.compare(0, p.size() - 1, p, 0, p.size() - 1) == 0;
    return p == n;
}

bool isOption(const char* arg, const char* name) {
    return (arg[0] == '/' || arg[0] == '-') && strcasecmp(arg + 1, name) == 0;
}

struct Killer {
    bool force = false;
    bool tree = false;
    int failures = 0;
    int notFound = 0;
    std::vector<kitbase::ProcessEntry> processes;

    // Ends the process (and with /T its descendants first); false when it could not.
    bool end(pid_t pid) {
        int signal = force ? SIGKILL : SIGTERM;
        if (tree)
            for (pid_t child : kitbase::descendantsOf(pid, processes))
                if (child != getpid())
                    kill(child, signal);
        return kill(pid, signal) == 0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    Killer killer;
    std::vector<long> ids;
    std::vector<std::string> images;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (isOption(arg, "F")) {
            killer.force = true;
        } else if (isOption(arg, "T")) {
            killer.tree = true;
        } else if (isOption(arg, "PID") && i + 1 < argc) {
            char* end = nullptr;
            long id = std::strtol(argv[++i], &end, 10);
            if (!end || *end != '\0' || id <= 0) {
                std::fprintf(stderr, "ERROR: Invalid argument/option - '%s'.\n", argv[i]);
                return 1;
            }
            ids.push_back(id);
        } else if (isOption(arg, "IM") && i + 1 < argc) {
            images.push_back(argv[++i]);
        } else {
            std::fprintf(stderr, "ERROR: Invalid argument/option - '%s'.\n", arg);
            return 1;
        }
    }
    if (ids.empty() && images.empty()) {
        std::fprintf(stderr, "ERROR: Invalid syntax. Neither /PID nor /IM were specified.\n");
        return 1;
    }
    if (!kitbase::listProcesses(killer.processes)) {
        std::fprintf(stderr, "ERROR: The process list cannot be read.\n");
        return 1;
    }
    const pid_t self = getpid();

    for (long id : ids) {
        auto it = std::find_if(killer.processes.begin(), killer.processes.end(),
                               [id](const kitbase::ProcessEntry& p) { return p.pid == id; });
        if (it == killer.processes.end() || !kitbase::processAlive(static_cast<pid_t>(id))) {
            std::fprintf(stderr, "ERROR: The process \"%ld\" not found.\n", id);
            ++killer.notFound;
        } else if (killer.end(static_cast<pid_t>(id))) {
            std::printf("SUCCESS: The process with PID %ld has been terminated.\n", id);
        } else {
            std::fprintf(stderr, "ERROR: The process with PID %ld could not be terminated: %s\n", id,
                         std::strerror(errno));
            ++killer.failures;
        }
    }
    for (const std::string& image : images) {
        bool found = false;
        for (const auto& p : killer.processes) {
            if (p.pid == self || !imageMatches(image, p.name) || !kitbase::processAlive(p.pid))
                continue;
            found = true;
            if (killer.end(p.pid)) {
                std::printf("SUCCESS: The process \"%s\" with PID %d has been terminated.\n", p.name.c_str(),
                            static_cast<int>(p.pid));
            } else {
                std::fprintf(stderr, "ERROR: The process \"%s\" with PID %d could not be terminated: %s\n",
                             p.name.c_str(), static_cast<int>(p.pid), std::strerror(errno));
                ++killer.failures;
            }
        }
        if (!found) {
            std::fprintf(stderr, "ERROR: The process \"%s\" not found.\n", image.c_str());
            ++killer.notFound;
        }
    }
    if (killer.failures > 0)
        return 1;
    return killer.notFound > 0 ? 128 : 0;
}
