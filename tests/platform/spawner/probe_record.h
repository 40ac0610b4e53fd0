#pragma once
// Reading what the spawn probe recorded, shared by the tests that start it.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/test_root.h"

namespace probe {

struct Record {
    std::vector<std::string> args;
    std::string cwd;
    std::vector<int> fds;
    long sid = 0;
    std::string sigpipe;
};

inline Record parse(const std::string& text) {
    Record r;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        auto value = [&line](size_t n) { return line.substr(n); };
        if (line.rfind("arg=", 0) == 0)
            r.args.push_back(value(4));
        else if (line.rfind("cwd=", 0) == 0)
            r.cwd = value(4);
        else if (line.rfind("fd=", 0) == 0)
            r.fds.push_back(std::stoi(value(3)));
        else if (line.rfind("sid=", 0) == 0)
            r.sid = std::stol(value(4));
        else if (line.rfind("sigpipe=", 0) == 0)
            r.sigpipe = value(8);
        pos = end + 1;
    }
    return r;
}

// Waits (at most `seconds`) for the record file and parses it; false when none came.
inline bool waitForRecord(const std::string& path, Record& out, int seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (access(path.c_str(), F_OK) == 0) {
            out = parse(testsupport::readFile(path));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Polls `condition` for at most `seconds`.
template <class F>
bool eventually(F condition, int seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace probe
