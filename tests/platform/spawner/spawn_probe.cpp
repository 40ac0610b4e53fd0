// Records how it was started into the file named by SPAWN_PROBE_OUT: one line per
// argument ("arg=..."), the working folder ("cwd=..."), every open descriptor
// ("fd=N"), its session ("sid=N") and whether SIGPIPE is ignored ("sigpipe=ign|dfl").
// SPAWN_PROBE_SLEEP_MS makes it sleep first, SPAWN_PROBE_EXIT sets its exit code.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (const char* sleepMs = getenv("SPAWN_PROBE_SLEEP_MS"))
        usleep(static_cast<useconds_t>(std::atol(sleepMs)) * 1000);
    if (const char* out = getenv("SPAWN_PROBE_OUT")) {
        std::string record;
        for (int i = 0; i < argc; ++i)
            record += std::string("arg=") + argv[i] + "\n";
        char cwd[4096] = {};
        if (getcwd(cwd, sizeof cwd))
            record += std::string("cwd=") + cwd + "\n";
        if (DIR* fds = opendir("/proc/self/fd")) {
            while (dirent* e = readdir(fds)) {
                if (e->d_name[0] == '.' || std::atoi(e->d_name) == dirfd(fds))
                    continue;
                record += std::string("fd=") + e->d_name + "\n";
            }
            closedir(fds);
        }
        record += "sid=" + std::to_string(getsid(0)) + "\n";
        struct sigaction current {};
        sigaction(SIGPIPE, nullptr, &current);
        record += std::string("sigpipe=") + (current.sa_handler == SIG_IGN ? "ign" : "dfl") + "\n";
        // Written under a temporary name and renamed, so a reader never sees half a record.
        std::string temp = std::string(out) + ".part";
        if (FILE* f = std::fopen(temp.c_str(), "w")) {
            std::fputs(record.c_str(), f);
            std::fclose(f);
            std::rename(temp.c_str(), out);
        }
    }
    const char* code = getenv("SPAWN_PROBE_EXIT");
    return code ? std::atoi(code) : 0;
}
