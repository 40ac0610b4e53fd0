// A stand-in for the engine vendor's updater in the tests: records its arguments, one
// per line, into FAKE_UPDATER_RECORD, sleeps FAKE_UPDATER_SLEEP_MS, writes the file
// FAKE_UPDATER_FILE (name=content) into the folder of its --install-dir= argument and
// exits with FAKE_UPDATER_EXIT.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    std::string install;
    if (const char* record = getenv("FAKE_UPDATER_RECORD")) {
        std::ofstream out(record, std::ios::app);
        for (int i = 0; i < argc; ++i)
            out << argv[i] << "\n";
        out << "--\n";
    }
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "--install-dir=", 14) == 0)
            install = argv[i] + 14;
    if (const char* ms = getenv("FAKE_UPDATER_SLEEP_MS"))
        usleep(static_cast<useconds_t>(atoi(ms)) * 1000);
    if (const char* file = getenv("FAKE_UPDATER_FILE")) {
        std::string spec = file;
        size_t eq = spec.find('=');
        if (eq != std::string::npos && !install.empty())
            std::ofstream(install + "/" + spec.substr(0, eq)) << spec.substr(eq + 1);
    }
    const char* code = getenv("FAKE_UPDATER_EXIT");
    return code ? atoi(code) : 0;
}
